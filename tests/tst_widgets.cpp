#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/cdevicedelegat.h"
#include "ui/cdevicesearchmodel.h"
#include "ui/cleftpanel.h"
#include "ui/clogowidget.h"
#include "ui/cregisterdelegat.h"
#include "ui/csearcheditwidget.h"
#include "ui/csimpleregisterdelegat.h"
#include "ui/csimpleregistereditwidget.h"
#include "store/storecolumns.h"
#include "testworkdir.h"

namespace {

const QString ORANGE_EUI = QStringLiteral("FF80000000000001");
const QString UNKNOWN_EUI = QStringLiteral("0000000000000000");


// One register row in the column order of the register table.
void setRegisterRow(QStandardItemModel &model, int row, const QString &device, int regAddr, const QString &type,
                    const QVariant &fullValue = QVariant(), const QString &unit = QString())
{
    const auto set = [&](int column, const QVariant &value) { model.setData(model.index(row, column), value); };
    set(REG_COL_DEVICE, device);
    set(REG_COL_REG_ADDR, regAddr);
    set(REG_COL_START_VALUE, 0u);
    set(REG_COL_GRATING_PERIOD, 1u);
    set(REG_COL_BIT_SIZE, 16);
    set(REG_COL_DATA_TYPE, type);
    set(REG_COL_FULL_VALUE, fullValue);
    set(REG_COL_TIME, 0);
    set(REG_COL_NAME, QStringLiteral("Temperature"));
    set(REG_COL_UNIT, unit);
    set(REG_COL_SOURCE, 1);
}

QImage paintRow(const QAbstractItemDelegate &delegate, const QAbstractItemModel &model, int row,
                QStyle::State state, const QSize &size)
{
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = state;
    delegate.paint(&painter, option, model.index(row, 0));
    painter.end();
    return image;
}

// The card's fill, just left of where any text starts.
QColor cardFill(const QImage &image)
{
    return image.pixelColor(1, image.height() / 2);
}

bool sameColour(const QColor &actual, const QColor &expected)
{
    // Painting through premultiplied alpha may move a channel by one.
    return qAbs(actual.red() - expected.red()) <= 1 && qAbs(actual.green() - expected.green()) <= 1
        && qAbs(actual.blue() - expected.blue()) <= 1 && actual.alpha() == expected.alpha();
}

bool containsColour(const QImage &image, const QColor &colour)
{
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == colour)
                return true;
        }
    }
    return false;
}

bool isBlank(const QImage &image)
{
    QImage empty(image.size(), image.format());
    empty.fill(Qt::transparent);
    return image == empty;
}

} // namespace

