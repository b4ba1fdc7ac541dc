#include <QDir>
#include <QColor>
#include <QFile>
#include <QtTest>

#include "templatetestsupport.h"
#include "workedexample.h"

// Loading templates from the folder: the worked example, files refused and why, the scan.
class TestTemplates : public CTemplateTestCase
{
    Q_OBJECT

private slots:
    void initTestCase() { startLog(); }
    void init() { enterFreshFolder(); }
    void cleanup() { leaveFolder(); }

    // ---- The worked example ----

    void workedExampleLoadsUnderUpperCaseKey()
    {
        QVERIFY(writeFile("meter.json", workedExampleTemplate));
        TestHandler handler;
        QCOMPARE(handler.loaded().keys(), QStringList { "0A0B0C0D01020304" });
        QVERIFY(logged("Device [0A0B0C0D01020304] inited SUCCESSULLY"));

        const SDeviceTemplateInfo info = handler.getTemplateInfo("0A0B0C0D01020304");
        QCOMPARE(info.appEui, QString("0A0B0C0D01020304"));
        QCOMPARE(info.devType, QString("Meter"));
        QCOMPARE(QColor(info.color), QColor(0x94, 0x99, 0x9d));
    }

    void workedExampleRegisterMap()
    {
        QVERIFY(writeFile("meter.json", workedExampleTemplate));
        TestHandler handler;
        const SDeviceRegMap map = handler.getRegMapDescription("0A0B0C0D01020304");
        QCOMPARE(map.appEui, QString("0A0B0C0D01020304"));
        QCOMPARE(map.registers.size(), 2);
        const SRegisterDescription time = map.registers.at(0);
        QCOMPARE(time.name, QString("Time"));
        QCOMPARE(time.source, 0);
        QCOMPARE(time.offset, 0);
        QCOMPARE(time.bitSize, 32);
        QCOMPARE(time.dataType, QString("uinteger"));
        QCOMPARE(time.startValue, 0);
        QCOMPARE(time.gratingPeriod, 1);
        QVERIFY(time.unit.isEmpty());
        const SRegisterDescription counter = map.registers.at(1);
        QCOMPARE(counter.name, QString("Counter"));
        QCOMPARE(counter.source, 1);
        QCOMPARE(counter.offset, 2);
        QCOMPARE(counter.bitSize, 32);
        QCOMPARE(counter.dataType, QString("uinteger"));
    }

    void unknownAppEuiQueries()
    {
        QVERIFY(writeFile("meter.json", workedExampleTemplate));
        TestHandler handler;
        const SDeviceTemplateInfo info = handler.getTemplateInfo("FFFFFFFFFFFFFFFF");
        QVERIFY(info.appEui.isEmpty());
        QVERIFY(info.devType.isEmpty());
        QVERIFY(!QColor(info.color).isValid());
        const SDeviceRegMap map = handler.getRegMapDescription("FFFFFFFFFFFFFFFF");
        QVERIFY(map.appEui.isEmpty());
        QVERIFY(map.registers.isEmpty());
    }

    void templateListAscendingAppEui()
    {
        QVERIFY(writeFile("a.json", templateWith("cc00000000000000", "Third", "[" + packetOf(1, 3) + "]")));
        QVERIFY(writeFile("b.json", templateWith("aa00000000000000", "First", "[" + packetOf(1, 3) + "]")));
        QVERIFY(writeFile("c.json", templateWith("bb00000000000000", "Second", "[" + packetOf(1, 3) + "]")));
        TestHandler handler;
        const QList<SDeviceTemplateInfo> list = handler.getTemplateList();
        QCOMPARE(list.size(), 3);
        QCOMPARE(list.at(0).devType, QString("First"));
        QCOMPARE(list.at(1).devType, QString("Second"));
        QCOMPARE(list.at(2).devType, QString("Third"));
    }

    // ---- Directory scan ----

