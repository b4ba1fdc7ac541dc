#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "devices/devicetemplate.h"
#include "workedexample.h"

#include <limits>

// The registry is a singleton in the program; tests build fresh ones over their own directories.
class TestHandler : public CAllDeviceHandler
{
public:
    TestHandler()
        : CAllDeviceHandler(nullptr, QDir::current().filePath(DEVICE_FOLDER), CClock::system(), SModbusLimits(),
                            loggingContext())
    {
    }
    static STemplateContext loggingContext()
    {
        STemplateContext context;
        context.log = CLogFile::getInstance(QString());
        return context;
    }
    void rescan() { loadTemplates(); }
    const QMap<QString, SDeviceTemplate> &loaded() const { return templates; }
};

static QJsonObject parse(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).object();
}

// A minimal valid template around a packet list.
static QByteArray templateWith(const QByteArray &appEui, const QByteArray &devType, const QByteArray &packets,
                               const QByteArray &extra = QByteArray())
{
    return "{ \"app_eui\": \"" + appEui + "\", \"dev_type\": \"" + devType + "\", \"device_packets\": " + packets
        + extra + " }";
}

static QByteArray fieldNamed(const QByteArray &name)
{
    return R"({ "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
                "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": ")"
        + name + "\" }";
}
static const QByteArray goodField = fieldNamed("T");

static QByteArray packetOf(int type, int size, const QByteArray &fieldName = "T")
{
    return "{ \"packet_type\": " + QByteArray::number(type) + ", \"packet_size\": " + QByteArray::number(size)
        + ", \"packet_fields\": [" + fieldNamed(fieldName) + "] }";
}

// A valid template of one 7-byte packet with one field, and one server value, each
// with some keys replaced.
static QByteArray templateOverriding(const QJsonObject &fieldKeys, const QJsonObject &packetKeys = QJsonObject(),
    const QJsonObject &serverKeys = QJsonObject(), const QJsonObject &topKeys = QJsonObject())
{
    QJsonObject field = parse(fieldNamed("T"));
    for (auto it = fieldKeys.begin(); it != fieldKeys.end(); ++it)
        field.insert(it.key(), it.value());
    QJsonObject packet { { "packet_type", 1 }, { "packet_size", 7 }, { "packet_fields", QJsonArray { field } } };
    for (auto it = packetKeys.begin(); it != packetKeys.end(); ++it)
        packet.insert(it.key(), it.value());
    QJsonObject server { { "data_code", "ts" }, { "reg_map_bias", 4 }, { "reg_bit_bias", 0 }, { "reg_bit_size", 32 },
        { "data_name", "Time" } };
    for (auto it = serverKeys.begin(); it != serverKeys.end(); ++it)
        server.insert(it.key(), it.value());
    QJsonObject top { { "app_eui", "aa00000000000001" }, { "dev_type", "Probe" },
        { "device_packets", QJsonArray { packet } }, { "server_data", QJsonArray { server } } };
    for (auto it = topKeys.begin(); it != topKeys.end(); ++it)
        top.insert(it.key(), it.value());
    return QJsonDocument(top).toJson(QJsonDocument::Compact);
}

