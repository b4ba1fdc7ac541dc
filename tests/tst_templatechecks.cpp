#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <limits>

#include "templatetestsupport.h"
#include "workedexample.h"

// The record parsers and the checks of a template's numbers, optional keys and examples.
class TestTemplateChecks : public CTemplateTestCase
{
    Q_OBJECT

private slots:
    void initTestCase() { startLog(); }
    void init() { enterFreshFolder(); }
    void cleanup() { leaveFolder(); }

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
        const SDevicePacketField field = handler.loaded().value("AA00000000000001").parsed->packets.value(1).fields.value(0);
        QCOMPARE(field.dataType, QString("float"));
        QCOMPARE(field.byteOrder, QString("big"));
        QCOMPARE(field.regFormat, QString("int32"));
        // Without the keys: little-endian, the data type's own format.
        QVERIFY(writeFile("plain.json", workedExampleTemplate));
        handler.rescan();
        const SDevicePacketField plain = handler.loaded().value("0A0B0C0D01020304").parsed->packets.value(1).fields.value(0);
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

QTEST_GUILESS_MAIN(TestTemplateChecks)
#include "tst_templatechecks.moc"
