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
#include "widgettestsupport.h"

using namespace WidgetTest;

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
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
