#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>

#include <sys/resource.h>

#include "app/clogfile.h"
#include "app/timetext.h"
#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "gateway/cgateway.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "store/chistoryreader.h"
#include "store/chistorystore.h"
#include "store/storecolumns.h"
#include "testworkdir.h"

// The history file on its own: what the decoder hands it, what it keeps, what it prunes,
// what it does with a file that is not its own.

namespace {

const QString DEV_EUI = QStringLiteral("70B3D5E75E00A001");
const qint64 DAY_MS = 24 * 3600 * 1000;

SDeviceRegData uplinkAt(const QString &_devEui, qint64 _timeMs, const QVector<SHistoryValue> &_values)
{
    SDeviceRegData data;
    data.devEui = _devEui;
    data.receivedMs = _timeMs;
    data.values = _values;
    return data;
}

// Rows of the file as another program sees them.
qint64 peerCount(const QString &_path, const QString &_sql)
{
    qint64 count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peer"));
        db.setDatabaseName(_path);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec(_sql) && query.next())
                count = query.value(0).toLongLong();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peer"));
    return count;
}

QVector<SHistorySample> readBack(const QString &_path, const QString &_devEui, const QString &_name = QString(),
    qint64 _from = 0, qint64 _to = std::numeric_limits<qint64>::max())
{
    CHistoryReader reader(_path);
    QString error;
    QVector<SHistorySample> samples;
    if (!reader.open(&error) || !reader.samples(_devEui, _name, _from, _to, &samples, &error))
        qWarning() << error;
    return samples;
}

} // namespace

