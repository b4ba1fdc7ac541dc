// Renders every custom widget offscreen, with the application style sheet and
// sample data, to PNG files: render_widgets <output directory>.

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QLineEdit>
#include <QListView>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QTextStream>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/cdevicedelegat.h"
#include "ui/cleftpanel.h"
#include "ui/clogowidget.h"
#include "ui/cregisterdelegat.h"
#include "ui/csearcheditwidget.h"
#include "ui/csimpleregisterdelegat.h"
#include "ui/theme.h"

namespace {

bool writeTemplate(const QString &name, const QByteArray &appEui, const QByteArray &type, const QByteArray &colour)
{
    QFile file(QStringLiteral("deviceFolder/") + name);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const QByteArray json = "{ \"app_eui\": \"" + appEui + "\", \"dev_type\": \"" + type + "\", \"color\": \"" + colour
        + R"(", "device_packets": [ { "packet_type": 1, "packet_size": 3, "packet_fields": [ { "packet_bias": 1,
        "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer", "reg_map_bias": 0, "reg_bit_bias": 0,
        "reg_bit_size": 16, "data_name": "T" } ] } ] })";
    return file.write(json) == json.size();
}

bool save(QWidget &widget, const QDir &out, const QString &name)
{
    widget.show();
    QApplication::processEvents();
    const bool saved = widget.grab().save(out.filePath(name));
    QTextStream(stdout) << (saved ? "wrote " : "FAILED ") << out.filePath(name) << "\n";
    return saved;
}

void setRow(QStandardItemModel &model, int row, const QList<QVariant> &values)
{
    for (int column = 0; column < values.size(); ++column)
        model.setData(model.index(row, column), values.at(column));
}

QListView *listOf(QAbstractItemModel *model, QAbstractItemDelegate *delegate, int selectedRow)
{
    auto *view = new QListView();
    view->setModel(model);
    view->setItemDelegate(delegate);
    view->setSpacing(2);
    view->setCurrentIndex(model->index(selectedRow, 0));
    return view;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    if (argc != 2) {
        QTextStream(stderr) << "usage: render_widgets <output directory>\n";
        return 2;
    }
    const QDir out(QDir::current().absoluteFilePath(QString::fromLocal8Bit(argv[1])));
    if (!QDir().mkpath(out.path()))
        return 1;

    application.setStyleSheet(loadThemeStyleSheet());
    fillGlobalTables();
    loadThemeIcons();
    QTemporaryDir work;
    if (!work.isValid() || !QDir::setCurrent(work.path()) || !QDir().mkpath(QStringLiteral("deviceFolder")))
        return 1;
    CLogFile::getInstance(QStringLiteral("history.log"));
    if (!writeTemplate("meter.json", "0a0b0c0d01020304", "Pulse meter", "#8db4d9")
        || !writeTemplate("thermo.json", "1122334455667788", "Thermometer", "#fbb878"))
        return 1;
    CGateway gateway(SGatewayConfig {});
    QString error;
    if (!gateway.start(&error))
        return 1;

    bool ok = true;

    QStandardItemModel devices(4, 6);
    setRow(devices, 0, { 1, "Temp sensor 1", "1122334455667788", "70B3D5E75E001A2B", 502, 100 });
    setRow(devices, 1, { 2, "Pulse meter boiler room", "0A0B0C0D01020304", "70B3D5E75E001A2C", 502, 200 });
    setRow(devices, 2, { 3, "Room TEMPERATURE", "1122334455667788", "70B3D5E75E001A2D", 503, 100 });
    setRow(devices, 3, { 4, "Water meter", "0A0B0C0D01020304", "70B3D5E75E001A2E", 503, 300 });
    CDeviceDelegat deviceDelegate(&gateway, nullptr);
    QScopedPointer<QListView> deviceList(listOf(&devices, &deviceDelegate, 1));
    deviceList->resize(300, 140);
    ok &= save(*deviceList, out, "device_list.png");

    const qint64 received = QDateTime(QDate(2024, 3, 5), QTime(14, 7, 31)).toMSecsSinceEpoch();
    QStandardItemModel registers(6, 14);
    // device, port, reg_addr, start_value, grating_period, bit_size, data_type, value, full_value, time, name, unit,
    // parent, source
    setRow(registers, 0, { "D1", 502, 100, 0, 1, 32, "uinteger", "6553", "65e72fcb", received, "Time", "", 0, 0 });
    setRow(registers, 1, { "D1", 502, 102, 0, 1, 16, "integer", "ff9c", "ff9c", received, "RSSI", "dBm", 0, 0 });
    setRow(registers, 2, { "D1", 502, 103, 0, 10, 32, "uinteger", "000b", "000b60b7", received, "Counter", "m³", 0, 1 });
    setRow(registers, 3, { "D1", 502, 105, 5, 1, 16, "integer", "fff4", "fff4", received, "Temperature", "°C", 0, 1 });
    setRow(registers, 4, { "D1", 502, 106, 0, 1, 64, "text", "70B3", "70B3D5E75E001A2B", received, "DevEUI", "", 0, 0 });
    setRow(registers, 5, { "D1", 502, 110, 0, 1, 16, "integer", QVariant(), QVariant(), 0, "Battery", "mV", 0, 1 });
    CRegisterDelegat registerDelegate;
    QScopedPointer<QListView> registerList(listOf(&registers, &registerDelegate, 2));
    registerList->resize(420, 270);
    ok &= save(*registerList, out, "register_view.png");

    CSimpleRegisterDelegat parameterDelegate(nullptr);
    QScopedPointer<QListView> parameterList(listOf(&registers, &parameterDelegate, 3));
    parameterList->resize(420, 430);
    ok &= save(*parameterList, out, "register_parameters.png");

    // The editor as it opens over its row.
    parameterList->openPersistentEditor(registers.index(3, 0));
    ok &= save(*parameterList, out, "register_editor.png");

    CSearchEditWidget search;
    search.setText(QStringLiteral("temp"));
    search.resize(300, 30);
    search.findChild<QLineEdit *>()->deselect();
    ok &= save(search, out, "search_box.png");

    CAbstractPanelButton closedButton(QStringLiteral("Server"), QIcon(QStringLiteral(":/connectionFailIco.png")));
    closedButton.resize(220, 45);
    ok &= save(closedButton, out, "panel_button.png");

    CLeftPanel panel;
    auto *logo = new CLogoWidget();
    panel.addWidget(logo, 0, Qt::AlignHCenter);
    auto *serverButton
        = new CAbstractPanelButton(QStringLiteral("Server"), QIcon(QStringLiteral(":/connectionGoodIco.png")));
    auto *fields = new QFormLayout();
    fields->addRow(QStringLiteral("IP"), new QLineEdit(QStringLiteral("192.168.1.20")));
    fields->addRow(QStringLiteral("Port"), new QLineEdit(QStringLiteral("8002")));
    fields->addRow(QStringLiteral("Login"), new QLineEdit(QStringLiteral("operator")));
    serverButton->addLayout(fields);
    serverButton->setChecked(true);
    panel.addWidget(serverButton);
    panel.addStretch();
    panel.resize(220, 330);
    ok &= save(panel, out, "left_panel.png");

    CLogoWidget logoAlone;
    logoAlone.resize(logoAlone.sizeHint());
    ok &= save(logoAlone, out, "logo.png");

    return ok ? 0 : 1;
}