    void missingDirectory()
    {
        const QString message("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        QVERIFY(logged(message));
    }

    void directoryWithoutJsonFiles()
    {
        QVERIFY(writeFile("readme.txt", "not a template"));
        QVERIFY(QDir(DEVICE_FOLDER).mkdir("folder.json")); // directories are not templates
        const QString message("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        QVERIFY(logged(message));
    }

    void invalidJsonIsLoggedWithPathErrorAndOffset()
    {
        const QByteArray broken = "{ \"app_eui\": }";
        QVERIFY(writeFile("broken.json", broken));
        QVERIFY(writeFile("meter.json", workedExampleTemplate));
        QJsonParseError qtError;
        QJsonDocument::fromJson(broken, &qtError);
        QVERIFY(qtError.error != QJsonParseError::NoError);

        TestHandler handler;
        const QString path = QDir::currentPath() + "/deviceFolder/broken.json";
        QVERIFY2(logged(QString("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]")
                            .arg(path, qtError.errorString())
                            .arg(qtError.offset)),
                 qPrintable(logLines().join('\n')));
        // A bad file does not stop the scan.
        QCOMPARE(handler.loaded().keys(), QStringList { "0A0B0C0D01020304" });
    }

    void missingFileIsLogged()
    {
        QVERIFY(QDir().mkpath(DEVICE_FOLDER));
        QVERIFY(!loadTemplateFile(QDir::currentPath() + "/deviceFolder", "gone.json", TestHandler::loggingContext()).valid);
        QVERIFY(logged("File [gone.json] is not exist"));
    }

    void unreadableFileIsLogged()
    {
        QVERIFY(QDir().mkpath(DEVICE_FOLDER + "/locked.json"));
        QVERIFY(!loadTemplateFile(QDir::currentPath() + "/deviceFolder", "locked.json", TestHandler::loggingContext()).valid);
        QVERIFY(logged("File [locked.json] is not opened"));
    }

    // A file without a required key loads nothing and says so once, at WARNING, in the words
    // `templates check` prints.
    void missingRequiredKeyIsLoggedOnce_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("no dev_type") << QByteArray(R"({"app_eui": "0A0B0C0D01020399", "device_packets": [
            {"packet_type": 1, "packet_size": 2, "packet_fields": [{"packet_bias": 1, "data_bit_bias": 0,
             "data_bit_size": 8, "data_type": "uinteger", "reg_map_bias": 0, "reg_bit_bias": 0,
             "reg_bit_size": 16, "data_name": "Level"}]}]})");
        QTest::newRow("no app_eui") << QByteArray(R"({"dev_type": "Meter", "device_packets": []})");
        QTest::newRow("no packets") << QByteArray(R"({"app_eui": "0A0B0C0D01020399", "dev_type": "Meter"})");
        QTest::newRow("empty object") << QByteArray("{}");
    }
    void missingRequiredKeyIsLoggedOnce()
    {
        QFETCH(QByteArray, json);
        QVERIFY(writeFile("incomplete.json", json));
        QVERIFY(!loadTemplateFile(QDir::currentPath() + "/deviceFolder", "incomplete.json", TestHandler::loggingContext()).valid);
        const QString line = QStringLiteral("WARNING: [CAllDeviceHandler] Template file [incomplete.json] skipped: ")
            + checkTemplateFile(QDir::currentPath() + "/deviceFolder", "incomplete.json").value(0).text;
        QCOMPARE(logLines().filter(QStringLiteral("incomplete.json")).size(), 1);
        QVERIFY2(logged(line), qPrintable(logLines().join('\n')));
    }

    void fileSizeLimit_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("loads");
        QTest::newRow("exactly 1 MiB loads") << qint64(1024 * 1024) << true;
        QTest::newRow("1 MiB and a byte is skipped") << qint64(1024 * 1024 + 1) << false;
    }

    void fileSizeLimit()
    {
        QFETCH(qint64, size);
        QFETCH(bool, loads);
        // A valid template padded with spaces to the size.
        QByteArray content = templateWith("aa00000000000000", "Padded", "[" + packetOf(1, 3) + "]");
        content.append(QByteArray(int(size - content.size()), ' '));
        QVERIFY(writeFile("padded.json", content));
        QVERIFY(writeFile("small.json", templateWith("bb00000000000000", "Small", "[" + packetOf(1, 3) + "]")));
        TestHandler handler;
        QCOMPARE(handler.loaded().contains("AA00000000000000"), loads);
        QVERIFY(handler.loaded().contains("BB00000000000000")); // the scan goes on
        const QString skipped = QStringLiteral(
            "WARNING: [CAllDeviceHandler] File [padded.json] of [%1] bytes is larger than [1048576] bytes, skipped")
                                    .arg(size);
        QCOMPARE(logged(skipped), !loads);
        if (!loads) {
            const QList<STemplateProblem> problems = checkTemplateFile(QDir::currentPath() + "/deviceFolder", "padded.json");
            QCOMPARE(problems.size(), 1);
            QCOMPARE(problems.at(0).text, skipped);
        }
    }

    void sameAppEuiInOtherCaseKeepsFirstByName()
    {
        QVERIFY(writeFile("b_second.json", templateWith("AABBCCDD00112233", "Second", "[" + packetOf(1, 3) + "]")));
        QVERIFY(writeFile("a_first.json", templateWith("aabbccdd00112233", "First", "[" + packetOf(1, 3) + "]")));
        TestHandler handler;
        QCOMPARE(handler.loaded().size(), 1);
        QCOMPARE(handler.getTemplateInfo("AABBCCDD00112233").devType, QString("First"));
        QVERIFY(logged("Device [AABBCCDD00112233] inited SUCCESSULLY"));
        QVERIFY(logged("Device [AABBCCDD00112233] already inited. Skip"));
    }

    void repeatedScanOnlyAddsNewAppEuis()
    {
        QVERIFY(writeFile("a.json", templateWith("aa00000000000000", "Old", "[" + packetOf(1, 3) + "]")));
        TestHandler handler;
        QVERIFY(writeFile("a.json", templateWith("aa00000000000000", "Changed", "[" + packetOf(1, 3) + "]")));
        QVERIFY(writeFile("b.json", templateWith("bb00000000000000", "New", "[" + packetOf(1, 3) + "]")));
        handler.rescan();
        QCOMPARE(handler.loaded().size(), 2);
        QCOMPARE(handler.getTemplateInfo("AA00000000000000").devType, QString("Old"));
        QCOMPARE(handler.getTemplateInfo("BB00000000000000").devType, QString("New"));
    }

    void invalidTemplateIsDroppedSilentlyByTheScan()
    {
        QVERIFY(writeFile("empty.json", "{}"));
        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Empty input JSON");
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        for (const QString &line : logLines())
            QVERIFY2(!line.contains("Device ["), qPrintable(line));
    }

    // ---- Colours, read with Qt Gui's colour names ----

    void badColourKeepsDefault()
    {
        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Invalid color name [blurple]");
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packetOf(1, 3) + "]", ", \"color\": \"blurple\"")));
        QVERIFY(t.valid);
        QCOMPARE(QColor(t.color), QColor(0x94, 0x99, 0x9d));
    }

    void goodColourNames_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QColor>("expected");
        QTest::newRow("hex") << QByteArray("#ff8000") << QColor(255, 128, 0);
        QTest::newRow("svg name") << QByteArray("teal") << QColor(0, 128, 128);
        QTest::newRow("short hex") << QByteArray("#f80") << QColor(255, 136, 0);
        QTest::newRow("name in capitals") << QByteArray("DarkOrange") << QColor(255, 140, 0);
        QTest::newRow("12 digits") << QByteArray("#ffff80800000") << QColor(255, 128, 0);
    }

    void goodColourNames()
    {
        QFETCH(QByteArray, name);
        QFETCH(QColor, expected);
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packetOf(1, 3) + "]", ", \"color\": \"" + name + "\"")));
        QCOMPARE(QColor(t.color), expected);
    }
};

QTEST_MAIN(TestTemplates)
#include "tst_templates.moc"
