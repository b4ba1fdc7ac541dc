#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "store/cdatabasehandler.h"
#include "storetestsupport.h"

using namespace GatewayTest;

namespace {

const QString SENSOR = QStringLiteral("70B3D5E75E00A001");
const QString COUNTER = QStringLiteral("70B3D5E75E00A002");

} // namespace

// The built program as an operator starts it: a working directory with its log-in,
// templates and stored devices; it connects by itself and serves what arrives.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir workDir;
    QString startDir;

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(gatewayProgram()));
        QVERIFY(QFile::exists(simulatorProgram()));
        const QString missing = PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QVERIFY(workDir.isValid());
        startDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(workDir.path()));
        fillGlobalTables();
        CLogFile::getInstance(QStringLiteral("test.log"));
    }

    void cleanupTestCase() { QDir::setCurrent(startDir); }

    void servesUplinksToAModbusClient()
    {
        const QDir dir(workDir.path());
        QVERIFY(installTemplates(dir));

        // Two stored devices sharing one port: the sensor from 100, the counter from 200.
        const quint16 modbusPort = freePort();
        QVERIFY(modbusPort);
        CDataBaseHandler *store = StoreTest::workingDirectoryStore();
        QVERIFY(store);
        const CAllDeviceHandler registry(store, dir.filePath(DEVICE_FOLDER));
        DB::SDeviceRegMapDescription sensor { SENSOR, TH_APP_EUI, QStringLiteral("boiler TH"), 100,
                                              registry.getRegMapDescription(TH_APP_EUI)
                                                  .registers };
        // Humidity (offset 7) stored as raw * 2 + 3.
        for (SRegisterDescription &reg : sensor.registers)
            if (reg.offset == 7) {
                reg.gratingPeriod = 2;
                reg.startValue = 3;
            }
        QVERIFY(store->registerNewDevice(sensor, modbusPort));
        DB::SDeviceRegMapDescription counter { COUNTER, PULSE_APP_EUI, QStringLiteral("water"), 200,
                                               registry.getRegMapDescription(PULSE_APP_EUI)
                                                   .registers };
        QVERIFY(store->registerNewDevice(counter, modbusPort));

        // Temperature -10 (fff6), humidity 600 (0258), battery 2830 (0b0e), little-endian.
        QVERIFY(writeFile(dir.filePath(QStringLiteral("devices.json")),
                          QStringLiteral(R"([{"devEui":"%1","devName":"boiler TH","appEui":"%2",
                                            "payload":"01f6ff58020e0b"}])")
                              .arg(SENSOR, TH_APP_EUI)
                              .toUtf8()));
        QProcess simulator;
        simulator.setWorkingDirectory(workDir.path());
        const quint16 serverPort = startSimulator(
            simulator, { QStringLiteral("--devices"), dir.filePath(QStringLiteral("devices.json")),
                         QStringLiteral("--rate"), QStringLiteral("5"), QStringLiteral("--duration"),
                         QStringLiteral("60") });
        QVERIFY(serverPort);

        QVERIFY(writeFile(dir.filePath(SETTINGS_FILE_NAME),
                          QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=%2\npassword=%3\n")
                              .arg(serverPort)
                              .arg(LOGIN, PASSWORD)
                              .toUtf8()));

        QProcess gateway;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        gateway.setProcessEnvironment(environment);
        gateway.setWorkingDirectory(workDir.path());
        gateway.start(gatewayProgram(), QStringList());
        QVERIFY(gateway.waitForStarted(5000));

        // Register 106 temperature, 107 humidity * 2 + 3 = 1203, 108 battery.
        const QMap<int, int> expected = { { 106, 0xfff6 }, { 107, 1203 }, { 108, 2830 } };
        QMap<int, int> read;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000 && read != expected) {
            read = readWithMbpoll(modbusPort, 106, 3);
            if (read != expected)
                QTest::qWait(200);
        }
        QCOMPARE(read, expected);
        // The counter's registers share the port and have seen no uplink.
        QCOMPARE(readWithMbpoll(modbusPort, 200, 2), (QMap<int, int> { { 200, 0 }, { 201, 0 } }));

        gateway.terminate();
        QVERIFY(gateway.waitForFinished(10000));
        stopProcess(simulator);

        QFile log(dir.filePath(QStringLiteral("history.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY(text.contains(QStringLiteral("New session")));
        QVERIFY(text.contains(QStringLiteral("INFO: [CGateway::serverStatusSlot] Logged in to the server as [%1]")
                                  .arg(LOGIN)));
    }
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
