#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <memory>
#include <unistd.h>

#include "app/cclock.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "gateway/cgateway.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "store/cdatabasehandler.h"
#include "store/chistorystore.h"
#include "store/storecolumns.h"
#include "storetestsupport.h"
#include "testworkdir.h"
#include "ui/mainwindow.h"

using namespace StoreTest;
using GatewayTest::gatewayProgram;

// A register store whose file is damaged, belongs to someone else, or cannot be saved to.
class TestStoreFailure : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;

    std::unique_ptr<QSignalSpy> logSpy;

    // Log lines since the spy was cleared that contain _part.
    QStringList logLines(const QString &_part) const { return logLinesContaining(*logSpy, _part); }

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.enter());
        CSettings::getInstance(SETTINGS_FILE_NAME);
        logSpy = std::make_unique<QSignalSpy>(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    }

    void damagedPageIsRefusedUntouched()
    {
        QVERIFY(makeFullStore(QStringLiteral("damaged"), 300));
        const QString path = QStringLiteral("damaged/server.db");
        QVERIFY(damageMiddlePage(path));
        const QByteArray damaged = readAll(path);

        QString reason;
        QVERIFY(!tryOpen(path, &reason));
        QVERIFY2(reason.contains(QStringLiteral("CRITICAL_ERROR! Data base \"damaged/server.db\" is damaged! "
                                                "Error_text[")),
            qPrintable(reason));
        QCOMPARE(readAll(path), damaged);
    }

    void textFileIsRefusedWithSqliteReason()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("text")));
        const QString path = QStringLiteral("text/server.db");
        const QByteArray text = QByteArray("Not a database, just notes about the meters.\n").repeated(200);
        QVERIFY(writeAll(path, text));

        QString reason;
        QVERIFY(!tryOpen(path, &reason));
        QVERIFY2(reason.contains(QStringLiteral("Error_text[file is not a database]")), qPrintable(reason));
        QCOMPARE(readAll(path), text);
    }

    void anotherSchemaIsRefusedUnchanged_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QString>("reason");
        QTest::newRow("devices table with other columns")
            << QStringList { "CREATE TABLE devices (id INTEGER PRIMARY KEY, label TEXT, dev_eui TEXT);",
                   "INSERT INTO devices VALUES (1, 'pump', '0011223344556677');" }
            << "has another schema: table \"devices\" has the columns [id, label, dev_eui]";
        QTest::newRow("dev_data table missing its last column")
            << QStringList { "CREATE TABLE dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, "
                             "start_value INTEGER, grating_period INTEGER, bit_size INTEGER, data_type TEXT, value "
                             "TEXT, full_value TEXT, time INTEGER, name TEXT, unit TEXT, parent INTEGER );" }
            << "has another schema: table \"dev_data\" has the columns [device, port, reg_addr";
        QTest::newRow("unrelated database") << QStringList {
            "CREATE TABLE invoices (number INTEGER, total REAL);", "INSERT INTO invoices VALUES (17, 99.5);"
        } << "belongs to another program: it has the tables [invoices] and none of ours";
    }

    void anotherSchemaIsRefusedUnchanged()
    {
        QFETCH(QStringList, statements);
        QFETCH(QString, reason);
        const QString folder = QStringLiteral("schema-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/server.db");
        QVERIFY(runOn(path, statements));
        const QByteArray before = readAll(path);

        QString refused;
        QVERIFY(!tryOpen(path, &refused));
        QVERIFY2(refused.contains(reason), qPrintable(refused));
        QCOMPARE(readAll(path), before);
        // Not switched to a write-ahead log either.
        QVERIFY(!QFile::exists(path + QStringLiteral("-wal")));
    }

    void programRefusesDamagedFileOnStderr()
    {
        QVERIFY(makeFullStore(QStringLiteral("program"), 40));
        QVERIFY(damageMiddlePage(QStringLiteral("program/server.db")));
        QVERIFY2(QFile::exists(gatewayProgram()), "build the kelvara program first");

        QProcess gateway;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        gateway.setProcessEnvironment(environment);
        gateway.setWorkingDirectory(workDir.filePath(QStringLiteral("program")));
        gateway.start(gatewayProgram(), QStringList());
        QVERIFY(gateway.waitForStarted(5000));
        const bool finished = gateway.waitForFinished(10000);
        if (!finished) {
            gateway.kill();
            gateway.waitForFinished(5000);
        }
        QVERIFY2(finished, "the gateway went on running on a damaged store");
        QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
        QVERIFY(gateway.exitCode() != 0);
        const QString errors = QString::fromUtf8(gateway.readAllStandardError());
        QVERIFY2(
            errors.contains(QStringLiteral("Register store \"server.db\" cannot be opened: ")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("server.db\" is damaged! Error_text[")),
            qPrintable(errors));
    }

    void failingSaveServesNewestAndReportsOnceAMinute()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("failing")));
        const QString path = QStringLiteral("failing/server.db");
        CManualClock clock;
        CDataBaseHandler store(path, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, &clock, CLogFile::getInstance(QString()));
        QVERIFY(store.open());
        QVERIFY(store.registerNewDevice(device("A1", "Meter", 10, { reg("Level", 0, 16) }), 502));
        QVERIFY(store.registerNewDevice(device("B1", "Meter", 20, { reg("Level", 0, 16) }), 502));
        QVERIFY(store.saveRegisterData(uplink("A1", 10, { value("0001", 0, "0001") })));
        QSignalSpy status(&store, &CDataBaseHandler::savingStatusChanged);

        // Every write of a value refused, as by a disk gone read-only.
        QCOMPARE(peerOn(path,
                     "CREATE TRIGGER refuse_update BEFORE UPDATE ON dev_data "
                     "BEGIN SELECT RAISE(ABORT, 'disk refuses'); END;"),
            QVariantList());
        logSpy->clear();
        QVERIFY(!store.saveRegisterData(uplink("A1", 10, { value("0002", 0, "0002") })));
        QCOMPARE(store.getRegisterData(502, 10, 1), (QMap<uint16_t, uint16_t> { { 10, 2 } }));
        QCOMPARE(logSpy->size(), 1);
        QVERIFY2(logLines("Saving to \"failing/server.db\" fails: disk refuses").size() == 1,
            qPrintable(logSpy->first().at(0).toString()));
        QCOMPARE(status.size(), 1);
        QCOMPARE(status.first().at(0).toBool(), false);
        QVERIFY(status.first().at(1).toString().startsWith(QStringLiteral("disk refuses")));

        // More failures within the minute: Modbus follows them, the log stays quiet.
        QVERIFY(!store.saveRegisterData(uplink("A1", 10, { value("0003", 0, "0003") })));
        QVERIFY(!store.saveRegisterData(uplink("B1", 20, { value("00b1", 0, "00b1") })));
        clock.advance(CDataBaseHandler::SAVE_FAILURE_REPORT_MS - 1);
        QVERIFY(!store.saveRegisterData(uplink("A1", 10, { value("0004", 0, "0004") })));
        QCOMPARE(store.getRegisterData(502, 10, 11),
            (QMap<uint16_t, uint16_t> { { 10, 4 }, { 11, 0 }, { 12, 0 }, { 13, 0 }, { 14, 0 }, { 15, 0 }, { 16, 0 },
                { 17, 0 }, { 18, 0 }, { 19, 0 }, { 20, 0xb1 } }));
        QCOMPARE(logSpy->size(), 1);
        QCOMPARE(status.size(), 1);

        // A minute after the report, the next failure tells how many went unsaved since.
        clock.advance(1);
        QVERIFY(!store.saveRegisterData(uplink("A1", 10, { value("0005", 0, "0005") })));
        QCOMPARE(logSpy->size(), 2);
        QVERIFY2(logLines("Saving still fails: 4 more uplinks not saved since the last report, 2 registers wait in "
                          "memory. Error_text[disk refuses")
                     .size()
                == 1,
            qPrintable(logSpy->last().at(0).toString()));
        QCOMPARE(peerOn(path, "SELECT value FROM dev_data ORDER BY reg_addr;"), (QVariantList { "0001", QVariant(QVariant::String) }));

        // Once the disk takes writes again, the next uplink brings the other device's value along.
        QCOMPARE(peerOn(path, "DROP TRIGGER refuse_update;"), QVariantList());
        QVERIFY(store.saveRegisterData(uplink("A1", 10, { value("0006", 0, "0006") })));
        QCOMPARE(peerOn(path, "SELECT value FROM dev_data ORDER BY reg_addr;"), (QVariantList { "0006", "00b1" }));
        QCOMPARE(logSpy->size(), 3);
        QVERIFY2(logLines("Saving works again: the values of 5 unsaved uplinks are in \"failing/server.db\" now").size()
                == 1,
            qPrintable(logSpy->last().at(0).toString()));
        QCOMPARE(status.size(), 2);
        QCOMPARE(status.last().at(0).toBool(), true);
        QVERIFY(!store.saveRegisterData(uplink("A1", 10, {})));
        QCOMPARE(status.size(), 2);
    }

    void deletingADeviceKeepsUnsavedValuesOfItsPort()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("deleting")));
        const QString path = QStringLiteral("deleting/server.db");
        CDataBaseHandler store(path);
        QVERIFY(store.open());
        QVERIFY(store.registerNewDevice(device("C1", "Meter", 10, { reg("Level", 0, 16) }), 502));
        QVERIFY(store.registerNewDevice(device("C2", "Gone", 20, { reg("Level", 0, 16) }), 502));
        QCOMPARE(peerOn(path,
                     "CREATE TRIGGER refuse_update BEFORE UPDATE ON dev_data "
                     "BEGIN SELECT RAISE(ABORT, 'disk refuses'); END;"),
            QVariantList());
        QVERIFY(!store.saveRegisterData(uplink("C1", 10, { value("0c01", 0, "0c01") })));
        const QVariantList gone = peerOn(path, "SELECT device FROM devices WHERE dev_eui='C2';");
        QCOMPARE(gone.size(), 1);
        QVERIFY(store.deleteDevice(gone.first().toUInt()));
        QCOMPARE(store.getRegisterData(502, 10, 1), (QMap<uint16_t, uint16_t> { { 10, 0x0c01 } }));
    }

    void fullDiskTruncatesTheLogAndResumes()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("full")));
        const QString path = QStringLiteral("full/server.db");
        CDataBaseHandler store(path);
        QVERIFY(store.open());
        QList<SRegisterDescription> registers;
        QVector<SRegisterValue> values;
        for (int r = 0; r < 400; ++r) {
            registers << reg(QStringLiteral("Text %1").arg(r), r, 16, QStringLiteral("text"));
            values << value(QStringLiteral("abcd"), r, QString(64, QLatin1Char('x')));
        }
        QVERIFY(store.registerNewDevice(device("D1", "Logger", 0, registers), 503));
        QSqlDatabase own = storeConnection(path);
        QVERIFY(own.isValid());
        QSqlQuery pragma(own);
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA journal_size_limit;")) && pragma.next());
        QCOMPARE(pragma.value(0).toInt(), 1024 * 1024);
        QVERIFY(QFileInfo(path + QStringLiteral("-wal")).size() > 0);

        // The file may not grow by a page: as a disk with no room left.
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA page_count;")) && pragma.next());
        const int pages = pragma.value(0).toInt();
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count=%1;").arg(pages)));
        pragma.finish();
        QSignalSpy status(&store, &CDataBaseHandler::savingStatusChanged);
        QVERIFY(!store.saveRegisterData(uplink("D1", 0, values)));
        QCOMPARE(status.size(), 1);
        QVERIFY2(status.first().at(1).toString().contains(QStringLiteral("database or disk is full")),
            qPrintable(status.first().at(1).toString()));
        QCOMPARE(store.getRegisterData(503, 399, 1), (QMap<uint16_t, uint16_t> { { 399, 0xabcd } }));
        // The write-ahead log gave its space back.
        QCOMPARE(QFileInfo(path + QStringLiteral("-wal")).size(), 0);

        // Room again: the values of the failed uplink are saved with the next one.
        QVERIFY(pragma.exec(QStringLiteral("PRAGMA max_page_count=%1;").arg(pages * 4)));
        pragma.finish();
        QVERIFY(store.saveRegisterData(uplink("D1", 0, { value("0001", 0, "0001") })));
        QCOMPARE(status.size(), 2);
        QCOMPARE(peerOn(path, "SELECT COUNT(*) FROM dev_data WHERE full_value LIKE 'xxxx%';"), QVariantList { 399 });
        QCOMPARE(peerOn(path, "SELECT value FROM dev_data WHERE reg_addr=0;"), QVariantList { "0001" });
    }

    void windowShowsWhileSavingFails()
    {
        const QDir dir(workDir.filePath(QStringLiteral("window")));
        QVERIFY(QDir().mkpath(dir.path()) && GatewayTest::installTemplates(dir));
        SGatewayConfig config;
        config.workDir = dir.path();
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        const quint16 modbusPort = GatewayTest::freePort();
        DB::SDeviceRegMapDescription sensor;
        sensor.devEui = QStringLiteral("70B3D5E75E0000A1");
        sensor.appEui = GatewayTest::TH_APP_EUI;
        sensor.name = QStringLiteral("boiler");
        sensor.startAddr = 100;
        sensor.registers = gateway.regMap(GatewayTest::TH_APP_EUI).registers;
        QVERIFY(gateway.addDevice(sensor, modbusPort).ok());
        MainWindow window(&gateway);
        QLabel *label = window.findChild<QLabel *>(QStringLiteral("storeStatusLab"));
        QVERIFY(label);
        QVERIFY(label->isHidden());

        const QString path = dir.filePath(DB_FILE_NAME);
        QCOMPARE(peerOn(path,
                     "CREATE TRIGGER refuse_update BEFORE UPDATE ON dev_data "
                     "BEGIN SELECT RAISE(ABORT, 'disk refuses'); END;"),
            QVariantList());
        // Temperature -10 (fff6) at register 106.
        QVERIFY(GatewayTest::writeFile(dir.filePath(QStringLiteral("devices.json")),
            QStringLiteral(R"([{"devEui":"%1","appEui":"%2","payload":"01f6ff58020e0b"}])")
                .arg(sensor.devEui, sensor.appEui)
                .toUtf8()));
        QProcess simulator;
        const quint16 serverPort = GatewayTest::startSimulator(simulator,
            { QStringLiteral("--devices"), dir.filePath(QStringLiteral("devices.json")), QStringLiteral("--rate"),
                QStringLiteral("20"), QStringLiteral("--duration"), QStringLiteral("30") });
        QVERIFY(serverPort);
        QSignalSpy status(&gateway, &CGateway::storeStatusChanged);
        SServerLogin login;
        login.host = QStringLiteral("127.0.0.1");
        login.port = QString::number(serverPort);
        login.login = GatewayTest::LOGIN;
        login.password = GatewayTest::PASSWORD;
        gateway.connectToServer(login, false);

        QVERIFY(status.wait(10000));
        QCOMPARE(status.first().at(0).toBool(), false);
        QTRY_VERIFY_WITH_TIMEOUT(!label->isHidden(), 5000);
        QVERIFY2(label->text().contains(QStringLiteral("disk refuses")), qPrintable(label->text()));

        QCOMPARE(peerOn(path, "DROP TRIGGER refuse_update;"), QVariantList());
        QVERIFY(QTest::qWaitFor([&] { return status.size() == 2; }, 10000));
        QCOMPARE(status.last().at(0).toBool(), true);
        QTRY_VERIFY_WITH_TIMEOUT(label->isHidden(), 5000);
        QCOMPARE(peerOn(path, "SELECT value FROM dev_data WHERE reg_addr=106;"), QVariantList { "fff6" });
        GatewayTest::stopProcess(simulator);
    }
};

QTEST_MAIN(TestStoreFailure)
#include "tst_storefailure.moc"
