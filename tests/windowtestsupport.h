#pragma once

// The window's and the device dialogs' widgets as a user works with them, found by what they
// show, for tests that drive the gateway through its window.

#include <QAbstractSpinBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRegExpValidator>
#include <QStackedLayout>
#include <QSqlRecord>
#include <QStandardItemModel>
#include <QtTest>

#include "gateway/cgateway.h"
#include "store/storecolumns.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/caddnewdeviceform.h"
#include "ui/ceditdeviceform.h"
#include "ui/mainwindow.h"

namespace WindowTest {

inline QString screenshotPath(const QString &_name)
{
    QDir().mkpath(QStringLiteral(KELVARA_BINARY_DIR "/screenshots"));
    return QStringLiteral(KELVARA_BINARY_DIR "/screenshots/") + _name;
}

// Rows as column-name -> value maps.
inline QList<QVariantMap> rowsOf(const QVector<QSqlRecord> &_records)
{
    QList<QVariantMap> rows;
    for (const QSqlRecord &record : _records) {
        QVariantMap row;
        for (int i = 0; i < record.count(); ++i)
            row.insert(record.fieldName(i), record.value(i));
        rows.append(row);
    }
    return rows;
}

// The widgets of the main window a user works with, found by what they show.
struct SMainWindowParts {
    QLineEdit *ip = nullptr;
    QLineEdit *port = nullptr;
    QLineEdit *login = nullptr;
    QLineEdit *password = nullptr;
    QLabel *connectionState = nullptr;
    QPushButton *connect = nullptr;
    QListView *devices = nullptr;
    QListView *registers = nullptr;
    QPushButton *add = nullptr;
    QPushButton *edit = nullptr;
    QPushButton *remove = nullptr;
    QLabel *deviceTitle = nullptr;
    QGroupBox *modbus = nullptr;
    CAbstractPanelButton *serverPanel = nullptr;

    explicit SMainWindowParts(MainWindow *_window)
    {
        for (QLineEdit *edit : _window->findChildren<QLineEdit *>()) {
            const auto *validator = qobject_cast<const QRegExpValidator *>(edit->validator());
            if (validator && validator->regExp().pattern().contains(QStringLiteral("{1,3}")))
                ip = edit;
        }
        // The WebSocket log-in fields sit together, apart from the broker's.
        for (QObject *sibling : ip->parent()->children()) {
            auto *edit = qobject_cast<QLineEdit *>(sibling);
            if (!edit || edit == ip)
                continue;
            if (edit->validator())
                port = edit;
            else if (edit->echoMode() == QLineEdit::Password)
                password = edit;
            else
                login = edit;
        }
        for (QPushButton *button : _window->findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("Connect"))
                connect = button;
            else if (button->toolTip() == QStringLiteral("Add new device from server"))
                add = button;
            else if (button->toolTip() == QStringLiteral("Edit device parametrs"))
                edit = button;
            else if (button->toolTip() == QStringLiteral("Delete device"))
                remove = button;
        }
        // The state shows above the Connect button, whichever server is chosen.
        for (QObject *sibling : connect->parent()->children())
            if (auto *label = qobject_cast<QLabel *>(sibling))
                connectionState = label;
        for (QListView *view : _window->findChildren<QListView *>())
            (view->model()->columnCount() == DEV_COLUMN_COUNT ? devices : registers) = view;
        deviceTitle = _window->findChild<QLabel *>(QStringLiteral("title1Lab"));
        modbus = _window->findChild<QGroupBox *>(QStringLiteral("modbusGroup"));
        serverPanel = _window->findChild<CAbstractPanelButton *>();
    }

    QAbstractItemModel *deviceModel() const { return devices->model(); }
    QAbstractItemModel *registerModel() const { return registers->model(); }

    int rowOfDevice(const QString &_devEui) const
    {
        for (int row = 0; row < deviceModel()->rowCount(); ++row)
            if (deviceModel()->index(row, DEV_COL_DEV_EUI).data().toString() == _devEui)
                return row;
        return -1;
    }

    // Full value shown for the register at _regAddr; invalid when not listed.
    QVariant shownFullValue(int _regAddr) const
    {
        for (int row = 0; row < registerModel()->rowCount(); ++row)
            if (registerModel()->index(row, REG_COL_REG_ADDR).data().toInt() == _regAddr)
                return registerModel()->index(row, REG_COL_FULL_VALUE).data();
        return QVariant();
    }
};