class TestTemplates : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir logDir;
    QString startDir;
    QScopedPointer<QTemporaryDir> workDir;
    QScopedPointer<QSignalSpy> logSpy;

    bool writeFile(const QString &name, const QByteArray &content)
    {
        QDir().mkpath(DEVICE_FOLDER);
        QFile file(DEVICE_FOLDER + QStringLiteral("/") + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    QStringList logLines() const
    {
        QStringList lines;
        for (const QList<QVariant> &args : *logSpy)
            lines << args.at(0).toString();
        return lines;
    }

    // Log entries are "[time]text".
    bool logged(const QString &text) const
    {
        for (const QString &line : logLines()) {
            if (line.endsWith(QStringLiteral("]") + text))
                return true;
        }
        return false;
    }

private slots:
    void initTestCase()
    {
        fillGlobalTables();
        QVERIFY(logDir.isValid());
        startDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(logDir.path()));
        CLogFile::getInstance(QStringLiteral("history.log"));
        QVERIFY(QDir::setCurrent(startDir));
    }

    void init()
    {
        workDir.reset(new QTemporaryDir);
        QVERIFY(workDir->isValid());
        QVERIFY(QDir::setCurrent(workDir->path()));
        logSpy.reset(new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal));
    }

    void cleanup()
    {
        QDir::setCurrent(startDir);
        logSpy.reset();
        workDir.reset();
    }

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

    // ---- Record parsers: each refusal and its debug message ----

    void parserMessages_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");

        QTest::newRow("template empty") << "template" << QByteArray("{}") << "[SDeviceTemplate] Empty input JSON";
        QTest::newRow("template no dev_type")
            << "template" << QByteArray(R"({"app_eui": "01", "device_packets": []})")
            << "[SDeviceTemplate] Invalid input JSON";
        QTest::newRow("template null app_eui")
            << "template" << QByteArray(R"({"app_eui": null, "dev_type": "x", "device_packets": []})")
            << "[SDeviceTemplate] One or several values of input JSON is NULL";
        QTest::newRow("template no packets")
            << "template" << QByteArray(R"({"app_eui": "01", "dev_type": "x", "device_packets": []})")
            << "[SDeviceTemplate] Device packets array is empty";

        QTest::newRow("packet no fields key")
            << "packet" << QByteArray(R"({"packet_type": 1})") << "[SDevicePacket] Invalid input JSON";
        QTest::newRow("packet null type")
            << "packet" << QByteArray(R"({"packet_type": null, "packet_fields": []})")
            << "[SDevicePacket] One or several values of input JSON is NULL";
        QTest::newRow("packet empty fields")
            << "packet" << QByteArray(R"({"packet_type": 1, "packet_fields": []})")
            << "[SDevicePacket] Packet fields array is empty";

        QTest::newRow("field empty") << "field" << QByteArray("{}") << "[SDevicePacketField] Empty input JSON";
        QTest::newRow("field no data_name")
            << "field"
            << QByteArray(R"({"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 8, "data_type": "integer",
                              "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16})")
            << "[SDevicePacketField] Invalid input JSON";
        QTest::newRow("field null data_type")
            << "field"
            << QByteArray(R"({"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 8, "data_type": null,
                              "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "x"})")
            << "[SDevicePacketField] One or several values of input JSON is NULL";

        QTest::newRow("server empty") << "server" << QByteArray("{}") << "[SServerData] Empty input JSON";
        QTest::newRow("server no reg_bit_size")
            << "server" << QByteArray(R"({"data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "data_name": "x"})")
            << "[SServerData] Invalid input JSON";
        QTest::newRow("server null name")
            << "server"
            << QByteArray(R"({"data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32,
                              "data_name": null})")
            << "[SServerData] One or several values of input JSON is NULL";
    }

    void parserMessages()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        const QJsonObject object = parse(json);
        QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
        bool valid = true;
        if (record == "template")
            valid = SDeviceTemplate(object).valid;
        else if (record == "packet")
            valid = SDevicePacket(object).valid;
        else if (record == "field")
            valid = SDevicePacketField(object).valid;
        else
            valid = SServerData(object).valid;
        QVERIFY(!valid);
    }

    void emptyPacketIsRefusedWithoutMessage()
    {
        QVERIFY(!SDevicePacket(QJsonObject()).valid);
    }

    void serverValueCopiesTableRowAndPrintsIt()
    {
        QTest::ignoreMessage(QtDebugMsg, "[fcnt] - bitSize[32], type[uinteger]");
        const SServerData value(parse(R"({"data_code": "fcnt", "reg_map_bias": 7, "reg_bit_bias": 3,
                                          "reg_bit_size": 16, "data_name": "Frames"})"));
        QVERIFY(value.valid);
        QCOMPARE(value.bitSize, 32);
        QCOMPARE(value.dataType, QString("uinteger"));
        QCOMPARE(value.regMapBias, 7);
        QCOMPARE(value.regBitBias, 3);
        QCOMPARE(value.regBitSize, 16);
        QCOMPARE(value.dataName, QString("Frames"));
    }

    // ---- Edge cases of template content ----

    void duplicatePacketTypeLaterWins()
    {
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packetOf(3, 5) + "," + packetOf(3, 9) + "]")));
        QVERIFY(t.valid);
        QCOMPARE(t.packets.size(), 1);
        QCOMPARE(t.packets.value(3).packetSize, 9);
    }

    void fieldWithoutRegBitBiasCascades()
    {
        const QByteArray field = R"({ "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16,
            "data_type": "integer", "reg_map_bias": 0, "reg_bit_size": 16, "data_name": "T" })";
        QTest::ignoreMessage(QtDebugMsg, "[SDevicePacketField] Invalid input JSON");
        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Device packets array is empty");
        const SDeviceTemplate t(
            parse(templateWith("01", "x", "[{ \"packet_type\": 1, \"packet_size\": 3, \"packet_fields\": [" + field
                                              + "] }]")));
        QVERIFY(!t.valid);
    }

    void invalidFieldIsDroppedOthersKept()
    {
        const QByteArray packet = "{ \"packet_type\": 1, \"packet_size\": 3, \"packet_fields\": [{}, " + goodField + "] }";
        QTest::ignoreMessage(QtDebugMsg, "[SDevicePacketField] Empty input JSON");
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packet + "]")));
        QVERIFY(t.valid);
        QCOMPARE(t.packets.value(1).fields.size(), 1);
    }

    void packetWithoutSizeIsValidWithSizeZero()
    {
        const SDeviceTemplate t(
            parse(templateWith("01", "x", "[{ \"packet_type\": 2, \"packet_fields\": [" + goodField + "] }]")));
        QVERIFY(t.valid);
        QCOMPARE(t.packets.value(2).packetSize, 0);
    }

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

    void capitalRssiIsUnknownButTemplateValid()
    {
        const QByteArray server = R"(, "server_data": [ { "data_code": "RSSI", "reg_map_bias": 0, "reg_bit_bias": 0,
                                        "reg_bit_size": 16, "data_name": "Rssi" } ])";
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packetOf(1, 3) + "]", server)));
        QVERIFY(t.valid);
        QVERIFY(t.serverData.isEmpty());
        QCOMPARE(t.notes, QStringList("ERROR: [SServerData] Server keyword [RSSI] is unknown!"));
    }

    void numberGivenAsTextReadsZero()
    {
        const SDevicePacketField field(parse(R"({"packet_bias": "3", "data_bit_bias": 0.5, "data_bit_size": 16,
            "data_type": 7, "reg_map_bias": true, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "T"})"));
        QVERIFY(field.valid);
        QCOMPARE(field.packetBias, 0);
        QCOMPARE(field.dataBitBias, 0);
        QCOMPARE(field.dataBitSize, 16);
        QVERIFY(field.dataType.isEmpty());
        QCOMPARE(field.regMapBias, 0);
    }

    void emptyAndMissingServerDataAreTheSame_data()
    {
        QTest::addColumn<QByteArray>("extra");
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("empty array") << QByteArray(", \"server_data\": []");
        QTest::newRow("null") << QByteArray(", \"server_data\": null");
    }

    void emptyAndMissingServerDataAreTheSame()
    {
        QFETCH(QByteArray, extra);
        const SDeviceTemplate t(parse(templateWith("01", "x", "[" + packetOf(1, 3) + "]", extra)));
        QVERIFY(t.valid);
        QVERIFY(t.serverData.isEmpty());
        QCOMPARE(regMapOfTemplate(t).registers.size(), 1);
    }

    // ---- Numbers that would take the map out of the register space or a field out of its packet ----

    void numbersOutOfRange_data()
    {
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<QJsonObject>("packet");
        QTest::addColumn<QJsonObject>("server");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const QString field = QStringLiteral("packet [1], field [T]: ");
        const int max = std::numeric_limits<qint32>::max();

        // (2^31 - 1 + 15) / 16 wraps in 32 bits; the map would hold 134217728 registers.
        QTest::newRow("reg_bit_size INT_MAX") << QJsonObject { { "reg_bit_size", max } } << QJsonObject()
                                              << QJsonObject() << "reg_bit_size"
                                              << field + "[2147483647] bits from register [0] do not fit registers 0-65535";
        QTest::newRow("reg_bit_size INT_MAX - 10") << QJsonObject { { "reg_bit_size", max - 10 } } << QJsonObject()
                                                   << QJsonObject() << "reg_bit_size"
                                                   << field + "[2147483637] bits from register [0] do not fit registers 0-65535";
        // 65535 + ceil(32 / 16) = 65537 > 65536
        QTest::newRow("32 bits from the last register")
            << QJsonObject { { "reg_map_bias", 65535 }, { "reg_bit_size", 32 } } << QJsonObject() << QJsonObject()
            << "reg_bit_size" << field + "[32] bits from register [65535] do not fit registers 0-65535";
        QTest::newRow("reg_bit_size 0") << QJsonObject { { "reg_bit_size", 0 } } << QJsonObject() << QJsonObject()
                                        << "reg_bit_size"
                                        << field + "[0] bits from register [0] do not fit registers 0-65535";
        QTest::newRow("reg_map_bias 65536") << QJsonObject { { "reg_map_bias", 65536 } } << QJsonObject()
                                            << QJsonObject() << "reg_map_bias"
                                            << field + "[65536] lies outside registers 0-65535";
        QTest::newRow("reg_map_bias -1") << QJsonObject { { "reg_map_bias", -1 } } << QJsonObject() << QJsonObject()
                                         << "reg_map_bias" << field + "[-1] lies outside registers 0-65535";
        // 65535 * 16 + 16 = 1048576 = 65536 * 16: the first bit past the map
        QTest::newRow("reg_bit_bias past the map")
            << QJsonObject { { "reg_map_bias", 65535 }, { "reg_bit_bias", 16 } } << QJsonObject() << QJsonObject()
            << "reg_bit_bias" << field + "[16] bits from register [65535] lie outside registers 0-65535";
        QTest::newRow("reg_bit_bias -1") << QJsonObject { { "reg_bit_bias", -1 } } << QJsonObject() << QJsonObject()
                                         << "reg_bit_bias"
                                         << field + "[-1] bits from register [0] lie outside registers 0-65535";
        QTest::newRow("packet_bias at the packet's end")
            << QJsonObject { { "packet_bias", 7 } } << QJsonObject() << QJsonObject() << "packet_bias"
            << field + "byte [7] lies outside the packet's 7 bytes";
        QTest::newRow("packet_bias -1") << QJsonObject { { "packet_bias", -1 } } << QJsonObject() << QJsonObject()
                                        << "packet_bias" << field + "byte [-1] lies outside the packet's 7 bytes";
        // bytes 5..8 of a 7-byte packet
        QTest::newRow("32 bits from byte 5 of 7")
            << QJsonObject { { "packet_bias", 5 }, { "data_bit_size", 32 } } << QJsonObject() << QJsonObject()
            << "data_bit_size" << field + "[32] bits from byte [5] do not fit the packet's 7 bytes";
        QTest::newRow("data_bit_size INT_MAX") << QJsonObject { { "data_bit_size", max } } << QJsonObject()
                                               << QJsonObject() << "data_bit_size"
                                               << field + "[2147483647] bits from byte [1] do not fit the packet's 7 bytes";
        QTest::newRow("data_bit_bias INT_MAX") << QJsonObject { { "data_bit_bias", max } } << QJsonObject()
                                               << QJsonObject() << "data_bit_bias"
                                               << field + "bit [2147483647] lies outside the packet's 7 bytes";
        QTest::newRow("packet_size 256") << QJsonObject() << QJsonObject { { "packet_size", 256 } } << QJsonObject()
                                         << "packet_size" << "packet [1]: [256] is not a payload length of 0-255 bytes";
        QTest::newRow("packet_size -1") << QJsonObject() << QJsonObject { { "packet_size", -1 } } << QJsonObject()
                                        << "packet_size" << "packet [1]: [-1] is not a payload length of 0-255 bytes";
        QTest::newRow("packet_type 256") << QJsonObject() << QJsonObject { { "packet_type", 256 } } << QJsonObject()
                                         << "packet_type" << "packet [256]: no first payload byte can be [256]";
        QTest::newRow("server reg_bit_size INT_MAX")
            << QJsonObject() << QJsonObject() << QJsonObject { { "reg_bit_size", max } } << "reg_bit_size"
            << "server value [ts]: [2147483647] bits from register [4] do not fit registers 0-65535";
        QTest::newRow("server reg_map_bias 70000")
            << QJsonObject() << QJsonObject() << QJsonObject { { "reg_map_bias", 70000 } } << "reg_map_bias"
            << "server value [ts]: [70000] lies outside registers 0-65535";
    }

    void numbersOutOfRange()
    {
        QFETCH(QJsonObject, field);
        QFETCH(QJsonObject, packet);
        QFETCH(QJsonObject, server);
        QFETCH(QString, key);
        QFETCH(QString, text);
        QVERIFY(writeFile("probe.json", templateOverriding(field, packet, server)));
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        QVERIFY2(logged(QStringLiteral("ERROR: [CAllDeviceHandler] Template file [probe.json] refused, key [%1]: %2")
                            .arg(key, text)),
            qPrintable(logLines().join('\n')));

        const QList<STemplateProblem> problems = checkTemplateFile(QDir::currentPath() + "/deviceFolder", "probe.json");
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.at(0).file, QString("probe.json"));
        QCOMPARE(problems.at(0).key, key);
        QCOMPARE(problems.at(0).text, text);
    }

    void numbersAtTheEdgesLoad_data()
    {
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<QJsonObject>("packet");
        QTest::newRow("16 bits in the last register") << QJsonObject { { "reg_map_bias", 65535 } } << QJsonObject();
        QTest::newRow("64 bits ending at register 65535")
            << QJsonObject { { "reg_map_bias", 65532 }, { "reg_bit_size", 64 } } << QJsonObject();
        QTest::newRow("the packet's last two bytes") << QJsonObject { { "packet_bias", 5 } } << QJsonObject();
        QTest::newRow("a packet of 255 bytes, first byte type 255")
            << QJsonObject { { "packet_bias", 253 } } << QJsonObject { { "packet_size", 255 }, { "packet_type", 255 } };
        QTest::newRow("type -128") << QJsonObject() << QJsonObject { { "packet_type", -128 } };
    }

    void numbersAtTheEdgesLoad()
    {
        QFETCH(QJsonObject, field);
        QFETCH(QJsonObject, packet);
        QVERIFY(writeFile("probe.json", templateOverriding(field, packet)));
        QVERIFY(checkTemplateFile(QDir::currentPath() + "/deviceFolder", "probe.json").isEmpty());
        TestHandler handler;
        QCOMPARE(handler.loaded().keys(), QStringList { "AA00000000000001" });
    }

    void optionalKeys_data()
    {
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const QString where = QStringLiteral("packet [1], field [T]: ");
        QTest::newRow("byte_order middle") << QJsonObject { { "byte_order", "middle" } } << "byte_order"
                                           << where + "[middle] is neither \"little\" nor \"big\"";
        QTest::newRow("byte_order a number") << QJsonObject { { "byte_order", 1 } } << "byte_order"
                                             << where + "[] is neither \"little\" nor \"big\"";
        QTest::newRow("byte_order on a text")
            << QJsonObject { { "data_type", "text" }, { "byte_order", "big" } } << "byte_order"
            << where + "a text has no byte order";
        QTest::newRow("reg_format int8") << QJsonObject { { "reg_format", "int8" } } << "reg_format"
                                         << where + "[int8] is none of int16, uint16, int32, uint32, float32";
        QTest::newRow("int32 in 16 bits") << QJsonObject { { "reg_format", "int32" } } << "reg_format"
                                          << where + "[int32] takes 32 bits, reg_bit_size is [16]";
        QTest::newRow("float32 in 16 bits") << QJsonObject { { "reg_format", "float32" } } << "reg_format"
                                            << where + "[float32] takes 32 bits, reg_bit_size is [16]";
        QTest::newRow("uint16 in 32 bits") << QJsonObject { { "reg_format", "uint16" }, { "reg_bit_size", 32 } }
                                           << "reg_format" << where + "[uint16] takes 16 bits, reg_bit_size is [32]";
        QTest::newRow("reg_format on a text")
            << QJsonObject { { "data_type", "text" }, { "reg_format", "int16" } } << "reg_format"
            << where + "a text has no register format";
        QTest::newRow("float of 16 bits")
            << QJsonObject { { "data_type", "float" }, { "reg_bit_size", 32 } } << "data_bit_size"
            << where + "a float is 32 bits, not [16]";
        QTest::newRow("float in one register")
            << QJsonObject { { "data_type", "float" }, { "data_bit_size", 32 } } << "reg_bit_size"
            << where + "a float takes 32 bits, not [16]";
    }

    void optionalKeys()
    {
        QFETCH(QJsonObject, field);
        QFETCH(QString, key);
        QFETCH(QString, text);
        QVERIFY(writeFile("probe.json", templateOverriding(field)));
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        QVERIFY2(logged(QStringLiteral("ERROR: [CAllDeviceHandler] Template file [probe.json] refused, key [%1]: %2")
                            .arg(key, text)),
            qPrintable(logLines().join('\n')));
    }

    void optionalKeysRead()
    {
        QVERIFY(writeFile("probe.json",
            templateOverriding(QJsonObject { { "data_type", "float" }, { "data_bit_size", 32 }, { "packet_bias", 3 },
                { "byte_order", "big" }, { "reg_format", "int32" }, { "reg_bit_size", 32 } })));
        TestHandler handler;
        const SDevicePacketField field = handler.loaded().value("AA00000000000001").packets.value(1).fields.value(0);
        QCOMPARE(field.dataType, QString("float"));
        QCOMPARE(field.byteOrder, QString("big"));
        QCOMPARE(field.regFormat, QString("int32"));
        // Without the keys: little-endian, the data type's own format.
        QVERIFY(writeFile("plain.json", workedExampleTemplate));
        handler.rescan();
        const SDevicePacketField plain = handler.loaded().value("0A0B0C0D01020304").packets.value(1).fields.value(0);
        QCOMPARE(plain.byteOrder, QString("little"));
        QVERIFY(plain.regFormat.isEmpty());
    }

    void examples_data()
    {
        QTest::addColumn<QJsonArray>("examples");
        QTest::addColumn<QString>("text");
        // The probe's packet: type 1, 7 bytes, field T = signed 16 bits at byte 1, little-endian.
        // 01 2c 01 ... : T = 0x012c = 300
        const QJsonObject good { { "payload", "012c0100000000" }, { "expect", QJsonObject { { "T", 300 } } } };
        QTest::newRow("wrong value") << QJsonArray { good,
            QJsonObject { { "payload", "01f4ff00000000" }, { "expect", QJsonObject { { "T", 500 } } } } }
                                     // f4 ff = 0xfff4 = -12
                                     << "example [1]: [T] expected [500], decoded [-12]";
        QTest::newRow("fraction for an integer")
            << QJsonArray { QJsonObject { { "payload", "012c0100000000" }, { "expect", QJsonObject { { "T", 300.5 } } } } }
            << "example [0]: [T] expected [300.5], decoded [300]";
        QTest::newRow("text for a number")
            << QJsonArray { QJsonObject { { "payload", "012c0100000000" }, { "expect", QJsonObject { { "T", "300" } } } } }
            << "example [0]: [T] expected [300], decoded [300]";
        QTest::newRow("unknown name")
            << QJsonArray { QJsonObject { { "payload", "012c0100000000" }, { "expect", QJsonObject { { "X", 1 } } } } }
            << "example [0]: packet [1] has no field [X]";
        QTest::newRow("odd payload")
            << QJsonArray { QJsonObject { { "payload", "012c010000000" }, { "expect", QJsonObject { { "T", 1 } } } } }
            << "example [0]: payload [012c010000000] is not an even number of hex digits";
        QTest::newRow("no such packet")
            << QJsonArray { QJsonObject { { "payload", "022c0100000000" }, { "expect", QJsonObject { { "T", 1 } } } } }
            << "example [0]: no packet of type [2]";
        QTest::newRow("wrong size")
            << QJsonArray { QJsonObject { { "payload", "012c01" }, { "expect", QJsonObject { { "T", 300 } } } } }
            << "example [0]: payload of [3] bytes, packet [1] has [7]";
        QTest::newRow("nothing expected") << QJsonArray { QJsonObject { { "payload", "012c0100000000" } } }
                                          << "example [0]: expect names no value";
    }

    void examples()
    {
        QFETCH(QJsonArray, examples);
        QFETCH(QString, text);
        QVERIFY(writeFile("probe.json",
            templateOverriding(QJsonObject(), QJsonObject(), QJsonObject(), QJsonObject { { "examples", examples } })));
        TestHandler handler;
        QVERIFY(handler.loaded().isEmpty());
        QVERIFY2(logged(QStringLiteral("ERROR: [CAllDeviceHandler] Template file [probe.json] refused, key [examples]: %1")
                            .arg(text)),
            qPrintable(logLines().join('\n')));
        const QList<STemplateProblem> problems = checkTemplateFile(QDir::currentPath() + "/deviceFolder", "probe.json");
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.at(0).key, QString("examples"));
    }

    void examplesThatDecodeLoad_data()
    {
        QTest::addColumn<QJsonObject>("field");
        QTest::addColumn<QJsonObject>("expect");
        QTest::addColumn<QString>("payload");
        // 2c 01 = 300 before scaling, whatever the register parameters
        QTest::newRow("integer") << QJsonObject() << QJsonObject { { "T", 300 } } << "012c0100000000";
        // 41 ac 00 00 big-endian = 21.5
        QTest::newRow("big-endian float")
            << QJsonObject { { "data_type", "float" }, { "data_bit_size", 32 }, { "byte_order", "big" },
                   { "reg_format", "int16" } }
            << QJsonObject { { "T", 21.5 } } << "0141ac00000000";
        // 0x3dcccccd is the single nearest 0.1
        QTest::newRow("float 0.1") << QJsonObject { { "data_type", "float" }, { "data_bit_size", 32 }, { "reg_bit_size", 32 } }
                                   << QJsonObject { { "T", 0.1 } } << "01cdcccc3d0000";
        QTest::newRow("text") << QJsonObject { { "data_type", "text" } } << QJsonObject { { "T", "AB" } } << "01414200000000";
    }

    void examplesThatDecodeLoad()
    {
        QFETCH(QJsonObject, field);
        QFETCH(QJsonObject, expect);
        QFETCH(QString, payload);
        const QJsonArray examples { QJsonObject { { "payload", payload }, { "expect", expect } } };
        QVERIFY(writeFile("probe.json",
            templateOverriding(field, QJsonObject(), QJsonObject(), QJsonObject { { "examples", examples } })));
        QCOMPARE(checkTemplateFile(QDir::currentPath() + "/deviceFolder", "probe.json").size(), 0);
    }

    void everyProblemIsReported()
    {
        QVERIFY(writeFile("probe.json",
            templateOverriding(QJsonObject { { "reg_map_bias", -5 }, { "packet_bias", 9 } },
                QJsonObject { { "packet_type", 300 } }, QJsonObject { { "reg_bit_size", 0 } })));
        QStringList keys;
        for (const STemplateProblem &problem : checkTemplateFile(QDir::currentPath() + "/deviceFolder", "probe.json"))
            keys << problem.key;
        QCOMPARE(keys, (QStringList { "packet_type", "packet_bias", "reg_map_bias", "reg_bit_size" }));
    }

    void checkNamesProblemsOfTheFileItself()
    {
        QVERIFY(writeFile("empty.json", "{}"));
        QTest::ignoreMessage(QtDebugMsg, "[SDeviceTemplate] Empty input JSON");
        const QList<STemplateProblem> problems = checkTemplateFile(QDir::currentPath() + "/deviceFolder", "empty.json");
        QCOMPARE(problems.size(), 1);
        QCOMPARE(problems.at(0).file, QString("empty.json"));
        QVERIFY(problems.at(0).key.isEmpty());
        const QList<STemplateProblem> missing = checkTemplateFile(QDir::currentPath() + "/deviceFolder", "gone.json");
        QCOMPARE(missing.size(), 1);
        QCOMPARE(missing.at(0).text, QString("File [gone.json] is not exist"));
        QVERIFY(logLines().isEmpty()); // checking logs nothing
    }

    // ---- Packet types of first bytes 0x80..0xFF ----

    void packetTypeKeys_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<quint32>("key");
        // The key is the value a first payload byte gives when read as a signed byte.
        QTest::newRow("1") << 1 << 0x00000001u;
        QTest::newRow("127") << 127 << 0x0000007Fu;
        QTest::newRow("128 as byte 0x80") << 128 << 0xFFFFFF80u;
        QTest::newRow("-128") << -128 << 0xFFFFFF80u;
        QTest::newRow("200 as byte 0xC8") << 200 << 0xFFFFFFC8u;
        QTest::newRow("-56") << -56 << 0xFFFFFFC8u;
        QTest::newRow("255 as byte 0xFF") << 255 << 0xFFFFFFFFu;
        QTest::newRow("-1") << -1 << 0xFFFFFFFFu;
        QTest::newRow("256 matches no byte") << 256 << 0x00000100u;
        QTest::newRow("-129 matches no byte") << -129 << 0xFFFFFF7Fu;
    }

    void packetTypeKeys()
    {
        QFETCH(int, type);
        QFETCH(quint32, key);
        QCOMPARE(packetTypeKey(type), key);
    }

    void packetType200And56AreTheSamePacket()
    {
        const SDeviceTemplate high(parse(templateWith("01", "x", "[" + packetOf(200, 4) + "]")));
        const SDeviceTemplate low(parse(templateWith("01", "x", "[" + packetOf(-56, 4) + "]")));
        QCOMPARE(high.packets.keys(), low.packets.keys());
        QVERIFY(high.packets.contains(0xFFFFFFC8u));
        QCOMPARE(high.packets.value(0xFFFFFFC8u).packetType, 200); // the file's own spelling is kept

        const SDeviceTemplate both(parse(templateWith("01", "x", "[" + packetOf(200, 4) + "," + packetOf(-56, 6) + "]")));
        QCOMPARE(both.packets.size(), 1);
        QCOMPARE(both.packets.value(0xFFFFFFC8u).packetSize, 6);
    }

    void registerMapOrdersServerValuesThenPacketsByKey()
    {
        const QByteArray server = R"(, "server_data": [
            { "data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Time" },
            { "data_code": "rssi", "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Rssi" } ])";
        const QByteArray packets = "[" + packetOf(-1, 3, "Minus one") + "," + packetOf(5, 3, "Five") + "]";
        const SDeviceTemplate t(parse(templateWith("01", "x", packets, server)));
        const SDeviceRegMap map = regMapOfTemplate(t);
        QCOMPARE(map.registers.size(), 4);
        QCOMPARE(map.registers.at(0).name, QString("Rssi")); // "rssi" < "ts"
        QCOMPARE(map.registers.at(0).dataType, QString("integer"));
        QCOMPARE(map.registers.at(1).name, QString("Time"));
        // Type 5 before type -1 (0xFFFFFFFF as an unsigned key).
        QCOMPARE(map.registers.at(2).name, QString("Five"));
        QCOMPARE(map.registers.at(2).source, 1);
        QCOMPARE(map.registers.at(2).dataType, QString("integer"));
        QCOMPARE(map.registers.at(3).name, QString("Minus one"));
    }
};

QTEST_MAIN(TestTemplates)
#include "tst_templates.moc"