class TestWidgets : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    std::unique_ptr<CGateway> gateway;

    static QString qs(const char *text) { return QString::fromUtf8(text); }

    int countLogged(const QSignalSpy &spy, const QString &text)
    {
        int count = 0;
        for (const QList<QVariant> &args : spy)
            count += args.at(0).toString().endsWith(QLatin1Char(']') + text) ? 1 : 0;
        return count;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.enter());
        QVERIFY(QDir().mkpath(QStringLiteral("deviceFolder")));
        QFile file(QStringLiteral("deviceFolder/orange.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray json = R"({ "app_eui": "ff80000000000001", "dev_type": "Orange meter", "color": "#ff8000",
            "device_packets": [ { "packet_type": 1, "packet_size": 3, "packet_fields": [ { "packet_bias": 1,
            "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer", "reg_map_bias": 0, "reg_bit_bias": 0,
            "reg_bit_size": 16, "data_name": "T" } ] } ] })";
        QCOMPARE(file.write(json), qint64(json.size()));
        file.close();
        gateway = std::make_unique<CGateway>(SGatewayConfig());
        QString error;
        QVERIFY2(gateway->start(&error), qPrintable(error));
        QCOMPARE(QColor(gateway->templateInfo(ORANGE_EUI).color), QColor(255, 128, 0));
    }


    // ---- Device list card ----

    void deviceCardColours_data()
    {
        QTest::addColumn<QString>("appEui");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("even") << ORANGE_EUI << 0 << int(QStyle::State_None) << QColor(0xff, 0x80, 0x00);
        QTest::newRow("odd alpha 200") << ORANGE_EUI << 1 << int(QStyle::State_None) << QColor(0xff, 0x80, 0x00, 200);
        // 255 / 1.3 = 196.1 -> 0xc4, 128 / 1.3 = 98.5 -> 0x62.
        QTest::newRow("selected") << ORANGE_EUI << 1 << int(QStyle::State_Selected) << QColor(0xc4, 0x62, 0x00);
        QTest::newRow("hovered") << ORANGE_EUI << 0 << int(QStyle::State_MouseOver) << QColor(0xc4, 0x62, 0x00);
        QTest::newRow("no template even") << UNKNOWN_EUI << 0 << int(QStyle::State_None) << QColor(0, 0, 0);
        QTest::newRow("no template odd") << UNKNOWN_EUI << 1 << int(QStyle::State_None) << QColor(0, 0, 0, 200);
    }

    void deviceCardColours()
    {
        QFETCH(QString, appEui);
        QFETCH(int, row);
        QFETCH(int, state);
        QFETCH(QColor, expected);
        QStandardItemModel model(2, 6);
        for (int r = 0; r < 2; ++r) {
            model.setData(model.index(r, 1), QStringLiteral("Boiler room"));
            model.setData(model.index(r, 2), appEui);
            model.setData(model.index(r, 3), QStringLiteral("0011223344556677"));
        }
        CDeviceDelegat delegate(gateway.get(), nullptr);
        const QImage image = paintRow(delegate, model, row, QStyle::State(state), QSize(300, 30));
        QVERIFY2(sameColour(cardFill(image), expected), qPrintable(cardFill(image).name(QColor::HexArgb)));
        if (appEui == ORANGE_EUI && row == 0 && state == QStyle::State_None) {
            QVERIFY(containsColour(image, QColor(0x0c, 0x33, 0x42))); // title
            QVERIFY(containsColour(image, QColor(0x50, 0x13, 0x70))); // DevEUI and type name
        }
    }

    void deviceCardNeedsSixColumns()
    {
        QStandardItemModel model(1, 5);
        CDeviceDelegat delegate(gateway.get(), nullptr);
        QTest::ignoreMessage(QtDebugMsg, "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!");
        QVERIFY(isBlank(paintRow(delegate, model, 0, QStyle::State_None, QSize(300, 30))));
    }

    void listSizeHints()
    {
        QStandardItemModel model(1, 14);
        const QStyleOptionViewItem option;
        QCOMPARE(CDeviceDelegat(nullptr, nullptr).sizeHint(option, model.index(0, 0)), QSize(100, 30));
        QCOMPARE(CRegisterDelegat().sizeHint(option, model.index(0, 0)), QSize(100, 40));
        QCOMPARE(CSimpleRegisterDelegat(nullptr).sizeHint(option, model.index(0, 0)), QSize(200, 65));
    }

    // ---- Register cards ----

    void registerCardColours_data()
    {
        QTest::addColumn<bool>("simple");
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("expected");
        for (const bool simple : { false, true }) {
            const QByteArray name = simple ? "simple " : "view ";
            QTest::newRow(name + "even") << simple << 0 << int(QStyle::State_None) << QColor(0xe7, 0xe8, 0xea);
            QTest::newRow(name + "odd") << simple << 1 << int(QStyle::State_None) << QColor(0xc4, 0xc6, 0xc9);
            QTest::newRow(name + "selected odd") << simple << 1 << int(QStyle::State_Selected) << QColor(0x94, 0x99, 0x9d);
            QTest::newRow(name + "hovered even") << simple << 0 << int(QStyle::State_MouseOver) << QColor(0x94, 0x99, 0x9d);
        }
    }

    void registerCardColours()
    {
        QFETCH(bool, simple);
        QFETCH(int, row);
        QFETCH(int, state);
        QFETCH(QColor, expected);
        QStandardItemModel model(2, 14);
        setRegisterRow(model, 0, "D1", 100, "integer", "0014", "V");
        setRegisterRow(model, 1, "D1", 101, "integer", "0015", "V");
        CRegisterDelegat viewDelegate;
        CSimpleRegisterDelegat simpleDelegate(nullptr);
        const QAbstractItemDelegate &delegate = simple ? static_cast<QAbstractItemDelegate &>(simpleDelegate)
                                                       : static_cast<QAbstractItemDelegate &>(viewDelegate);
        const QImage image = paintRow(delegate, model, row, QStyle::State(state), QSize(400, simple ? 65 : 40));
        QVERIFY2(sameColour(cardFill(image), expected), qPrintable(cardFill(image).name(QColor::HexArgb)));
        QVERIFY(containsColour(image, QColor(0x0c, 0x33, 0x42))); // title
        if (simple)
            QVERIFY(containsColour(image, QColor(0x13, 0x78, 0x54))); // origin badge
        else
            QVERIFY(containsColour(image, QColor(0x03, 0x5b, 0x2c))); // value
    }

    // The editor keeps decimals of a register stored as float32, also for an integer field
    // whose template gives it that register format; other registers keep whole numbers.
    void registerEditorKeepsDecimalsOfFloat32Registers_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QVariant>("float32");
        QTest::addColumn<bool>("keepsDecimals");
        QTest::newRow("float field, unmarked row") << "float" << QVariant() << true;
        QTest::newRow("float field stored as float32") << "float" << QVariant(true) << true;
        QTest::newRow("float field stored as int16") << "float" << QVariant(false) << false;
        QTest::newRow("integer field stored as float32") << "integer" << QVariant(true) << true;
        QTest::newRow("integer field") << "integer" << QVariant(false) << false;
    }
    void registerEditorKeepsDecimalsOfFloat32Registers()
    {
        QFETCH(QString, type);
        QFETCH(QVariant, float32);
        QFETCH(bool, keepsDecimals);
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 100, type, "0014", "V");
        model.setData(model.index(0, REG_COL_GRATING_PERIOD), 0.25);
        model.setData(model.index(0, REG_COL_START_VALUE), 1.5);
        if (float32.isValid())
            model.setData(model.index(0, REG_COL_DATA_TYPE), float32, CSimpleRegisterDelegat::DECIMALS_ROLE);
        CSimpleRegisterDelegat delegate(nullptr);
        QWidget parent;
        const QModelIndex index = model.index(0, REG_COL_NAME);
        QScopedPointer<QWidget> editor(delegate.createEditor(&parent, QStyleOptionViewItem(), index));
        QVERIFY(editor);
        delegate.setEditorData(editor.data(), index);
        delegate.setModelData(editor.data(), &model, index);
        const double multiplier = model.index(0, REG_COL_GRATING_PERIOD).data().toDouble();
        const double added = model.index(0, REG_COL_START_VALUE).data().toDouble();
        if (keepsDecimals) {
            QCOMPARE(multiplier, 0.25);
            QCOMPARE(added, 1.5);
        } else {
            QCOMPARE(multiplier, std::trunc(multiplier));
            QCOMPARE(added, std::trunc(added));
        }
    }

    void registerCardColumnCount_data()
    {
        QTest::addColumn<bool>("simple");
        QTest::addColumn<int>("columns");
        QTest::addColumn<bool>("painted");
        QTest::newRow("view 13") << false << 13 << false;
        QTest::newRow("view 14") << false << 14 << true;
        QTest::newRow("view 15") << false << 15 << false;
        QTest::newRow("simple 13") << true << 13 << false;
        QTest::newRow("simple 14") << true << 14 << true;
        QTest::newRow("simple 15") << true << 15 << true;
    }

    void registerCardColumnCount()
    {
        QFETCH(bool, simple);
        QFETCH(int, columns);
        QFETCH(bool, painted);
        QStandardItemModel model(1, columns);
        setRegisterRow(model, 0, "D1", 100, "integer", "0014");
        CRegisterDelegat viewDelegate;
        CSimpleRegisterDelegat simpleDelegate(nullptr);
        if (!painted) {
            QTest::ignoreMessage(QtDebugMsg, simple ? "[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!"
                                                    : "[CRegisterDelegat::paint] ERROR: invalid input data size!");
        }
        const QImage image = simple ? paintRow(simpleDelegate, model, 0, QStyle::State_None, QSize(400, 65))
                                    : paintRow(viewDelegate, model, 0, QStyle::State_None, QSize(400, 40));
        QCOMPARE(!isBlank(image), painted);
    }

    void unshownTypeIsLoggedOncePerRegister()
    {
        QStandardItemModel model(3, 14);
        setRegisterRow(model, 0, "D1", 10, "boolean", "0001");
        setRegisterRow(model, 1, "D1", 12, "float", "0001");
        setRegisterRow(model, 2, "D2", 10, "boolean", "0001");
        QSignalSpy spy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        CRegisterDelegat first;
        CRegisterDelegat second; // a new view's delegate still knows what was reported
        for (int repaint = 0; repaint < 5; ++repaint) {
            for (int row = 0; row < 3; ++row) {
                paintRow(first, model, row, QStyle::State_None, QSize(300, 40));
                paintRow(second, model, row, QStyle::State_None, QSize(300, 40));
            }
        }
        QCOMPARE(countLogged(spy, "[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN"), 2); // D1/10, D2/10
        QCOMPARE(countLogged(spy, "[CRegisterDelegat::paint] Unknown data type!"), 1);
        QCOMPARE(spy.count(), 3);
    }

    // ---- Parameter editor ----

    void editorOnlyForNumericRows_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("editable");
        QTest::newRow("integer") << "integer" << true;
        QTest::newRow("uinteger") << "uinteger" << true;
        QTest::newRow("text") << "text" << false;
        QTest::newRow("boolean") << "boolean" << false;
    }

    void editorOnlyForNumericRows()
    {
        QFETCH(QString, type);
        QFETCH(bool, editable);
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, type);
        CSimpleRegisterDelegat delegate(nullptr);
        QWidget parent;
        QWidget *editor = delegate.createEditor(&parent, QStyleOptionViewItem(), model.index(0, 0));
        QCOMPARE(qobject_cast<CSimpleRegisterEditWidget *>(editor) != nullptr, editable);
        QCOMPARE(editor != nullptr, editable);
    }

    void editorIsFilledFromRow()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "kPa");
        model.setData(model.index(0, REG_COL_START_VALUE), 7u);
        model.setData(model.index(0, REG_COL_GRATING_PERIOD), 3u);
        CSimpleRegisterDelegat delegate(nullptr);
        CSimpleRegisterEditWidget editor;
        delegate.setEditorData(&editor, model.index(0, 0));
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        QCOMPARE(edits.size(), 3);
        QCOMPARE(edits.at(0)->text(), QString("7"));
        QCOMPARE(edits.at(1)->text(), QString("3"));
        QCOMPARE(edits.at(2)->text(), QString("kPa"));
    }

    void setModelDataWritesParameters_data()
    {
        QTest::addColumn<QString>("extra");
        QTest::addColumn<QString>("multiplier");
        QTest::addColumn<QString>("units");
        QTest::addColumn<uint>("expectedExtra");
        QTest::addColumn<uint>("expectedMultiplier");
        QTest::newRow("zero multiplier becomes 1") << "0" << "0" << "" << 0u << 1u;
        QTest::newRow("negative extra becomes 0") << "-5" << "3" << "mA" << 0u << 3u;
        QTest::newRow("empty texts") << "" << "" << "V" << 0u << 1u;
        QTest::newRow("plain values and unit") << "12" << "10" << qs("\xc2\xb0" "C") << 12u << 10u;
    }

    void float32RegisterTakesDecimalParameters()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "float", QVariant(), "old");
        CSimpleRegisterEditWidget editor;
        CSimpleRegisterDelegat delegate(nullptr);
        delegate.setEditorData(&editor, model.index(0, 0));
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        edits.at(0)->setText("-40.5");
        edits.at(1)->setText("0.1");
        delegate.setModelData(&editor, &model, model.index(0, 0));
        QCOMPARE(model.index(0, REG_COL_START_VALUE).data(Qt::EditRole).toDouble(), -40.5);
        QCOMPARE(model.index(0, REG_COL_GRATING_PERIOD).data(Qt::EditRole).toDouble(), 0.1);
    }

    void setModelDataWritesParameters()
    {
        QFETCH(QString, extra);
        QFETCH(QString, multiplier);
        QFETCH(QString, units);
        QFETCH(uint, expectedExtra);
        QFETCH(uint, expectedMultiplier);
        QStandardItemModel model(2, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "old");
        setRegisterRow(model, 1, "D1", 1, "integer", QVariant(), "other");
        model.setData(model.index(0, REG_COL_START_VALUE), 99u);
        model.setData(model.index(0, REG_COL_GRATING_PERIOD), 99u);
        CSimpleRegisterEditWidget editor;
        const QList<QLineEdit *> edits = editor.findChildren<QLineEdit *>();
        edits.at(0)->setText(extra);
        edits.at(1)->setText(multiplier);
        edits.at(2)->setText(units);
        CSimpleRegisterDelegat(nullptr).setModelData(&editor, &model, model.index(0, 0));

        const QVariant start = model.index(0, REG_COL_START_VALUE).data(Qt::EditRole);
        const QVariant grating = model.index(0, REG_COL_GRATING_PERIOD).data(Qt::EditRole);
        QCOMPARE(start.userType(), int(QMetaType::UInt));
        QCOMPARE(grating.userType(), int(QMetaType::UInt));
        QCOMPARE(start.toUInt(), expectedExtra);
        QCOMPARE(grating.toUInt(), expectedMultiplier);
        QCOMPARE(model.index(0, REG_COL_UNIT).data().toString(), units);
        QCOMPARE(model.index(1, REG_COL_UNIT).data().toString(), QString("other")); // only the edited row
    }

    void otherEditorsAreIgnored()
    {
        QStandardItemModel model(1, 14);
        setRegisterRow(model, 0, "D1", 0, "integer", QVariant(), "V");
        QLineEdit notOurs("42");
        CSimpleRegisterDelegat delegate(nullptr);
        delegate.setEditorData(&notOurs, model.index(0, 0));
        delegate.setModelData(&notOurs, &model, model.index(0, 0));
        QCOMPARE(notOurs.text(), QString("42"));
        QCOMPARE(model.index(0, REG_COL_START_VALUE).data().toUInt(), 0u);
        QCOMPARE(model.index(0, REG_COL_UNIT).data().toString(), QString("V"));
    }

    void getMultiplierKeepsZero()
    {
        CSimpleRegisterEditWidget editor;
        editor.setData(5, 0, "x");
        QCOMPARE(editor.getExtraValue(), 5u);
        QCOMPARE(editor.getMultiplier(), 0u);
        QCOMPARE(editor.getUnits(), QString("x"));
    }

    // ---- Search ----

    void searchFilter_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QStringList>("shown");
        QTest::newRow("temp") << "temp" << QStringList { "Temp sensor 1", "Room TEMPERATURE" };
        QTest::newRow("empty shows all") << "" << QStringList { "Temp sensor 1", "Pulse meter", "Room TEMPERATURE" };
        QTest::newRow("none") << "xyz" << QStringList();
    }

    void searchFilter()
    {
        QFETCH(QString, search);
        QFETCH(QStringList, shown);
        QStandardItemModel source(3, 6);
        const QStringList names { "Temp sensor 1", "Pulse meter", "Room TEMPERATURE" };
        for (int row = 0; row < names.size(); ++row) {
            source.setData(source.index(row, 1), names.at(row));
            source.setData(source.index(row, 3), QStringLiteral("temp")); // other columns do not count
        }
        CDeviceSearchModel proxy;
        proxy.setSourceModel(&source);
        proxy.setSearchValue("something else");
        proxy.setSearchValue(search);
        QStringList visible;
        for (int row = 0; row < proxy.rowCount(); ++row)
            visible << proxy.index(row, 1).data().toString();
        QCOMPARE(visible, shown);
    }

    void searchBoxEmitsOnlyWhenAsked()
    {
        CSearchEditWidget box;
        box.show();
        QLineEdit *edit = box.findChild<QLineEdit *>();
        const QList<QPushButton *> buttons = box.findChildren<QPushButton *>("searchBtn");
        QCOMPARE(buttons.size(), 2);
        QSignalSpy spy(&box, &CSearchEditWidget::textChangedSignal);

        QTest::keyClicks(edit, "temp");
        QCOMPARE(spy.count(), 0);
        box.setText("temp");
        QCOMPARE(spy.count(), 0);

        QTest::keyClick(edit, Qt::Key_Return);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), QString("temp"));
        QTest::keyClick(edit, Qt::Key_Enter);
        QCOMPARE(spy.count(), 2);

        QTest::mouseClick(buttons.at(0), Qt::LeftButton); // search
        QCOMPARE(spy.count(), 3);
        QCOMPARE(spy.at(2).at(0).toString(), QString("temp"));

        QTest::mouseClick(buttons.at(1), Qt::LeftButton); // clear
        QCOMPARE(spy.count(), 4);
        QCOMPARE(spy.at(3).at(0).toString(), QString());
        QVERIFY(edit->text().isEmpty());
    }

    // ---- Panel widgets ----

    void panelButtonIconAlignment()
    {
        CAbstractPanelButton button("Server", QIcon(":/connectionGoodIco.png"));
        auto *header = qobject_cast<QHBoxLayout *>(button.layout()->itemAt(0)->layout());
        QVERIFY(header);
        QLabel *icon = button.findChild<QLabel *>("icoLab");
        QLabel *title = button.findChild<QLabel *>("titleLable");
        QCOMPARE(header->indexOf(icon), 1);
        QCOMPARE(header->indexOf(title), 2);

        button.setPicAlign(Qt::AlignRight);
        QCOMPARE(header->indexOf(title), 1);
        QCOMPARE(header->indexOf(icon), 2);
        button.resize(240, 40);
        button.layout()->activate();
        QVERIFY(icon->geometry().left() > title->geometry().left());

        button.setPicAlign(Qt::AlignRight);
        QCOMPARE(header->count(), 3);
        QCOMPARE(header->indexOf(icon), 2);

        QTest::ignoreMessage(QtDebugMsg, "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not "
                                         "supported. Auto-apply with Qt::AlignLeft");
        button.setPicAlign(4);
        QCOMPARE(header->indexOf(icon), 1);
        QCOMPARE(button.property("sPicAlign").toInt(), int(Qt::AlignLeft));
        button.layout()->activate();
        QVERIFY(icon->geometry().left() < title->geometry().left());
    }

    void panelButtonCheckUnfoldsGroupAndMarksRed()
    {
        CAbstractPanelButton button("Server", QIcon());
        auto *content = new QLabel("login");
        button.addWidget(content);
        QGroupBox *group = button.findChild<QGroupBox *>();
        button.resize(200, 80);
        button.show();
        QVERIFY(QTest::qWaitForWindowExposed(&button));
        QVERIFY(group->isHidden());
        const QColor red(0xf5, 0x49, 0x4d);

        button.setChecked(true);
        QVERIFY(!group->isHidden());
        QCOMPARE(content->parentWidget(), static_cast<QWidget *>(group));
        QImage image = button.grab().toImage();
        QCOMPARE(image.pixelColor(0, 5), red);
        QCOMPARE(image.pixelColor(5, 5), red);
        QVERIFY(image.pixelColor(6, 5) != red); // the strip is 6 px wide

        button.setChecked(false);
        QVERIFY(group->isHidden());
        image = button.grab().toImage();
        QVERIFY(image.pixelColor(2, 5) != red);
    }

    void panelButtonBackColourStyleSheet()
    {
        CAbstractPanelButton button("Server", QIcon());
        button.setBackColor(QColor(0x10, 0x20, 0x30));
        QCOMPARE(button.styleSheet(), QString("CAbstractPanelButton { background-color: rgba(16, 32, 48, 255);}"));
        QCOMPARE(button.property("backColor").value<QColor>(), QColor(Qt::black));
        QCOMPARE(button.sizeHint(), QSize(6, 6));
    }

    void leftPanelStretch()
    {
        CLeftPanel panel;
        QWidget inside;
        QWidget outside;
        panel.addWidget(&inside);
        panel.addWidget(nullptr);
        panel.addStretch();
        auto *layout = qobject_cast<QBoxLayout *>(panel.layout());
        QCOMPARE(layout->count(), 2);
        panel.expandWidget(&outside);
        QCOMPARE(layout->stretch(0), 0);
        QCOMPARE(layout->stretch(1), 0);
        panel.expandWidget(&inside);
        QCOMPARE(layout->stretch(0), 50);
        panel.unexpandAll();
        QCOMPARE(layout->stretch(0), 0);
    }

    void logoSize()
    {
        CLogoWidget logo;
        QCOMPARE(logo.sizeHint(), QSize(120, 42));
        QCOMPARE(logo.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
        QCOMPARE(logo.sizePolicy().verticalPolicy(), QSizePolicy::Fixed);
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
