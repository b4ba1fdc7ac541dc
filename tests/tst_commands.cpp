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

// The command line on a folder: devices added, removed, exported and imported all or nothing,
// wrong input refused before anything is written, templates listed and checked, the register map.
class TestCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        const QString missing = missingPrograms();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }

    // Commands leave the gateway's log as it was, but for one line per change they made.
    void commandsLogOnlyTheirChange()
    {
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        const quint16 port = freePort();
        const QList<QPair<QStringList, QString>> commands = {
            { addArguments(BOILER, QStringLiteral("boiler"), port, 0),
              QStringLiteral("INFO: [kelvara devices add] added %1 on port %2 from register 0").arg(BOILER).arg(port) },
            { { "devices", "list" }, QString() },
            { { "devices", "export", "--format", "json" }, QString() },
            { { "devices", "export", "--map" }, QString() },
            { { "templates", "list" }, QString() },
            { { "templates", "check" }, QString() },
            { { "devices", "remove", "--dev-eui", BOILER },
              QStringLiteral("INFO: [kelvara devices remove] removed %1 from port %2").arg(BOILER).arg(port) },
        };
        QStringList expected;
        for (const auto &command : commands) {
            QCOMPARE(kelvara(dir, command.first).exitCode, 0);
            if (!command.second.isEmpty())
                expected << command.second;
        }
        QFile log(QDir(dir).filePath(QStringLiteral("history.log")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(log.readAll());
        QVERIFY2(text.endsWith(QLatin1Char('\n')), qPrintable(text));
        QStringList lines = text.split(QLatin1Char('\n'));
        lines.removeLast();
        QCOMPARE(lines.size(), expected.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(lines.at(i).endsWith(QLatin1Char(']') + expected.at(i)), qPrintable(text));
    }

    void importIsAllOrNothing_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("reason");
        const QByteArray header = "dev_eui,name,template,port,start_address\n";
        QTest::newRow("unknown template") << header + "70B3D5E75E00C001,a,TH sensor,15601,0\n"
                                                      "70B3D5E75E00C002,b,Toaster,15601,20\n"
                                          << "row 3 (70B3D5E75E00C002): no template has dev_type \"Toaster\"";
        QTest::newRow("overlap inside the file") << header + "70B3D5E75E00C001,a,TH sensor,15601,0\n"
                                                             "70B3D5E75E00C002,b,TH sensor,15601,4\n"
                                                 << "row 3 (70B3D5E75E00C002): The registers overlap those of a "
                                                    "[70B3D5E75E00C001]";
        QTest::newRow("same DevEUI twice") << header + "70B3D5E75E00C001,a,TH sensor,15601,0\n"
                                                       "70b3d5e75e00c001,b,TH sensor,15602,0\n"
                                           << "row 3 (70b3d5e75e00c001): Device 70b3d5e75e00c001 is already registered";
        QTest::newRow("bad port") << header + "70B3D5E75E00C001,a,TH sensor,70000,0\n"
                                  << "row 2 (70B3D5E75E00C001): port 70000 is not 1-65535";
        QTest::newRow("bad DevEUI") << header + "70B3D5E75E00C0,a,TH sensor,15601,0\n"
                                    << "dev_eui is not 16 hex digits";
        QTest::newRow("wrong header") << QByteArray("eui,name\n70B3D5E75E00C001,a\n") << "the first row must be";
        QTest::newRow("bad JSON") << QByteArray("[{\"dev_eui\": ") << "is not a JSON list of devices";
        // A register's scaling that cannot be placed refuses the file instead of being dropped.
        const auto withScaling = [](const char *_register) {
            return QByteArray(R"([{"dev_eui": "70B3D5E75E00C001", "name": "a", "template": "TH sensor", "port": 15601,
                                   "start_address": 0, "registers": [{"name": "Temperature x0.1", "offset": 6,
                                   "multiplier": 1, "added_value": 0, "unit": ""}, )") + _register + "]}]";
        };
        QTest::newRow("scaling offset between registers")
            << withScaling(R"({"name": "Battery", "offset": -40.5, "multiplier": 2, "added_value": 1})")
            << "row 1 (70B3D5E75E00C001): registers: offset -40.5 names no register of template \"TH sensor\"";
        QTest::newRow("scaling offset past the map")
            << withScaling(R"({"offset": 99, "multiplier": 2})")
            << "row 1 (70B3D5E75E00C001): registers: offset 99 names no register of template \"TH sensor\"";
        QTest::newRow("scaling without offset")
            << withScaling(R"({"name": "Battery", "multiplier": 2})")
            << "registers: offset (none) names no register";
        QTest::newRow("scaling offset as text")
            << withScaling(R"({"name": "Battery", "offset": "8", "multiplier": 2})")
            << "registers: offset 8 names no register";
        QTest::newRow("scaling name and offset disagree")
            << withScaling(R"({"name": "Battery", "offset": 6, "multiplier": 2})")
            << "row 1 (70B3D5E75E00C001): registers: name \"Battery\" and offset 6 disagree";
    }
    void importIsAllOrNothing()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, reason);
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        const QString path = QDir(dir).filePath(QStringLiteral("import.csv"));
        QVERIFY(writeFile(path, file));
        const SRun run = kelvara(dir, { "devices", "import", path });
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(QString::fromUtf8(run.err).contains(reason), run.err.constData());
        const SRun list = kelvara(dir, { "devices", "list" });
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, QByteArray());
    }

    void exportThenImportGivesTheSameDevices_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<bool>("writable");
        QTest::newRow("csv") << "csv" << false;
        QTest::newRow("json") << "json" << false;
        QTest::newRow("csv, one device writable") << "csv" << true;
        QTest::newRow("json, one device writable") << "json" << true;
    }
    void exportThenImportGivesTheSameDevices()
    {
        QFETCH(QString, format);
        QFETCH(bool, writable);
        QTemporaryDir first;
        const QString from = makeFolder(first);
        QVERIFY(!from.isEmpty());
        const quint16 port = freePort();
        QCOMPARE(kelvara(from, addArguments(BOILER, QStringLiteral("boiler, \"north\""), port, 100)
                                   + (writable ? QStringList { "--writable" } : QStringList()))
                     .exitCode,
                 0);
        QCOMPARE(kelvara(from, addArguments(CELLAR, QStringLiteral("cellar"), port, 200)).exitCode, 0);
        const QString file = QDir(from).filePath(QStringLiteral("devices.") + format);
        const SRun exported = kelvara(from, { "devices", "export", "--format", format, file });
        QCOMPARE(exported.exitCode, 0);
        if (format == QLatin1String("csv")) {
            // Default settings export as they always have; a writable device brings the settings columns.
            const QString expected = writable
                ? QStringLiteral("dev_eui,name,template,port,start_address,unit_id,word_order,stale_after,"
                                 "stale_policy,writable\n"
                                 "%1,\"boiler, \"\"north\"\"\",TH sensor,%3,100,0,big,0,keep,true\n"
                                 "%2,cellar,TH sensor,%3,200,0,big,0,keep,false\n")
                : QStringLiteral("dev_eui,name,template,port,start_address\n"
                                 "%1,\"boiler, \"\"north\"\"\",TH sensor,%3,100\n"
                                 "%2,cellar,TH sensor,%3,200\n");
            QFile csv(file);
            QVERIFY(csv.open(QIODevice::ReadOnly));
            QCOMPARE(csv.readAll(), expected.arg(BOILER, CELLAR).arg(port).toUtf8());
        }

        QTemporaryDir second;
        const QString to = makeFolder(second);
        QVERIFY(!to.isEmpty());
        const SRun imported = kelvara(to, { "devices", "import", file });
        QCOMPARE(imported.exitCode, 0);
        QCOMPARE(imported.out, QByteArray("imported 2 devices\n"));
        const QByteArray listed = kelvara(to, { "devices", "list", "--json" }).out;
        QCOMPARE(listed.count("\"writable\": true"), writable ? 1 : 0);
        QCOMPARE(listed, kelvara(from, { "devices", "list", "--json" }).out);
        QCOMPARE(kelvara(to, { "devices", "export", "--format", "json" }).out,
                 kelvara(from, { "devices", "export", "--format", "json" }).out);
    }

    void commandsRefuseWrongInputWithoutWriting_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        QTest::newRow("unknown template") << QStringList { "devices", "add", "--dev-eui", BOILER, "--template", "X",
                                                           "--name", "n", "--port", "15700", "--start", "0" }
                                          << 1 << "no template has dev_type \"X\"";
        QTest::newRow("port 0") << addArguments(BOILER, "n", 0, 0) << 1 << "--port 0 is not a TCP port";
        QTest::newRow("map past 65535") << addArguments(BOILER, "n", 15700, 65530) << 1 << "0-65535";
        QTest::newRow("short DevEUI") << addArguments("70B3", "n", 15700, 0) << 1 << "is not 16 hex digits";
        QTest::newRow("missing option") << QStringList { "devices", "add", "--dev-eui", BOILER } << 2
                                        << "devices add needs --template";
        QTest::newRow("remove unknown") << QStringList { "devices", "remove", "--dev-eui", BOILER } << 1
                                        << "no device 70B3D5E75E00B001 is registered";
        QTest::newRow("unknown verb") << QStringList { "devices", "rename" } << 2 << "unknown command devices rename";
    }
    void commandsRefuseWrongInputWithoutWriting()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        const SRun run = kelvara(dir, arguments);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(run.err).contains(message), run.err.constData());
        QCOMPARE(kelvara(dir, { "devices", "list" }).out, QByteArray());
    }

    void templatesAreListedAndChecked()
    {
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        const SRun list = kelvara(dir, { "templates", "list" });
        QCOMPARE(list.exitCode, 0);
        QCOMPARE(list.out, QByteArray("4B454C5641524101  TH sensor\n4B454C5641524102  Pulse counter\n"));
        QCOMPARE(kelvara(dir, { "templates", "check" }).exitCode, 0);
        const QString broken = QDir(dir).filePath(QStringLiteral("broken.json"));
        QVERIFY(writeFile(broken, "{\"dev_type\": \"x\"}"));
        const SRun check = kelvara(dir, { "templates", "check", broken });
        QCOMPARE(check.exitCode, 1);
        QVERIFY2(check.err.startsWith(broken.toUtf8() + ": "), check.err.constData());
    }

    void registerMapExportEqualsExpectedFile()
    {
        QTemporaryDir work;
        const QString dir = makeFolder(work);
        QVERIFY(!dir.isEmpty());
        const quint16 port = freePort();
        // Two sensors at the same addresses of one port, told apart by their unit IDs.
        QCOMPARE(kelvara(dir, addArguments(BOILER, QStringLiteral("boiler"), port, 0)
                                  + QStringList { "--unit-id", "1", "--word-order", "little" })
                     .exitCode,
                 0);
        const SRun sameUnit = kelvara(dir, addArguments(CELLAR, QStringLiteral("cellar"), port, 0)
                                               + QStringList { "--unit-id", "1" });
        QCOMPARE(sameUnit.exitCode, 1);
        QVERIFY2(sameUnit.err.contains("overlap"), sameUnit.err.constData());
        const SRun badOrder = kelvara(dir, addArguments(CELLAR, QStringLiteral("cellar"), port, 0)
                                               + QStringList { "--unit-id", "2", "--word-order", "middle" });
        QCOMPARE(badOrder.exitCode, 1);
        QCOMPARE(kelvara(dir, addArguments(CELLAR, QStringLiteral("cellar"), port, 0)
                                  + QStringList { "--unit-id", "2", "--stale-after", "900", "--stale-policy", "exception" })
                     .exitCode,
                 0);
        const QString file = QDir(dir).filePath(QStringLiteral("map.csv"));
        QCOMPARE(kelvara(dir, { "devices", "export", "--map", file }).exitCode, 0);

        // The TH sensor's map as its README table gives it, once per unit.
        QString expected = QStringLiteral("port,unit_id,first_register,register,register_count,device,dev_eui,value,"
                                          "format,word_order,multiplier,added_value,unit\n");
        const QList<QStringList> values = {
            { "0", "40001", "2", "Received at", "uint32", "wide" },
            { "2", "40003", "1", "RSSI", "int16", "" },
            { "3", "40004", "1", "SNR", "int16", "" },
            { "4", "40005", "2", "Frame counter", "uint32", "wide" },
            { "6", "40007", "1", "Temperature x0.1", "int16", "" },
            { "7", "40008", "1", "Humidity x0.1", "uint16", "" },
            { "8", "40009", "1", "Battery", "uint16", "" },
        };
        for (const auto &device : { QStringList { "1", "boiler", BOILER, "little" }, QStringList { "2", "cellar", CELLAR, "big" } }) {
            for (const QStringList &value : values)
                expected += QStringList { QString::number(port), device.at(0), value.at(0), value.at(1), value.at(2),
                                          device.at(1), device.at(2), value.at(3), value.at(4),
                                          value.at(5).isEmpty() ? QString() : device.at(3), "1", "0", "" }
                                .join(QLatin1Char(','))
                    + QLatin1Char('\n');
        }
        QFile csv(file);
        QVERIFY(csv.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(csv.readAll()), expected);

        const SRun markdown = kelvara(dir, { "devices", "export", "--map", "--format", "md" });
        QCOMPARE(markdown.exitCode, 0);
        QVERIFY2(markdown.out.startsWith("| port | unit_id | first_register | register |"), markdown.out.constData());
        QVERIFY(markdown.out.contains(QStringLiteral("| %1 | 2 | 4 | 40005 | 2 | cellar | %2 | Frame counter | uint32 | big | 1 | 0 |  |")
                                          .arg(port)
                                          .arg(CELLAR)
                                          .toUtf8()));

        // The devices export carries the settings, and an import brings them back.
        const QString devices = QDir(dir).filePath(QStringLiteral("devices.csv"));
        QCOMPARE(kelvara(dir, { "devices", "export", devices }).exitCode, 0);
        QFile devicesCsv(devices);
        QVERIFY(devicesCsv.open(QIODevice::ReadOnly));
        const QString olderCsv = QStringLiteral(
            "dev_eui,name,template,port,start_address,unit_id,word_order,stale_after,stale_policy\n"
            "%1,boiler,TH sensor,%3,0,1,little,0,keep\n"
            "%2,cellar,TH sensor,%3,0,2,big,900,exception\n")
                                     .arg(BOILER, CELLAR)
                                     .arg(port);
        QCOMPARE(devicesCsv.readAll(),
                 QStringLiteral("dev_eui,name,template,port,start_address,unit_id,word_order,stale_after,stale_policy,"
                                "writable\n"
                                "%1,boiler,TH sensor,%3,0,1,little,0,keep,false\n"
                                "%2,cellar,TH sensor,%3,0,2,big,900,exception,false\n")
                     .arg(BOILER, CELLAR)
                     .arg(port)
                     .toUtf8());
        QTemporaryDir second;
        const QString to = makeFolder(second);
        QVERIFY(!to.isEmpty());
        QCOMPARE(kelvara(to, { "devices", "import", devices }).exitCode, 0);
        QCOMPARE(kelvara(to, { "devices", "export", "--map" }).out, kelvara(dir, { "devices", "export", "--map" }).out);
        QCOMPARE(kelvara(to, { "devices", "export", "--format", "json" }).out,
                 kelvara(dir, { "devices", "export", "--format", "json" }).out);

        // A file exported before devices could be writable imports as it always did.
        QTemporaryDir third;
        const QString older = makeFolder(third);
        QVERIFY(!older.isEmpty());
        QFile olderFile(QDir(older).filePath(QStringLiteral("older.csv")));
        QVERIFY(olderFile.open(QIODevice::WriteOnly) && olderFile.write(olderCsv.toUtf8()) > 0);
        olderFile.close();
        QCOMPARE(kelvara(older, { "devices", "import", olderFile.fileName() }).exitCode, 0);
        QCOMPARE(kelvara(older, { "devices", "export", "--format", "json" }).out,
                 kelvara(dir, { "devices", "export", "--format", "json" }).out);
    }
};

QTEST_GUILESS_MAIN(TestCommands)
#include "tst_commands.moc"