class TestHistory : public QObject
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
        logSpy = std::make_unique<QSignalSpy>(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    }

    void init()
    {
        logSpy->clear();
        for (const QString &name : QDir().entryList({ QStringLiteral("history.db*") }, QDir::Files))
            QFile::remove(name);
    }

    // Each value of a decoded uplink becomes a row, scaled as its registers hold it; a refused
    // uplink leaves none.
    void decodedValuesAreKeptRefusedNot()
    {
        const SDeviceTemplate sensor
            = loadTemplateFile(QStringLiteral(KELVARA_SOURCE_DIR "/examples"), QStringLiteral("th-sensor.json"));
        QVERIFY(sensor.valid);
        DB::SDeviceRegMapDescription device;
        device.devEui = DEV_EUI;
        device.startAddr = 100;
        // Battery in volts as its register holds it: 3012 * 2 + 5; the others unscaled.
        const CRegisterScaling params({ SRegisterScale { 108, 5, 2, QStringLiteral("mV") } });
        API::SApiDeviceData first;
        first.devEui = DEV_EUI;
        first.data = QByteArray::fromHex("01d700c401c40b");
        API::SApiDeviceData refused = first;
        refused.data = QByteArray::fromHex("01d700c4");
        API::SApiDeviceData second = first;
        second.data = QByteArray::fromHex("0147ff2c03ab0b");
        const qint64 base = CManualClock::EPOCH_START_MS;
        QList<SDeviceRegData> batch;
        batch << decodeUplink(first, sensor, device, params, SDeviceCounters(), base + 1000).data
              << decodeUplink(refused, sensor, device, params, SDeviceCounters(), base + 2000).data
              << decodeUplink(second, sensor, device, params, SDeviceCounters(), base + 3000).data;

        CManualClock clock;
        CHistoryStore history(
            QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        history.stage(batch);
        history.writeStaged();

        const QVector<SHistorySample> samples = readBack(QStringLiteral("history.db"), DEV_EUI.toLower());
        QStringList rows;
        for (const SHistorySample &sample : samples)
            rows << QStringLiteral("%1 %2=%3%4")
                        .arg(sample.timeMs - base)
                        .arg(sample.name)
                        .arg(sample.value)
                        .arg(sample.unit);
        QCOMPARE(rows,
            (QStringList { "1000 Temperature x0.1=215", "1000 Humidity x0.1=452", "1000 Battery=6029mV",
                "3000 Temperature x0.1=-185", "3000 Humidity x0.1=812", "3000 Battery=5979mV" }));
        CHistoryReader reader(QStringLiteral("history.db"));
        QString error;
        QVERIFY(reader.open(&error));
        const QVector<SHistoryValueName> names = reader.valueNames(DEV_EUI);
        QCOMPARE(names.size(), 3);
        QCOMPARE(names.at(2).name, QStringLiteral("Battery"));
        QCOMPARE(names.at(2).unit, QStringLiteral("mV"));
    }

    // A week of one-minute rows asked for as fewer points: buckets of equal width from the
    // range's start, each with the min, max and mean of its rows, worked out by hand.
    void bucketsOfALongRange_data()
    {
        QTest::addColumn<int>("points");
        QTest::addColumn<QString>("expected");
        // Rows at minute m = 0..10079 of value m % 60 (a saw tooth of one hour).
        // 10,080 points or more: every row as it is.
        QTest::newRow("all rows") << 10080 << "10080 rows; first 0 0/0/0; last 604740000 59/59/59";
        // 168 points: 10,080 min / 168 = one hour per bucket, each 0..59: mean 29.5.
        QTest::newRow("hours") << 168 << "168 buckets; first 0 0/59/29.5; last 601200000 0/59/29.5";
        // 1,000 points: width ceil(604,800,000 / 1000) = 604,800 ms = 10.08 minutes; the first
        // bucket holds minutes 0..10 (values 0..10, mean 5), the last starts at 999 x 604,800 =
        // 604,195,200 ms (minute 10,069.92) and holds minutes 10,070..10,079 (values 50..59).
        QTest::newRow("1000 points") << 1000 << "1000 buckets; first 0 0/10/5; last 604195200 50/59/54.5";
    }
    void bucketsOfALongRange()
    {
        QFETCH(int, points);
        QFETCH(QString, expected);
        CManualClock clock;
        SHistorySettings settings;
        settings.keepDays = 3650;
        CHistoryStore history(QStringLiteral("history.db"), settings, &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        const qint64 start = clock.epochMs() - 8 * DAY_MS;
        QList<SDeviceRegData> batch;
        for (int m = 0; m < 10080; ++m)
            batch << uplinkAt(DEV_EUI, start + m * 60000LL, { { QStringLiteral("Level"), double(m % 60), "cm" } });
        history.stage(batch);
        history.writeStaged();

        CHistoryReader reader(QStringLiteral("history.db"));
        QString error;
        QVERIFY(reader.open(&error));
        SHistorySeries series;
        QVERIFY2(
            reader.series(DEV_EUI, QStringLiteral("Level"), start, start + 7 * DAY_MS - 1, points, &series, &error),
            qPrintable(error));
        QCOMPARE(series.unit, QStringLiteral("cm"));
        const auto text = [start](const SHistoryPoint &_point) {
            return QStringLiteral("%1 %2/%3/%4")
                .arg(_point.timeMs - start)
                .arg(_point.min)
                .arg(_point.max)
                .arg(_point.mean);
        };
        QCOMPARE(QStringLiteral("%1 %2; first %3; last %4")
                     .arg(series.points.size())
                     .arg(series.bucketed ? "buckets" : "rows")
                     .arg(text(series.points.first()), text(series.points.last())),
            expected);
    }

    // Rows older than keep_days go, a step at a time, the newer stay.
    void pruningByAge()
    {
        CManualClock clock;
        SHistorySettings settings;
        settings.keepDays = 2;
        CHistoryStore history(QStringLiteral("history.db"), settings, &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        const qint64 now = clock.epochMs();
        QList<SDeviceRegData> batch;
        // 3,000 rows 3 days old, then 10 an hour old.
        for (int i = 0; i < 3000; ++i)
            batch << uplinkAt(DEV_EUI, now - 3 * DAY_MS + i, { { QStringLiteral("Level"), 1.0, "" } });
        for (int i = 0; i < 10; ++i)
            batch << uplinkAt(DEV_EUI, now - 3600000 + i, { { QStringLiteral("Level"), 2.0, "" } });
        history.stage(batch);
        history.writeStaged();
        // Each write deletes at most a few steps: more writes finish the job.
        for (int i = 0; i < 100 && readBack(QStringLiteral("history.db"), DEV_EUI).size() > 10; ++i)
            history.writeStaged();
        const QVector<SHistorySample> kept = readBack(QStringLiteral("history.db"), DEV_EUI);
        QCOMPARE(kept.size(), 10);
        QCOMPARE(kept.first().timeMs, now - 3600000);
        // Two days on, the newer rows are due as well.
        clock.advance(2 * DAY_MS);
        for (int i = 0; i < 10 && !readBack(QStringLiteral("history.db"), DEV_EUI).isEmpty(); ++i)
            history.writeStaged();
        QVERIFY(readBack(QStringLiteral("history.db"), DEV_EUI).isEmpty());
    }

    // At max_mb the oldest rows go first; the file's used size settles at the cap.
    void pruningBySize()
    {
        CManualClock clock;
        SHistorySettings settings;
        settings.maxMb = 1;
        CHistoryStore history(QStringLiteral("history.db"), settings, &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        const qint64 now = clock.epochMs();
        QVector<SHistoryValue> values;
        for (int k = 0; k < 10; ++k)
            values.append({ QStringLiteral("V%1").arg(k), double(k), QString() });
        // About 110 bytes an uplink: 30,000 of them take some 3 MB.
        for (int round = 0; round < 10; ++round) {
            QList<SDeviceRegData> batch;
            for (int i = 0; i < 3000; ++i)
                batch << uplinkAt(DEV_EUI, now - 30000 + round * 3000 + i, values);
            history.stage(batch);
            history.writeStaged();
        }
        for (int i = 0; i < 1000 && history.usedBytes() > 1024 * 1024; ++i)
            history.writeStaged();
        QVERIFY2(history.usedBytes() <= 1024 * 1024, qPrintable(QString::number(history.usedBytes())));
        const QVector<SHistorySample> kept = readBack(QStringLiteral("history.db"), DEV_EUI, QStringLiteral("V3"));
        QVERIFY(kept.size() > 1000 && kept.size() < 30000);
        // The newest are all there, without a gap; the oldest are gone.
        QCOMPARE(kept.last().timeMs, now - 1);
        QCOMPARE(kept.first().timeMs, now - kept.size());
    }

    void restartKeepsHistory()
    {
        CManualClock clock;
        {
            CHistoryStore history(
                QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
            QVERIFY(history.open());
            history.stage({ uplinkAt(DEV_EUI, clock.epochMs() - 5000, { { QStringLiteral("Level"), 4.5, "m" } }) });
            history.writeStaged();
        }
        CHistoryStore again(QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(again.open());
        again.stage({ uplinkAt(DEV_EUI, clock.epochMs(), { { QStringLiteral("Level"), 4.75, "m" } }) });
        again.writeStaged();
        const QVector<SHistorySample> kept = readBack(QStringLiteral("history.db"), DEV_EUI);
        QCOMPARE(kept.size(), 2);
        QCOMPARE(kept.at(0).value, 4.5);
        QCOMPARE(kept.at(1).value, 4.75);
        QVERIFY(logLines(QStringLiteral("CHistoryStore")).isEmpty());
    }

    // Not a database, or a database of another program: moved aside, a new history begins.
    void foreignOrDamagedFileIsMovedAside_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("why");
        QTest::newRow("text") << QByteArray(8192, 'x') << "cannot be read";
        QTest::newRow("another program's") << QByteArray() << "is not Kelvara's history";
    }
    void foreignOrDamagedFileIsMovedAside()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, why);
        if (content.isEmpty()) {
            QCOMPARE(peerCount(QStringLiteral("history.db"), "CREATE TABLE notes (text TEXT)"), -1);
            QCOMPARE(peerCount(QStringLiteral("history.db"), "SELECT count(*) FROM notes"), 0);
        } else {
            QFile file(QStringLiteral("history.db"));
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
        }
        CManualClock clock;
        CHistoryStore history(
            QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        // 2023-11-14 22:13:20 UTC, the manual clock's start.
        const QString aside = QStringLiteral("history.db.damaged-20231114-221320");
        QVERIFY(QFile::exists(aside));
        QCOMPARE(QFileInfo(aside).size() >= content.size(), true);
        const QStringList lines = logLines(QStringLiteral("moved aside as ") + aside);
        QVERIFY2(lines.size() == 1 && lines.first().contains(why),
            qPrintable(logSpy->isEmpty() ? QString() : logSpy->last().at(0).toString()));
        history.stage({ uplinkAt(DEV_EUI, clock.epochMs(), { { QStringLiteral("Level"), 1.0, "" } }) });
        history.writeStaged();
        QCOMPARE(readBack(QStringLiteral("history.db"), DEV_EUI).size(), 1);
        QFile::remove(aside);
    }

    // A device removed: its values vanish for readers at once, its rows in later steps.
    void removedDeviceKeepsNoHistory()
    {
        CManualClock clock;
        CHistoryStore history(
            QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        const QString other = QStringLiteral("70B3D5E75E00A002");
        QList<SDeviceRegData> batch;
        for (int i = 0; i < 2000; ++i)
            batch << uplinkAt(
                i % 2 ? DEV_EUI : other, clock.epochMs() - 10000 + i, { { QStringLiteral("Level"), 1.0, "" } });
        history.stage(batch);
        history.writeStaged();
        history.keepDevices({ other.toLower() });
        QVERIFY(readBack(QStringLiteral("history.db"), DEV_EUI).isEmpty());
        QCOMPARE(readBack(QStringLiteral("history.db"), other).size(), 1000);
        // Each step deletes what a few milliseconds allow; the device is forgotten in the step that finds none left.
        const auto pruned = [] {
            return peerCount(QStringLiteral("history.db"), "SELECT count(*) FROM uplinks") <= 1000
                && peerCount(QStringLiteral("history.db"), "SELECT count(*) FROM dropped") == 0;
        };
        for (int i = 0; i < 100 && !pruned(); ++i)
            history.writeStaged();
        QCOMPARE(peerCount(QStringLiteral("history.db"), "SELECT count(*) FROM uplinks"), 1000);
        QCOMPARE(peerCount(QStringLiteral("history.db"), "SELECT count(*) FROM dropped"), 0);
        // Coming back, the device starts a new history.
        history.stage({ uplinkAt(DEV_EUI, clock.epochMs(), { { QStringLiteral("Level"), 3.0, "" } }) });
        history.writeStaged();
        QCOMPARE(readBack(QStringLiteral("history.db"), DEV_EUI).size(), 1);
    }

    // The whole road: a gateway started on a damaged history.db moves it aside, serves Modbus
    // from the start, and keeps every value of the uplinks it decodes in the new file.
    void gatewayMovesDamagedFileAsideAndKeepsServing()
    {
        const QString mbpoll = PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
        QVERIFY2(mbpoll.isEmpty(), qPrintable(mbpoll));
        const QDir folder(workDir.filePath(QStringLiteral("gateway")));
        QVERIFY(QDir().mkpath(folder.path()) && GatewayTest::installTemplates(folder));
        QVERIFY(GatewayTest::writeFile(folder.filePath(QStringLiteral("history.db")), QByteArray(4096, 'x')));
        QVERIFY(GatewayTest::writeFile(folder.filePath(QStringLiteral("devices.json")),
            QStringLiteral(R"([{"devEui":"%1","devName":"th","appEui":"%2","payload":"01d700c401c40b"}])")
                .arg(DEV_EUI, GatewayTest::TH_APP_EUI)
                .toUtf8()));
        QProcess simulator;
        const quint16 serverPort = GatewayTest::startSimulator(simulator,
            { "--devices", folder.filePath(QStringLiteral("devices.json")), "--rate", "50", "--duration", "30" });
        QVERIFY(serverPort);
        SGatewayConfig config;
        config.workDir = folder.path();
        config.modbusBind = QHostAddress::LocalHost;
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        QCOMPARE(logLines(QStringLiteral("moved aside as ")).size(), 1);
        const quint16 port = GatewayTest::freePort();
        DB::SDeviceRegMapDescription device;
        device.devEui = DEV_EUI;
        device.appEui = GatewayTest::TH_APP_EUI;
        device.name = QStringLiteral("th");
        device.registers = gateway.regMap(GatewayTest::TH_APP_EUI).registers;
        QVERIFY(gateway.addDevice(device, port).ok());
        QSignalSpy decoded(&gateway, &CGateway::newDataForDevice);
        SServerLogin login;
        login.host = QStringLiteral("127.0.0.1");
        login.port = QString::number(serverPort);
        login.login = GatewayTest::LOGIN;
        login.password = GatewayTest::PASSWORD;
        gateway.connectToServer(login, false);
        QVERIFY(QTest::qWaitFor([&] { return decoded.size() >= 3; }, 15000));
        gateway.flushUplinks();
        QCOMPARE(GatewayTest::readWithMbpoll(port, 6, 3), (QMap<int, int> { { 6, 215 }, { 7, 452 }, { 8, 3012 } }));
        const QVector<SHistorySample> samples = readBack(gateway.historyFile(), DEV_EUI);
        QVERIFY(samples.size() >= 9 && samples.size() % 3 == 0);
        for (int i = 0; i < samples.size(); i += 3) {
            QCOMPARE(samples.at(i).name, QStringLiteral("Temperature x0.1"));
            QCOMPARE(samples.at(i).value, 215.0);
            QCOMPARE(samples.at(i + 1).value, 452.0);
            QCOMPARE(samples.at(i + 2).value, 3012.0);
        }
        GatewayTest::stopProcess(simulator);
        // Removed, the device's values are gone from the history.
        const QVector<QSqlRecord> rows = gateway.devices(QString());
        QCOMPARE(rows.size(), 1);
        QVERIFY(gateway.removeDevice(rows.first().value(DEV_COL_DEVICE).toUInt(), DEV_EUI, port).ok());
        QVERIFY(readBack(gateway.historyFile(), DEV_EUI).isEmpty());
    }

    // The command line's rows, with a gateway's history store writing the file meanwhile and
    // after it is gone.
    void commandLineWritesRows_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        const QString eui = DEV_EUI.toLower();
        // 2023-11-14 22:13:20 UTC is the manual clock's start: 1700000000 s.
        QTest::newRow("range, every value")
            << QStringList { "--dev-eui", eui, "--from", "2023-11-14T22:00:00Z", "--to", "1700000000" } << 0
            << "time,value_name,value,unit\n"
               "2023-11-14T22:03:20.000Z,Level,1.5,m\n"
               "2023-11-14T22:03:20.000Z,\"Flow, in\",-20,\"l/h \"\"A\"\"\"\n"
               "2023-11-14T22:13:20.000Z,Level,2.25,m\n"
               "2023-11-14T22:13:20.000Z,\"Flow, in\",0,\"l/h \"\"A\"\"\"\n";
        QTest::newRow("one value, a zone") << QStringList { "--dev-eui", eui, "--value", "Level", "--from",
            "2023-11-14T23:05:00+01:00", "--to", "1700000000" }
                                           << 0
                                           << "time,value_name,value,unit\n"
                                              "2023-11-14T22:13:20.000Z,Level,2.25,m\n";
        QTest::newRow("a day back from --to")
            << QStringList { "--dev-eui", eui, "--value", "Level", "--to", "1699999800" } << 0
            << "time,value_name,value,unit\n"
               "2023-11-14T21:13:20.000Z,Level,1,m\n"
               "2023-11-14T22:03:20.000Z,Level,1.5,m\n";
        QTest::newRow("json") << QStringList { "--dev-eui", eui, "--value", "Level", "--from", "1700000000", "--to",
            "1700000000", "--format", "json" }
                              << 0
                              << "[\n    {\n        \"time\": \"2023-11-14T22:13:20.000Z\",\n        \"unit\": \"m\",\n"
                                 "        \"value\": 2.25,\n        \"value_name\": \"Level\"\n    }\n]\n";
        QTest::newRow("unknown value") << QStringList { "--dev-eui", eui, "--value", "Depth" } << 1 << "";
        QTest::newRow("unknown device") << QStringList { "--dev-eui", "70B3D5E75E00FFFF" } << 1 << "";
        QTest::newRow("since and from") << QStringList { "--dev-eui", eui, "--since", "1h", "--from", "0" } << 2 << "";
        QTest::newRow("bad time") << QStringList { "--dev-eui", eui, "--from", "yesterday" } << 2 << "";
    }
    void commandLineWritesRows()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        const QDir folder(workDir.filePath(QStringLiteral("command")));
        QVERIFY(QDir().mkpath(folder.path()));
        QFile::remove(folder.filePath(QStringLiteral("history.db")));
        CManualClock clock;
        auto writer = std::make_unique<CHistoryStore>(folder.filePath(QStringLiteral("history.db")), SHistorySettings(),
            &clock, CLogFile::getInstance(QString()));
        QVERIFY(writer->open());
        const qint64 now = clock.epochMs();
        const QString flow = QStringLiteral("Flow, in");
        const QString flowUnit = QStringLiteral("l/h \"A\"");
        writer->stage({ uplinkAt(DEV_EUI, now - 3600000, { { QStringLiteral("Level"), 1.0, "m" } }),
            uplinkAt(DEV_EUI, now - 600000, { { QStringLiteral("Level"), 1.5, "m" }, { flow, -20, flowUnit } }),
            uplinkAt(DEV_EUI, now, { { QStringLiteral("Level"), 2.25, "m" }, { flow, 0, flowUnit } }),
            uplinkAt(QStringLiteral("70B3D5E75E00A0FF"), now, { { QStringLiteral("Level"), 9.0, "m" } }) });
        writer->writeStaged();
        for (int run = 0; run < 2; ++run) {
            // The second time no gateway has the file open.
            if (run == 1)
                writer.reset();
            QProcess command;
            command.start(GatewayTest::gatewayProgram(),
                QStringList { "history" } + arguments + QStringList { "--workdir", folder.path() });
            QVERIFY(command.waitForFinished(10000));
            const QString errors = QString::fromUtf8(command.readAllStandardError());
            QVERIFY2(command.exitCode() == exitCode, qPrintable(errors));
            QCOMPARE(QString::fromUtf8(command.readAllStandardOutput()), output);
            if (exitCode != 0)
                QVERIFY(errors.startsWith(QStringLiteral("kelvara history: ")));
        }
    }

    // A disk that takes no more bytes (here: the process's file size limit) pauses the history,
    // said once however many writes fail; it writes again by itself once bytes fit again.
    void refusingDiskPausesAndResumes()
    {
        CManualClock clock;
        CHistoryStore history(
            QStringLiteral("history.db"), SHistorySettings(), &clock, CLogFile::getInstance(QString()));
        QVERIFY(history.open());
        const auto uplinks = [&clock](int _count, double _value) {
            QList<SDeviceRegData> batch;
            for (int i = 0; i < _count; ++i)
                batch << uplinkAt(DEV_EUI, clock.epochMs() - _count + i, { { QStringLiteral("Level"), _value, "" } });
            return batch;
        };
        history.stage(uplinks(10, 1));
        history.writeStaged();
        rlimit before {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &before), 0);
        // Past the limit a write fails (EFBIG) instead of raising SIGXFSZ.
        const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit tight = before;
        tight.rlim_cur = 64 * 1024;
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &tight), 0);
        for (int i = 0; i < 5; ++i) {
            if (i > 0)
                clock.advance(CHistoryStore::RETRY_MS);
            history.stage(uplinks(5000, 2));
            history.writeStaged();
        }
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &before), 0);
        std::signal(SIGXFSZ, previousHandler);
        QVERIFY(!history.isWriting());
        QVERIFY2(logLines(QStringLiteral("History paused")).size() == 1,
            qPrintable(logLines(QStringLiteral("History paused")).join(QLatin1Char(10))));
        // Before the retry time nothing is tried; then the next write goes through.
        history.stage(uplinks(1, 3));
        history.writeStaged();
        QVERIFY(!history.isWriting());
        clock.advance(CHistoryStore::RETRY_MS);
        history.stage(uplinks(1, 4));
        history.writeStaged();
        QVERIFY(history.isWriting());
        QCOMPARE(logLines(QStringLiteral("History is written again")).size(), 1);
        const QVector<SHistorySample> kept = readBack(QStringLiteral("history.db"), DEV_EUI);
        QCOMPARE(kept.first().value, 1.0);
        QCOMPARE(kept.last().value, 4.0);
    }

    void offWritesNoFile()
    {
        CManualClock clock;
        SHistorySettings off;
        off.keepDays = 0;
        CHistoryStore history(QStringLiteral("history.db"), off, &clock, CLogFile::getInstance(QString()));
        QVERIFY(!history.open());
        history.stage({ uplinkAt(DEV_EUI, clock.epochMs(), { { QStringLiteral("Level"), 1.0, "" } }) });
        history.writeStaged();
        QVERIFY(!QFile::exists(QStringLiteral("history.db")));
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
