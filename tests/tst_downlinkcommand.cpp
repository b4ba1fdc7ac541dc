#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "devices/devicetemplate.h"
#include "devices/downlinkcommand.h"

// Commands of the template's "downlinks": which are refused and why, and the bytes a
// write sends. Expected payloads are worked out by hand in each row.
class TestDownlinkCommand : public QObject
{
    Q_OBJECT

    QTemporaryDir logDir;
    const QString startDir = QDir::currentPath();

    static QJsonObject object(const char *_json) { return QJsonDocument::fromJson(_json).object(); }

    // A valid template around one "downlinks" list: a 16-bit field at register 6.
    static QJsonObject templateWith(const char *_downlinks)
    {
        QJsonObject json = object(R"({"app_eui": "4B454C5641524101", "dev_type": "T",
            "device_packets": [{"packet_type": 1, "packet_size": 3, "packet_fields": [
                {"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
                 "reg_map_bias": 6, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Temp"}]}]})");
        json.insert(QStringLiteral("downlinks"), QJsonDocument::fromJson(_downlinks).array());
        return json;
    }

private:
    // The current row of a registerWrite table, written to a device of that word order.
    void checkRegisterWrite(EWordOrder _wordOrder)
    {
        QFETCH(QByteArray, command);
        QFETCH(QVector<uint16_t>, words);
        QFETCH(bool, fits);
        QFETCH(QByteArray, payload);
        QFETCH(QString, valueText);
        QList<SCommandProblem> problems;
        const SDownlinkCommand parsed = readDownlinkCommand(QJsonDocument::fromJson(command).object(), 0, problems);
        QCOMPARE(problems, QList<SCommandProblem>());
        const SCommandValue value = encodeRegisterWrite(parsed, words, _wordOrder);
        QCOMPARE(value.fits, fits);
        if (fits) {
            QCOMPARE(value.payload.toHex(), payload);
            QCOMPARE(value.valueText, valueText);
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(logDir.isValid());
        QVERIFY(QDir::setCurrent(logDir.path()));
        CLogFile::getInstance(QStringLiteral("history.log"));
        fillGlobalTables();
    }
    void cleanupTestCase() { QDir::setCurrent(startDir); }

    void registerWrite_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QVector<uint16_t>>("words");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("valueText");
        const QByteArray u8 = R"({"data_name": "Set-point", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "prefix": "0a01", "data_type": "uinteger", "data_bit_size": 8})";
        QTest::newRow("uint8 21 after the prefix")
            << u8 << QVector<uint16_t> { 21 } << true << QByteArray("0a0115") << "21";
        QTest::newRow("uint8 255 fits") << u8 << QVector<uint16_t> { 255 } << true << QByteArray("0a01ff") << "255";
        QTest::newRow("uint8 256 does not fit") << u8 << QVector<uint16_t> { 256 } << false << QByteArray() << "";
        const QByteArray i8 = R"({"data_name": "Offset", "reg_map_bias": 0, "reg_bit_size": 16, "f_port": 3,
            "data_type": "integer", "data_bit_size": 8})";
        QTest::newRow("int8 -2 from 0xfffe") << i8 << QVector<uint16_t> { 0xfffe } << true << QByteArray("fe") << "-2";
        QTest::newRow("int8 -128 fits") << i8 << QVector<uint16_t> { 0xff80 } << true << QByteArray("80") << "-128";
        QTest::newRow("int8 128 does not fit") << i8 << QVector<uint16_t> { 0x0080 } << false << QByteArray() << "";
        QTest::newRow("int8 -129 does not fit") << i8 << QVector<uint16_t> { 0xff7f } << false << QByteArray() << "";
        QTest::newRow("uint16 little") << QByteArray(
            R"({"data_name": "L", "reg_map_bias": 0, "reg_bit_size": 16, "f_port": 1,
                 "data_type": "uinteger", "data_bit_size": 16, "byte_order": "little"})")
                                       << QVector<uint16_t> { 0x1234 } << true << QByteArray("3412") << "4660";
        QTest::newRow("int16 big -2") << QByteArray(
            R"({"data_name": "B", "reg_map_bias": 0, "reg_bit_size": 16, "f_port": 1, "prefix": "01",
                 "data_type": "integer", "data_bit_size": 16, "byte_order": "big"})")
                                      << QVector<uint16_t> { 0xfffe } << true << QByteArray("01fffe") << "-2";
        const QByteArray u32 = R"({"data_name": "Count", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
            "data_type": "uinteger", "data_bit_size": 32})";
        QTest::newRow("uint32 little, high word first on the wire")
            << u32 << QVector<uint16_t> { 0x0001, 0x0002 } << true << QByteArray("02000100") << "65538";
        QTest::newRow("int32 big -1") << QByteArray(
            R"({"data_name": "I", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
                 "data_type": "integer", "data_bit_size": 32, "byte_order": "big"})")
                                      << QVector<uint16_t> { 0xffff, 0xffff } << true << QByteArray("ffffffff") << "-1";
        QTest::newRow("uint16 in 32-bit registers: 65536 does not fit")
            << QByteArray(R"({"data_name": "W", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
                 "data_type": "uinteger", "data_bit_size": 16})")
            << QVector<uint16_t> { 0x0001, 0x0000 } << false << QByteArray() << "";
        const QByteArray floatBig = R"({"data_name": "F", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
            "data_type": "float", "data_bit_size": 32, "byte_order": "big"})";
        // 21.5 is 0x41ac0000.
        QTest::newRow("float big 21.5") << floatBig << QVector<uint16_t> { 0x41ac, 0x0000 } << true
                                        << QByteArray("41ac0000") << "21.5";
        QTest::newRow("float little 21.5")
            << QByteArray(R"({"data_name": "F", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
                 "data_type": "float", "data_bit_size": 32})")
            << QVector<uint16_t> { 0x41ac, 0x0000 } << true << QByteArray("0000ac41") << "21.5";
        QTest::newRow("float NaN is refused")
            << floatBig << QVector<uint16_t> { 0x7fc0, 0x0000 } << false << QByteArray() << "";
    }

    void registerWrite()
    {
        checkRegisterWrite(EWordOrder::Big);
    }

    // A device of little word order is written as it is read: least significant word first.
    void registerWriteInDeviceWordOrder_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QVector<uint16_t>>("words");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QString>("valueText");
        // 12.5 is 0x41480000.
        QTest::newRow("float 12.5, payload big") << QByteArray(
            R"({"data_name": "Set", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 2, "prefix": "0b",
                 "data_type": "float", "data_bit_size": 32, "byte_order": "big"})")
            << QVector<uint16_t> { 0x0000, 0x4148 } << true << QByteArray("0b41480000") << "12.5";
        QTest::newRow("uint32 65538, payload little") << QByteArray(
            R"({"data_name": "Count", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
                 "data_type": "uinteger", "data_bit_size": 32})")
            << QVector<uint16_t> { 0x0002, 0x0001 } << true << QByteArray("02000100") << "65538";
        QTest::newRow("int32 -2, payload big") << QByteArray(
            R"({"data_name": "Offset", "reg_map_bias": 0, "reg_bit_size": 32, "f_port": 1,
                 "data_type": "integer", "data_bit_size": 32, "byte_order": "big"})")
            << QVector<uint16_t> { 0xfffe, 0xffff } << true << QByteArray("fffffffe") << "-2";
        QTest::newRow("uint16: one word, no order") << QByteArray(
            R"({"data_name": "W", "reg_map_bias": 0, "reg_bit_size": 16, "f_port": 1,
                 "data_type": "uinteger", "data_bit_size": 16, "byte_order": "big"})")
            << QVector<uint16_t> { 0x1234 } << true << QByteArray("1234") << "4660";
    }
    void registerWriteInDeviceWordOrder() { checkRegisterWrite(EWordOrder::Little); }

    void coilBytes()
    {
        QList<SCommandProblem> problems;
        const SDownlinkCommand command = readDownlinkCommand(
            object(R"({"data_name": "Pump", "coil": 3, "f_port": 5, "prefix": "02", "on": "01ff", "off": "00"})"), 0,
            problems);
        QCOMPARE(problems, QList<SCommandProblem>());
        QVERIFY(command.isCoil);
        QCOMPARE(command.registerCount(), 0);
        QCOMPARE(coilPayload(command, true).toHex(), QByteArray("0201ff"));
        QCOMPARE(coilPayload(command, false).toHex(), QByteArray("0200"));
    }

    void refusedTemplate_data()
    {
        QTest::addColumn<QByteArray>("downlinks");
        QTest::addColumn<QString>("key");
        const auto row = [](const char *_name, const char *_downlinks, const char *_key) {
            QTest::newRow(_name) << QByteArray(_downlinks) << QString::fromLatin1(_key);
        };
        row("reg_bit_size 24", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 24, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 8}])",
            "reg_bit_size");
        row("data_bit_size 12", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 12}])",
            "data_bit_size");
        row("32 bits in one register", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 32}])",
            "data_bit_size");
        row("float of 16 bits", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 32, "f_port": 10,
            "data_type": "float", "data_bit_size": 16}])",
            "data_bit_size");
        row("f_port 0", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 0,
            "data_type": "uinteger", "data_bit_size": 8}])",
            "f_port");
        row("f_port 224", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 224,
            "data_type": "uinteger", "data_bit_size": 8}])",
            "f_port");
        row("prefix not hex", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "prefix": "0g", "data_type": "uinteger", "data_bit_size": 8}])",
            "prefix");
        row("register past 65535", R"([{"data_name": "S", "reg_map_bias": 65535, "reg_bit_size": 32, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 8}])",
            "reg_bit_size");
        row("reg_map_bias negative", R"([{"data_name": "S", "reg_map_bias": -1, "reg_bit_size": 16, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 8}])",
            "reg_map_bias");
        row("unknown data type", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "data_type": "text", "data_bit_size": 8}])",
            "data_type");
        row("byte order", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 16, "byte_order": "middle"}])",
            "byte_order");
        row("confirmed not a boolean", R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10,
            "data_type": "uinteger", "data_bit_size": 8, "confirmed": "yes"}])",
            "confirmed");
        row("command over a payload field", R"([{"data_name": "S", "reg_map_bias": 6, "reg_bit_size": 16,
            "f_port": 10, "data_type": "uinteger", "data_bit_size": 8}])",
            "reg_map_bias");
        row("two commands on one register", R"([{"data_name": "A", "reg_map_bias": 40, "reg_bit_size": 32,
            "f_port": 10, "data_type": "uinteger", "data_bit_size": 8}, {"data_name": "B", "reg_map_bias": 41,
            "reg_bit_size": 16, "f_port": 10, "data_type": "uinteger", "data_bit_size": 8}])",
            "reg_map_bias");
        row("coil without off", R"([{"data_name": "P", "coil": 1, "f_port": 5, "on": "01"}])", "off");
        row("coil with a register key", R"([{"data_name": "P", "coil": 1, "f_port": 5, "on": "01", "off": "00",
            "reg_map_bias": 3}])",
            "reg_map_bias");
        row("one coil twice", R"([{"data_name": "P", "coil": 1, "f_port": 5, "on": "01", "off": "00"},
            {"data_name": "Q", "coil": 1, "f_port": 5, "on": "01", "off": "00"}])",
            "coil");
        row("payload too long",
            QByteArray(R"([{"data_name": "S", "reg_map_bias": 40, "reg_bit_size": 16,
            "f_port": 10, "data_type": "uinteger", "data_bit_size": 8, "prefix": ")"
                + QByteArray(484, 'a') + R"("}])")
                .constData(),
            "prefix");
        row("not a list", R"({"data_name": "S"})", "downlinks");
    }

    void refusedTemplate()
    {
        QFETCH(QByteArray, downlinks);
        QFETCH(QString, key);
        QJsonObject json = templateWith("[]");
        const QJsonDocument list = QJsonDocument::fromJson(downlinks);
        json.insert(QStringLiteral("downlinks"), list.isArray() ? QJsonValue(list.array()) : QJsonValue(list.object()));
        const SDeviceTemplate parsed(json);
        QVERIFY(!parsed.valid);
        QStringList keys;
        for (const STemplateProblem &problem : parsed.problems)
            keys << problem.key;
        QVERIFY2(keys.contains(key), qPrintable(keys.join(QLatin1Char(','))));
    }

    void commandRegistersJoinTheMap()
    {
        const SDeviceTemplate parsed(templateWith(R"([{"data_name": "Set-point", "reg_map_bias": 40,
            "reg_bit_size": 32, "f_port": 10, "data_type": "float", "data_bit_size": 32},
            {"data_name": "Pump", "coil": 0, "f_port": 5, "on": "01", "off": "00"}])"));
        QVERIFY(parsed.valid);
        QCOMPARE(parsed.downlinks.size(), 2);
        const SDeviceRegMap map = regMapOfTemplate(parsed);
        // The field, then the register command; a coil takes no register.
        QCOMPARE(map.registers.size(), 2);
        QCOMPARE(map.registers.last().name, QStringLiteral("Set-point"));
        QCOMPARE(map.registers.last().offset, 40);
        QCOMPARE(map.registers.last().bitSize, 32);
        QCOMPARE(map.registers.last().source, REGISTER_SOURCE_COMMAND);
    }
};

QTEST_APPLESS_MAIN(TestDownlinkCommand)
#include "tst_downlinkcommand.moc"
