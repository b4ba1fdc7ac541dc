#include <QDir>
#include <QProcess>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

#include "app/cclock.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "gateway/cgateway.h"
#include "gatewaytestsupport.h"
#include "store/cdatabasehandler.h"
#include "testworkdir.h"

using namespace GatewayTest;

// The gateway core without a window: device placement, ports that cannot be opened,
// and which log-in is kept, driven the way the window and the command line drive it.
class TestGatewayCore : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    std::unique_ptr<QSignalSpy> logSpy;

    int logCount(const QString &_text) const
    {
        int count = 0;
        for (const QList<QVariant> &line : *logSpy)
            count += line.at(0).toString().contains(_text) ? 1 : 0;
        return count;
    }

    // A gateway in its own folder holding the example templates and an empty store.
    std::unique_ptr<CGateway> startGateway(const QString &_folder, CClock *_clock = CClock::system())
    {
        const QDir dir(workDir.filePath(_folder));
        if (!QDir().mkpath(dir.path()) || !installTemplates(dir))
            return nullptr;
        SGatewayConfig config;
        config.workDir = dir.path();
        config.clock = _clock;
        auto gateway = std::make_unique<CGateway>(config);
        QString error;
        return gateway->start(&error) ? std::move(gateway) : nullptr;
    }

    static DB::SDeviceRegMapDescription thSensor(const CGateway &_gateway, const QString &_devEui, int _startAddr)
    {
        DB::SDeviceRegMapDescription device;
        device.devEui = _devEui;
        device.appEui = TH_APP_EUI;
        device.name = QStringLiteral("sensor ") + _devEui.right(2);
        device.startAddr = _startAddr;
        device.registers = _gateway.regMap(TH_APP_EUI).registers;
        return device;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.enter());
        CSettings::getInstance(SETTINGS_FILE_NAME);
        logSpy = std::make_unique<QSignalSpy>(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    }

    // The TH sensor's map takes offsets 0 to 8 (nine registers) from its start address.
    void placementIsCheckedBeforeAnythingIsStored_data()
    {
        QTest::addColumn<int>("port");
        QTest::addColumn<int>("startAddr");
        QTest::addColumn<QString>("appEui");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("message");
        // Another device of the same port lies at 100..108.
        QTest::newRow("same start address") << 0 << 100 << TH_APP_EUI << int(EGatewayError::OVERLAP)
                                            << "sensor 01 [70B3D5E75E000001] on port";
        QTest::newRow("last register shared") << 0 << 92 << TH_APP_EUI << int(EGatewayError::OVERLAP)
                                              << "sensor 01 [70B3D5E75E000001]";
        QTest::newRow("first register shared") << 0 << 108 << TH_APP_EUI << int(EGatewayError::OVERLAP)
                                               << "sensor 01";
        QTest::newRow("right below") << 0 << 91 << TH_APP_EUI << int(EGatewayError::NONE) << "";
        QTest::newRow("right above") << 0 << 109 << TH_APP_EUI << int(EGatewayError::NONE) << "";
        QTest::newRow("same addresses, other port") << 1 << 100 << TH_APP_EUI << int(EGatewayError::NONE) << "";
        QTest::newRow("map past 65535") << 0 << 65528 << TH_APP_EUI << int(EGatewayError::INVALID_START_ADDRESS)
                                        << "0-65535";
        QTest::newRow("port 0") << 2 << 0 << TH_APP_EUI << int(EGatewayError::INVALID_PORT) << "";
        QTest::newRow("port of another program") << 3 << 0 << TH_APP_EUI << int(EGatewayError::PORT_BUSY) << "busy";
        QTest::newRow("AppEUI in lower case") << 1 << 300 << TH_APP_EUI.toLower() << int(EGatewayError::NONE) << "";
        QTest::newRow("no template") << 1 << 400 << "0000000000000099" << int(EGatewayError::UNKNOWN_TEMPLATE)
                                     << "0000000000000099";
    }
    void placementIsCheckedBeforeAnythingIsStored()
    {
        QFETCH(int, port);
        QFETCH(int, startAddr);
        QFETCH(QString, appEui);
        QFETCH(int, error);
        QFETCH(QString, message);
        std::unique_ptr<CGateway> gateway = startGateway(QString::fromLatin1(QTest::currentDataTag()));
        QVERIFY(gateway);
        QTcpServer otherProgram;
        QVERIFY(otherProgram.listen(QHostAddress::Any, 0));
        const uint16_t shared = freePort();
        const uint16_t other = freePort();
        QVERIFY(shared && other && shared != other);
        QVERIFY(gateway->addDevice(thSensor(*gateway, QStringLiteral("70B3D5E75E000001"), 100), shared).ok());
        const uint16_t ports[] = { shared, other, 0, otherProgram.serverPort() };

        DB::SDeviceRegMapDescription device = thSensor(*gateway, QStringLiteral("70B3D5E75E000002"), startAddr);
        device.appEui = appEui;
        const SGatewayResult result = gateway->addDevice(device, ports[port]);
        QCOMPARE(int(result.error), error);
        QVERIFY2(result.message.contains(message), qPrintable(result.message));
        QCOMPARE(gateway->registeredDevices().size(), result.ok() ? 2 : 1);
        if (result.ok())
            QVERIFY(portAccepts(ports[port]));
    }

    void sameDeviceTwiceIsRefused()
    {
        std::unique_ptr<CGateway> gateway = startGateway(QStringLiteral("twice"));
        QVERIFY(gateway);
        const uint16_t port = freePort();
        QVERIFY(gateway->addDevice(thSensor(*gateway, QStringLiteral("70B3D5E75E0000AA"), 0), port).ok());
        const SGatewayResult again = gateway->addDevice(thSensor(*gateway, QStringLiteral("70b3d5e75e0000aa"), 50), port);
        QCOMPARE(int(again.error), int(EGatewayError::ALREADY_REGISTERED));
    }

    void storedOverlappingDevicesAreKeptWithAWarning()
    {
        const QString folder = QStringLiteral("overlapping");
        QVERIFY(QDir().mkpath(workDir.filePath(folder)));
        const uint16_t port = freePort();
        {
            // Written by an earlier version that did not look for overlaps.
            CDataBaseHandler earlier(workDir.filePath(folder + QStringLiteral("/server.db")));
            QVERIFY(earlier.open());
            std::unique_ptr<CGateway> templatesOnly = startGateway(QStringLiteral("templates"));
            QVERIFY(templatesOnly);
            QVERIFY(earlier.registerNewDevice(thSensor(*templatesOnly, QStringLiteral("70B3D5E75E0000B1"), 100), port));
            QVERIFY(earlier.registerNewDevice(thSensor(*templatesOnly, QStringLiteral("70B3D5E75E0000B2"), 104), port));
        }
        logSpy->clear();
        std::unique_ptr<CGateway> gateway = startGateway(folder);
        QVERIFY(gateway);
        QCOMPARE(gateway->registeredDevices().size(), 2);
        QCOMPARE(logCount(QStringLiteral("Registers of device [70B3D5E75E0000B2] on port [%1] overlap those of "
                                         "sensor B1 [70B3D5E75E0000B1]")
                              .arg(port)),
                 1);
        QVERIFY(portAccepts(port));
    }

    void portHeldByAnotherProgramIsRetriedUntilItOpens()
    {
        CManualClock clock;
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        const uint16_t port = holder.serverPort();
        const QString folder = QStringLiteral("retry");
        QVERIFY(QDir().mkpath(workDir.filePath(folder)));
        {
            CDataBaseHandler earlier(workDir.filePath(folder + QStringLiteral("/server.db")));
            QVERIFY(earlier.open());
            std::unique_ptr<CGateway> templatesOnly = startGateway(QStringLiteral("templates2"));
            QVERIFY(templatesOnly);
            QVERIFY(earlier.registerNewDevice(thSensor(*templatesOnly, QStringLiteral("70B3D5E75E0000C1"), 0), port));
        }
        logSpy->clear();
        std::unique_ptr<CGateway> gateway = startGateway(folder, &clock);
        QVERIFY(gateway);
        QVERIFY(!gateway->openPorts().contains(port));
        const QString failed = QStringLiteral("ERROR: [CDeviceHandler] Port [%1] is not opened!").arg(port);
        QCOMPARE(logCount(failed), 1);

        // Still taken: tried again quietly.
        clock.advance(10000);
        QVERIFY(!gateway->openPorts().contains(port));
        QCOMPARE(logCount(failed), 1);

        holder.close();
        clock.advance(9999);
        QVERIFY(!gateway->openPorts().contains(port));
        clock.advance(1);
        QCOMPARE(gateway->openPorts(), QList<uint16_t>({ port }));
        QCOMPARE(logCount(QStringLiteral("INFO: [CAllDeviceHandler::retryClosedPorts] Port [%1] is open now").arg(port)),
                 1);
        QVERIFY(portAccepts(port));
    }

    void onlyTheConfirmedLogInIsSaved()
    {
        QVERIFY(QDir().mkpath(workDir.filePath(QStringLiteral("simulator"))));
        QVERIFY(writeFile(workDir.filePath(QStringLiteral("simulator/devices.json")), "[]"));
        QProcess simulator;
        const quint16 serverPort = startSimulator(
            simulator, { QStringLiteral("--devices"), workDir.filePath(QStringLiteral("simulator/devices.json")) });
        QVERIFY(serverPort);
        CManualClock clock;
        std::unique_ptr<CGateway> gateway = startGateway(QStringLiteral("login"), &clock);
        QVERIFY(gateway);
        QSignalSpy statuses(gateway.get(), &CGateway::serverStatusChanged);
        const auto reachedSuccess = [&] {
            return QTest::qWaitFor(
                [&] {
                    return !statuses.isEmpty()
                        && statuses.last().at(0).value<COMM::EServerStatus>() == COMM::eSuccess;
                },
                10000);
        };
        SServerLogin login;
        login.host = QStringLiteral("127.0.0.1");
        login.port = QString::number(serverPort);
        login.login = LOGIN;
        login.password = PASSWORD;

        // Connected from what the settings held already: nothing is written.
        gateway->connectToServer(login, false);
        QVERIFY(reachedSuccess());
        QVERIFY(!QFile::exists(SETTINGS_FILE_NAME));

        // The operator's Connect: written once the server accepts it, exactly as used.
        statuses.clear();
        gateway->connectToServer(login, true);
        QVERIFY(reachedSuccess());
        QSettings saved(SETTINGS_FILE_NAME, QSettings::IniFormat);
        QCOMPARE(saved.value(QStringLiteral("server/port")).toString(), login.port);
        QCOMPARE(saved.value(QStringLiteral("server/password")).toString(), PASSWORD);

        // Unconfirmed text elsewhere, then the server restarts: the reconnection saves nothing.
        QVERIFY(CSettings::writeValue(SETTINGS_GROUP_SERVER + SETTINGS_KEY_LOGIN, QStringLiteral("kept")));
        statuses.clear();
        stopProcess(simulator);
        QVERIFY(QTest::qWaitFor([&] { return !statuses.isEmpty(); }, 5000));
        QCOMPARE(startSimulator(simulator, { QStringLiteral("--port"), QString::number(serverPort) }), serverPort);
        clock.advance(1000);
        QVERIFY(reachedSuccess());
        QCOMPARE(QSettings(SETTINGS_FILE_NAME, QSettings::IniFormat).value(QStringLiteral("server/login")).toString(),
                 QStringLiteral("kept"));
        stopProcess(simulator);
    }
};

QTEST_GUILESS_MAIN(TestGatewayCore)
#include "tst_gatewaycore.moc"
