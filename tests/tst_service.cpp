#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include "brokertestsupport.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "servicetestsupport.h"

using namespace ServiceTest;

// The program as a service on a box nobody sits at: headless against the simulator, the
// device list changed from the command line while it runs, a graceful stop, one instance
// per folder, and the device list carried to another folder.
class TestService : public QObject
{
    Q_OBJECT

private:
    QString makeFolder(QTemporaryDir &_dir)
    {
        const QDir dir(_dir.path());
        return installTemplates(dir) ? dir.path() : QString();
    }

private slots:
    void initTestCase()
    {
        const QString missing = missingPrograms();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    void headlessServesAndTakesCommandsWhileRunning()
    {
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("devices.json")),
                          QStringLiteral(R"([{"devEui":"%1","devName":"boiler","appEui":"%3","payload":"%4"},
                                            {"devEui":"%2","devName":"cellar","appEui":"%3","payload":"%4"}])")
                              .arg(BOILER, CELLAR, TH_APP_EUI, QLatin1String(BOILER_PAYLOAD))
                              .toUtf8()));
        QProcess simulator;
        const quint16 serverPort = startSimulator(
            simulator, { "--devices", QDir(dir).filePath(QStringLiteral("devices.json")), "--rate", "20", "--duration",
                         "60" });
        QVERIFY(serverPort);
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("settings.conf")),
                          QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=%2\npassword=%3\n"
                                         "[modbus]\nbind=127.0.0.1\n")
                              .arg(serverPort)
                              .arg(LOGIN, PASSWORD)
                              .toUtf8()));
        const quint16 boilerPort = freePort();
        const quint16 cellarPort = freePort();
        QVERIFY(boilerPort && cellarPort && boilerPort != cellarPort);
        const SRun added = kelvara(dir, addArguments(BOILER, QStringLiteral("boiler"), boilerPort, 100));
        QCOMPARE(added.exitCode, 0);

        QProcess gateway;
        gateway.setProcessEnvironment(withoutDisplay());
        gateway.start(gatewayProgram(), { "--headless", "--workdir", dir });
        QVERIFY(gateway.waitForStarted(5000));

        // Temperature, humidity and battery at offsets 6, 7, 8.
        const QMap<int, int> expected = { { 106, 0x00e1 }, { 107, 0x01b9 }, { 108, 0x0bc4 } };
        QVERIFY(QTest::qWaitFor([&] { return readWithMbpoll(boilerPort, 106, 3) == expected; }, 15000));
        // Headless, Qt's GUI library is not even loaded.
        QFile maps(QStringLiteral("/proc/%1/maps").arg(gateway.processId()));
        QVERIFY(maps.open(QIODevice::ReadOnly));
        const QByteArray mapped = maps.readAll();
        QVERIFY(mapped.contains("libQt5Core"));
        QVERIFY(!mapped.contains("libQt5Gui"));

        // A second instance in the same folder is refused, naming the first.
        const SRun second = kelvara(dir, { "--headless" }, withoutDisplay());
        QCOMPARE(second.exitCode, 1);
        QVERIFY2(second.err.contains(QStringLiteral("another Kelvara is running in %1 (pid %2)")
                                         .arg(dir)
                                         .arg(gateway.processId())
                                         .toUtf8()),
                 second.err.constData());

        // Added while it runs: served without a restart.
        QVERIFY(!portAccepts(cellarPort));
        QCOMPARE(kelvara(dir, addArguments(CELLAR, QStringLiteral("cellar"), cellarPort, 0)).exitCode, 0);
        const QMap<int, int> cellarExpected = { { 6, 0x00e1 }, { 7, 0x01b9 }, { 8, 0x0bc4 } };
        QVERIFY(QTest::qWaitFor([&] { return readWithMbpoll(cellarPort, 6, 3) == cellarExpected; }, 15000));

        // Removed while it runs: its port closes, the other stays.
        QCOMPARE(kelvara(dir, { "devices", "remove", "--dev-eui", CELLAR.toLower() }).exitCode, 0);
        QVERIFY(QTest::qWaitFor([&] { return !portAccepts(cellarPort); }, 5000));
        QVERIFY(portAccepts(boilerPort));

        // SIGTERM: a graceful stop within two seconds, the last uplink stored.
        stopProcess(simulator);
        QElapsedTimer stopping;
        stopping.start();
        ::kill(pid_t(gateway.processId()), SIGTERM);
        QVERIFY(gateway.waitForFinished(2000));
        QVERIFY(stopping.elapsed() < 2000);
        QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
        QCOMPARE(gateway.exitCode(), 0);
        const QByteArray log = gateway.readAllStandardError();
        QVERIFY2(log.contains("INFO: [CHeadlessService] stopped"), log.right(500).constData());
        QCOMPARE(storedValue(dir, BOILER, 6), QStringLiteral("00e1"));
    }

    // The window run lives through the command line's SIGHUP and stops on SIGTERM or SIGINT
    // as the headless run does.
    void windowTakesCommandsAndStopsOnSignals_data()
    {
        QTest::addColumn<int>("stopSignal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
    }
    void windowTakesCommandsAndStopsOnSignals()
    {
        QFETCH(int, stopSignal);
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("settings.conf")), "[modbus]\nbind=127.0.0.1\n"));
        QProcessEnvironment environment = withoutDisplay();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        QProcess window;
        window.setProcessEnvironment(environment);
        window.start(gatewayProgram(), { "--workdir", dir });
        QVERIFY(window.waitForStarted(5000));
        const QString logFile = QDir(dir).filePath(QStringLiteral("history.log"));
        const auto logHas = [&](const QByteArray &_text) {
            QFile file(logFile);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(_text);
        };
        QVERIFY(QTest::qWaitFor([&] { return logHas("No network server is configured"); }, 10000));

        const quint16 port = freePort();
        const SRun added = kelvara(dir, addArguments(BOILER, QStringLiteral("boiler"), port, 0));
        QCOMPARE(added.exitCode, 0);
        QVERIFY2(added.out.contains("takes the change now") || added.err.contains("takes the change now"),
                 added.err.constData());
        QVERIFY(QTest::qWaitFor([&] { return portAccepts(port); }, 10000));
        QCOMPARE(window.state(), QProcess::Running);

        ::kill(pid_t(window.processId()), stopSignal);
        QVERIFY(window.waitForFinished(5000));
        QCOMPARE(window.exitStatus(), QProcess::NormalExit);
        QCOMPARE(window.exitCode(), 0);
        QVERIFY(logHas(QStringLiteral("INFO: [MainWindow] Signal %1: stopping").arg(stopSignal).toUtf8()));
        QVERIFY(logHas("INFO: [MainWindow] stopped"));
    }

    void uplinksOverMqttReachModbus_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("ChirpStack") << "chirpstack";
        QTest::newRow("The Things Stack") << "tts";
    }
    void uplinksOverMqttReachModbus()
    {
        QFETCH(QString, kind);
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        TestBroker broker;
        QVERIFY2(broker.start(dir, { QStringLiteral("allow_anonymous true") }), qPrintable(broker.error));
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("devices.json")),
                          QStringLiteral(R"([{"devEui":"%1","devName":"boiler","appEui":"%2","payload":"%3"}])")
                              .arg(BOILER, TH_APP_EUI, QLatin1String(BOILER_PAYLOAD))
                              .toUtf8()));
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("settings.conf")),
                          QStringLiteral("[server]\nkind=%1\n[mqtt]\nhost=127.0.0.1\nport=%2\n")
                              .arg(kind)
                              .arg(broker.port)
                              .toUtf8()));
        const quint16 port = freePort();
        QCOMPARE(kelvara(dir, addArguments(BOILER, QStringLiteral("boiler"), port, 0)).exitCode, 0);
        QProcess gateway;
        gateway.setProcessEnvironment(withoutDisplay());
        gateway.start(gatewayProgram(), { "--headless", "--workdir", dir });
        QVERIFY(gateway.waitForStarted(5000));
        QProcess simulator;
        simulator.start(simulatorProgram(), { "--mqtt", kind, "--broker-port", QString::number(broker.port),
                                              "--devices", QDir(dir).filePath(QStringLiteral("devices.json")),
                                              "--rate", "20", "--duration", "30" });
        QVERIFY(simulator.waitForStarted(5000));
        const QMap<int, int> expected = { { 6, 0x00e1 }, { 7, 0x01b9 }, { 8, 0x0bc4 } };
        QVERIFY(QTest::qWaitFor([&] { return readWithMbpoll(port, 6, 3) == expected; }, 15000));
        stopProcess(simulator);
        stopProcess(gateway);
        QCOMPARE(gateway.exitCode(), 0);
    }

    void logLinesCarryTheJournalsPriority()
    {
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        // A stored device's port taken by another program gives an error line at start.
        const quint16 port = freePort();
        QCOMPARE(kelvara(dir, addArguments(BOILER, QStringLiteral("boiler"), port, 0)).exitCode, 0);
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, port));
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("settings.conf")), "[server]\nip=127.0.0.1\n"));
        QProcessEnvironment environment = withoutDisplay();
        environment.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
        QProcess gateway;
        gateway.setProcessEnvironment(environment);
        gateway.start(gatewayProgram(), { "--headless", "--workdir", dir });
        QVERIFY(gateway.waitForStarted(5000));
        QByteArray err;
        QVERIFY(QTest::qWaitFor(
            [&] {
                err += gateway.readAllStandardError();
                return err.contains("[main] PORT is empty");
            },
            10000));
        ::kill(pid_t(gateway.processId()), SIGTERM);
        QVERIFY(gateway.waitForFinished(5000));
        err += gateway.readAllStandardError();
        QVERIFY2(err.contains("]INFO: [CHeadlessService] Running headless"), err.constData());
        for (const QByteArray &line : err.split('\n')) {
            if (line.isEmpty())
                continue;
            QVERIFY2(line.startsWith("<3>") || line.startsWith("<4>") || line.startsWith("<6>"), line.constData());
            if (line.contains("ERROR"))
                QVERIFY2(line.startsWith("<3>"), line.constData());
            if (line.contains("WARNING"))
                QVERIFY2(line.startsWith("<4>"), line.constData());
        }
        QVERIFY(err.contains("<6>[") && err.contains("[main] PORT is empty"));
        QVERIFY(err.contains(QStringLiteral("<3>[").toUtf8()));
        QVERIFY(err.contains(QStringLiteral("ERROR: [CDeviceHandler] Port [%1] is not opened!").arg(port).toUtf8()));
    }
};

QTEST_GUILESS_MAIN(TestService)
#include "tst_service.moc"