// The widgets of a device dialog.
struct SDialogParts {
    QStackedLayout *pages = nullptr;
    QLabel *status = nullptr;
    QListView *devices = nullptr;
    QListView *registers = nullptr;
    QLineEdit *port = nullptr;
    QLineEdit *startAddress = nullptr;
    QPushButton *portMarker = nullptr;
    QPushButton *startMarker = nullptr;
    QPushButton *ok = nullptr;
    QPushButton *cancel = nullptr;
    QPushButton *refresh = nullptr;

    explicit SDialogParts(CAbstractDeviceForm *_form)
    {
        pages = _form->findChild<QStackedLayout *>();
        status = qobject_cast<QLabel *>(pages->widget(CAbstractDeviceForm::eStatusPage));
        for (QListView *view : _form->findChildren<QListView *>())
            (view->model()->columnCount() == DEV_COLUMN_COUNT ? devices : registers) = view;
        const QList<QLineEdit *> numbers = _form->findChildren<QLineEdit *>();
        for (QLineEdit *edit : numbers) {
            // The settings' spin boxes hold validated edits of their own.
            if (!edit->validator() || qobject_cast<QAbstractSpinBox *>(edit->parent()))
                continue;
            (port ? startAddress : port) = edit;
        }
        for (QPushButton *button : _form->findChildren<QPushButton *>()) {
            if (button->text() == QStringLiteral("!"))
                (portMarker ? startMarker : portMarker) = button;
            else if (button->text() == QStringLiteral("OK"))
                ok = button;
            else if (button->text() == QStringLiteral("Cancel"))
                cancel = button;
            else if (button->objectName() == QStringLiteral("blueBtn"))
                refresh = button;
        }
    }

    QAbstractItemModel *deviceModel() const { return devices->model(); }
    QAbstractItemModel *registerModel() const { return registers->model(); }

    QStringList listedDevEuis() const
    {
        QStringList euis;
        for (int row = 0; row < deviceModel()->rowCount(); ++row)
            euis << deviceModel()->index(row, DEV_COL_DEV_EUI).data().toString();
        return euis;
    }

    int registerRow(const QString &_name) const
    {
        for (int row = 0; row < registerModel()->rowCount(); ++row)
            if (registerModel()->index(row, REG_COL_NAME).data().toString() == _name)
                return row;
        return -1;
    }

    QVariant registerCell(const QString &_name, int _column) const
    {
        return registerModel()->index(registerRow(_name), _column).data(Qt::EditRole);
    }

    // What the parameter editor writes for a register.
    void editRegister(const QString &_name, int _startValue, int _multiplier, const QString &_unit)
    {
        const int row = registerRow(_name);
        registerModel()->setData(registerModel()->index(row, REG_COL_START_VALUE), _startValue, Qt::EditRole);
        registerModel()->setData(registerModel()->index(row, REG_COL_GRATING_PERIOD), _multiplier, Qt::EditRole);
        registerModel()->setData(registerModel()->index(row, REG_COL_UNIT), _unit, Qt::EditRole);
    }
};

// Shows the add dialog without its modal loop and asks the server again.
inline SDialogParts openAddDialog(MainWindow *_window)
{
    CAddNewDeviceForm *form = _window->addForm();
    form->show();
    SDialogParts dialog(form);
    QTest::mouseClick(dialog.refresh, Qt::LeftButton);
    return dialog;
}

inline bool selectInWindow(MainWindow *_window, const QString &_devEui)
{
    SMainWindowParts ui(_window);
    const int row = ui.rowOfDevice(_devEui);
    if (row < 0)
        return false;
    ui.devices->setCurrentIndex(ui.deviceModel()->index(row, 0));
    return true;
}

inline uint32_t storedDeviceId(const CGateway &_gateway, const QString &_devEui)
{
    for (const QVariantMap &row : rowsOf(_gateway.devices(QString())))
        if (row.value(QStringLiteral("dev_eui")).toString() == _devEui)
            return row.value(QStringLiteral("device")).toUInt();
    return 0;
}

inline QVariantMap storedRegister(const CGateway &_gateway, const QString &_devEui, int _regAddr)
{
    for (const QVariantMap &row : rowsOf(_gateway.registers(storedDeviceId(_gateway, _devEui))))
        if (row.value(QStringLiteral("reg_addr")).toInt() == _regAddr)
            return row;
    return QVariantMap();
}

} // namespace WindowTest
