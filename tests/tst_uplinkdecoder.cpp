#include <QtTest>

#include <limits>

#include "decodertestsupport.h"

class TestUplinkDecoder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { fillGlobalTables(); }

    void scalingByAddress_data()
    {
        QTest::addColumn<QVector<SRegisterScale>>("registers");
        QTest::addColumn<qint64>("address");
        QTest::addColumn<double>("multiplier");
        QTest::addColumn<double>("added");
        QTest::addColumn<QString>("unit");
        const QVector<SRegisterScale> some { { 12, 5, 10, QStringLiteral("V") }, { 3, -1, 0.5 }, { 7, 0, 1 } };
        QTest::newRow("nothing listed") << QVector<SRegisterScale>() << qint64(3) << 1.0 << 0.0 << QString();
        QTest::newRow("listed") << some << qint64(12) << 10.0 << 5.0 << "V";
        QTest::newRow("listed out of order") << some << qint64(3) << 0.5 << -1.0 << QString();
        QTest::newRow("plain entry") << some << qint64(7) << 1.0 << 0.0 << QString();
        QTest::newRow("between two") << some << qint64(8) << 1.0 << 0.0 << QString();
        QTest::newRow("past the last") << some << qint64(13) << 1.0 << 0.0 << QString();
        QTest::newRow("later entry wins") << QVector<SRegisterScale> { { 4, 1, 2 }, { 4, 3, 4 } } << qint64(4) << 4.0
                                          << 3.0 << QString();
        QTest::newRow("beyond 32 bits") << QVector<SRegisterScale> { { 0x100000004LL, 1, 2 } } << qint64(4) << 1.0
                                        << 0.0 << QString();
        // A unit alone is kept: the history labels the value with it.
        QTest::newRow("unit only") << QVector<SRegisterScale> { { 9, 0, 1, QStringLiteral("mV") } } << qint64(9) << 1.0
                                   << 0.0 << "mV";
    }
    void scalingByAddress()
    {
        QFETCH(QVector<SRegisterScale>, registers);
        QFETCH(qint64, address);
        QFETCH(double, multiplier);
        QFETCH(double, added);
        QFETCH(QString, unit);
        const SRegisterParam param = CRegisterScaling(registers).at(address);
        QCOMPARE(param.gratingPeriod, multiplier);
        QCOMPARE(param.startValue, added);
        QCOMPARE(param.unit, unit);
    }

    void workedExample_data()
    {
        QTest::addColumn<qint32>("gratingPeriod");
        QTest::addColumn<qint32>("startValue");
        QTest::addColumn<QString>("registers");
        QTest::newRow("new device") << 1 << 0 << "0:6553:6553f100 1:f100: 2:0001:00012345 3:2345:";
        // 74565 * 10 + 5 = 745655 = 0xb60b7
        QTest::newRow("multiplier 10, added 5") << 10 << 5 << "0:6553:6553f100 1:f100: 2:000b:000b60b7 3:60b7:";
    }
    void workedExample()
    {
        QFETCH(qint32, gratingPeriod);
        QFETCH(qint32, startValue);
        QFETCH(QString, registers);
        const SDeviceTemplate t(QJsonDocument::fromJson(R"({
            "app_eui": "0a0b0c0d01020304", "dev_type": "Meter",
            "server_data": [ { "data_code": "ts", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32,
                               "data_name": "Time" } ],
            "device_packets": [ { "packet_type": 1, "packet_size": 5, "packet_fields": [
                { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger",
                  "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter" } ] } ] })")
                                    .object());
        QVERIFY(t.valid);
        FakeParams fake;
        fake.params.insert(102, param(gratingPeriod, startValue));
        // At the field's offset, not its address: it must not count.
        fake.params.insert(2, param(1000, 1000));

        const SDecodedUplink decoded = decodeUplink(uplinkWith("0145230100"), t, deviceAt(100), fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList());
        QCOMPARE(decoded.data.devEui, DEV_EUI);
        QCOMPARE(decoded.data.startAddr, 100);
        QCOMPARE(registersText(decoded.data.registers), registers);
    }

    void fields_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("regBitSize");
        QTest::addColumn<qint32>("gratingPeriod");
        QTest::addColumn<qint32>("startValue");
        QTest::addColumn<QString>("registers");

        QTest::newRow("u8 9c") << QByteArray("9c") << 8 << "uinteger" << 16 << 1 << 0 << "2:009c:009c";
        QTest::newRow("i8 9c is -100") << QByteArray("9c") << 8 << "integer" << 16 << 1 << 0 << "2:ff9c:ff9c";
        QTest::newRow("i8 7f x3 +1 = 382") << QByteArray("7f") << 8 << "integer" << 16 << 3 << 1 << "2:017e:017e";
        QTest::newRow("u16 little-endian") << QByteArray("3412") << 16 << "uinteger" << 16 << 1 << 0 << "2:1234:1234";
        QTest::newRow("i16 ff7f x2 wraps to fffe")
            << QByteArray("ff7f") << 16 << "integer" << 16 << 2 << 0 << "2:fffe:fffe";
        // -32768 - 1 = -32769 = 0xffff7fff, low 16 bits
        QTest::newRow("i16 0080 -1") << QByteArray("0080") << 16 << "integer" << 16 << 1 << -1 << "2:7fff:7fff";
        QTest::newRow("u16 ffff x-1") << QByteArray("ffff") << 16 << "uinteger" << 16 << -1 << 0 << "2:0001:0001";
        QTest::newRow("u32 little-endian")
            << QByteArray("78563412") << 32 << "uinteger" << 32 << 1 << 0 << "2:1234:12345678 3:5678:";
        QTest::newRow("i32 -1") << QByteArray("ffffffff") << 32 << "integer" << 32 << 1 << 0
                                << "2:ffff:ffffffff 3:ffff:";
        // 0xffffffff * 2 + 3 = 0x200000001, low 32 bits
        QTest::newRow("u32 wraps in 32 bits")
            << QByteArray("ffffffff") << 32 << "uinteger" << 32 << 2 << 3 << "2:0000:00000001 3:0001:";
        QTest::newRow("i32 7fffffff x2 = fffffffe")
            << QByteArray("ffffff7f") << 32 << "integer" << 32 << 2 << 0 << "2:ffff:fffffffe 3:fffe:";
        QTest::newRow("u64 little-endian") << QByteArray("0102030405060708") << 64 << "uinteger" << 64 << 1 << 0
                                           << "2:0807:0807060504030201 3:0605: 4:0403: 5:0201:";
        // -2 * 3 + 1 = -5
        QTest::newRow("i64 -2 x3 +1") << QByteArray("feffffffffffffff") << 64 << "integer" << 64 << 3 << 1
                                      << "2:ffff:fffffffffffffffb 3:ffff: 4:ffff: 5:fffb:";
        // 0xffff...ff * (-1 sign-extended) = 1 mod 2^64
        QTest::newRow("u64 x-1 in 64 bits") << QByteArray("ffffffffffffffff") << 64 << "uinteger" << 64 << -1 << 0
                                            << "2:0000:0000000000000001 3:0000: 4:0000: 5:0001:";
        // 0x100000000 * 16: a 32-bit product would lose it
        QTest::newRow("u64 keeps high bits") << QByteArray("0000000001000000") << 64 << "uinteger" << 64 << 16 << 0
                                             << "2:0000:0000001000000000 3:0010: 4:0000: 5:0000:";
        QTest::newRow("text ends at zero byte") << QByteArray("41420000") << 32 << "text" << 32 << 7 << 7 << "2:AB:AB";
        QTest::newRow("text fills four") << QByteArray("41424344") << 32 << "text" << 32 << 1 << 0 << "2:ABCD:ABCD";
        QTest::newRow("text of eight") << QByteArray("48454c4c4f20574f") << 64 << "text" << 64 << 1 << 0
                                       << "2:HELL:HELLO WO 3:O WO:";
        QTest::newRow("text of one byte") << QByteArray("41") << 8 << "text" << 16 << 1 << 0 << "2:A:A";
        QTest::newRow("text empty writes nothing") << QByteArray("0041") << 16 << "text" << 16 << 1 << 0 << "";
        QTest::newRow("text utf-8") << QByteArray("c3a97a00") << 32 << "text" << 32 << 1 << 0
                                    << QString::fromUtf8("2:\xc3\xa9z:\xc3\xa9z");

        // Wider than its place in the map: only its own registers, the low ones for numbers.
        QTest::newRow("u32 into 16 bits")
            << QByteArray("78563412") << 32 << "uinteger" << 16 << 1 << 0 << "2:5678:5678";
        QTest::newRow("u64 into 32 bits")
            << QByteArray("0102030405060708") << 64 << "uinteger" << 32 << 1 << 0 << "2:0403:04030201 3:0201:";
        QTest::newRow("u64 into 48 bits") << QByteArray("0102030405060708") << 64 << "uinteger" << 48 << 1 << 0
                                          << "2:0605:060504030201 3:0403: 4:0201:";
        QTest::newRow("text of eight into 16 bits")
            << QByteArray("48454c4c4f20574f") << 64 << "text" << 16 << 1 << 0 << "2:HELL:HELL";
    }
    void fields()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, bitSize);
        QFETCH(QString, type);
        QFETCH(int, regBitSize);
        QFETCH(qint32, gratingPeriod);
        QFETCH(qint32, startValue);
        QFETCH(QString, registers);
        const QByteArray payload = QByteArray::fromHex("07" + bytes);
        const SDeviceTemplate t = templateOf(7, payload.size(), { field(1, bitSize, type, regBitSize) });
        FakeParams fake;
        fake.params.insert(52, param(gratingPeriod, startValue));
        const SDecodedUplink decoded
            = decodeUplink(uplinkWith(payload.toHex().constData()), t, deviceAt(50), fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList());
        QCOMPARE(registersText(decoded.data.registers), registers);
        // Texts are never scaled.
        if (type == "text") {
            fake.params.insert(52, param(3, 1));
            QCOMPARE(registersText(
                         decodeUplink(uplinkWith(payload.toHex().constData()), t, deviceAt(50), fake.source())
                             .data.registers),
                registers);
        }
    }

    void formats_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<QString>("byteOrder");
        QTest::addColumn<QString>("regFormat");
        QTest::addColumn<int>("regBitSize");
        QTest::addColumn<qint32>("gratingPeriod");
        QTest::addColumn<qint32>("startValue");
        QTest::addColumn<QString>("wordOrder");
        QTest::addColumn<QString>("registers");

        // 21.5 = 1.34375 * 2^4: sign 0, exponent 127 + 4 = 0x83, fraction .01011b -> 0x41ac0000
        QTest::newRow("float 21.5 little-endian")
            << QByteArray("0000ac41") << "float" << 32 << "little" << "" << 32 << 1 << 0 << "big" << "2:41ac:41ac0000 3:0000:";
        QTest::newRow("float 21.5 big-endian")
            << QByteArray("41ac0000") << "float" << 32 << "big" << "" << 32 << 1 << 0 << "big" << "2:41ac:41ac0000 3:0000:";
        // -40.5 = c2220000; -40.5 * 10 + 3 = -402 = -1.5703125 * 2^8: exponent 0x87, fraction .1001001b -> c3c90000
        QTest::newRow("float -40.5 x10 +3 = -402")
            << QByteArray("000022c2") << "float" << 32 << "little" << "" << 32 << 10 << 3 << "big" << "2:c3c9:c3c90000 3:0000:";
        QTest::newRow("float32 format is the float's default")
            << QByteArray("0000ac41") << "float" << 32 << "little" << "float32" << 32 << 1 << 0 << "big" << "2:41ac:41ac0000 3:0000:";
        QTest::newRow("u16 big-endian 12 34")
            << QByteArray("1234") << "uinteger" << 16 << "big" << "" << 16 << 1 << 0 << "big" << "2:1234:1234";
        QTest::newRow("i32 big-endian -2")
            << QByteArray("fffffffe") << "integer" << 32 << "big" << "" << 32 << 1 << 0 << "big" << "2:ffff:fffffffe 3:fffe:";
        QTest::newRow("u64 big-endian")
            << QByteArray("0102030405060708") << "uinteger" << 64 << "big" << "" << 64 << 1 << 0 << "big"
            << "2:0102:0102030405060708 3:0304: 4:0506: 5:0708:";
        // 40000 = 0x9c40 > 32767: held at the top of int16
        QTest::newRow("int16 holds u16 40000 at 32767")
            << QByteArray("409c") << "uinteger" << 16 << "little" << "int16" << 16 << 1 << 0 << "big" << "2:7fff:7fff";
        // -5 below uint16's 0
        QTest::newRow("uint16 holds -5 at 0")
            << QByteArray("fbff") << "integer" << 16 << "little" << "uint16" << 16 << 1 << 0 << "big" << "2:0000:0000";
        // -5 * 3 + 1 = -14 = 0xfff2
        QTest::newRow("int16 -5 x3 +1 = -14")
            << QByteArray("fbff") << "integer" << 16 << "little" << "int16" << 16 << 3 << 1 << "big" << "2:fff2:fff2";
        // 2^40 > 2^32 - 1
        QTest::newRow("uint32 holds 2^40 at ffffffff")
            << QByteArray("0000000000010000") << "uinteger" << 64 << "little" << "uint32" << 32 << 1 << 0 << "big"
            << "2:ffff:ffffffff 3:ffff:";
        // 200 * -1000 = -200000 = 2^32 - 200000 = 0xfffcf2c0
        QTest::newRow("int32 200 x-1000 = -200000")
            << QByteArray("c8") << "uinteger" << 8 << "little" << "int32" << 32 << -1000 << 0 << "big"
            << "2:fffc:fffcf2c0 3:f2c0:";
        // -2^63 * 2 overflows 64 bits: held at int32's bottom
        QTest::newRow("int32 holds -2^63 x2 at 80000000")
            << QByteArray("0000000000000080") << "integer" << 64 << "little" << "int32" << 32 << 2 << 0 << "big"
            << "2:8000:80000000 3:0000:";
        // 2^64 - 1 (past 2^63) x -1: below int32
        QTest::newRow("int32 holds u64 max x-1 at 80000000")
            << QByteArray("ffffffffffffffff") << "uinteger" << 64 << "little" << "int32" << 32 << -1 << 0 << "big"
            << "2:8000:80000000 3:0000:";
        // 1234.5 = 0x449a5000; rounded half away from zero: 1235 = 0x04d3
        QTest::newRow("uint16 from float 1234.5 = 1235")
            << QByteArray("00509a44") << "float" << 32 << "little" << "uint16" << 16 << 1 << 0 << "big" << "2:04d3:04d3";
        // -405 = 0xfe6b; -405 * 2 + 3 = -807 = -1.576171875 * 2^9: exponent 0x88, fraction .100100111b -> c449c000
        QTest::newRow("float32 from i16 -405 x2 +3 = -807")
            << QByteArray("6bfe") << "integer" << 16 << "little" << "float32" << 32 << 2 << 3 << "big"
            << "2:c449:c449c000 3:c000:";
        QTest::newRow("word order little u32")
            << QByteArray("78563412") << "uinteger" << 32 << "little" << "" << 32 << 1 << 0 << "little"
            << "2:5678:12345678 3:1234:";
        QTest::newRow("word order little u64")
            << QByteArray("0102030405060708") << "uinteger" << 64 << "little" << "" << 64 << 1 << 0 << "little"
            << "2:0201:0807060504030201 3:0403: 4:0605: 5:0807:";
        QTest::newRow("word order little float32")
            << QByteArray("0000ac41") << "float" << 32 << "little" << "" << 32 << 1 << 0 << "little" << "2:0000:41ac0000 3:41ac:";
        QTest::newRow("word order little int32 format")
            << QByteArray("c8") << "uinteger" << 8 << "little" << "int32" << 32 << -1000 << 0 << "little"
            << "2:f2c0:fffcf2c0 3:fffc:";
        QTest::newRow("word order little leaves 16 bits alone")
            << QByteArray("3412") << "uinteger" << 16 << "little" << "" << 16 << 1 << 0 << "little" << "2:1234:1234";
        QTest::newRow("word order little u32 into 16 bits")
            << QByteArray("78563412") << "uinteger" << 32 << "little" << "" << 16 << 1 << 0 << "little" << "2:5678:5678";
        QTest::newRow("word order little leaves text alone")
            << QByteArray("41424344") << "text" << 32 << "little" << "" << 32 << 1 << 0 << "little" << "2:ABCD:ABCD";
    }
    void formats()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, type);
        QFETCH(int, bitSize);
        QFETCH(QString, byteOrder);
        QFETCH(QString, regFormat);
        QFETCH(int, regBitSize);
        QFETCH(qint32, gratingPeriod);
        QFETCH(qint32, startValue);
        QFETCH(QString, wordOrder);
        QFETCH(QString, registers);
        SDevicePacketField f = field(1, bitSize, type, regBitSize);
        f.byteOrder = byteOrder;
        f.regFormat = regFormat;
        const QByteArray payload = QByteArray::fromHex("07" + bytes);
        const SDeviceTemplate t = templateOf(7, payload.size(), { f });
        DB::SDeviceRegMapDescription device = deviceAt(50);
        device.wordOrder = wordOrder == "little" ? EWordOrder::Little : EWordOrder::Big;
        FakeParams fake;
        fake.params.insert(52, param(gratingPeriod, startValue));
        const SDecodedUplink decoded = decodeUplink(uplinkWith(payload.toHex().constData()), t, device, fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList());
        QCOMPARE(registersText(decoded.data.registers), registers);
    }

    void floatNotANumberIntoIntegerFormatIsSkipped()
    {
        SDevicePacketField f = field(1, 32, "float", 16, "NaN");
        f.regFormat = "int16";
        const SDeviceTemplate t = templateOf(1, 5, { f });
        // 7fc00000 is the quiet NaN
        const SDecodedUplink decoded = decodeUplink(uplinkWith("010000c07f"), t, deviceAt(0), FakeParams().source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList { WARNING + "Value [NaN] is not a number" });
        QVERIFY(decoded.data.registers.isEmpty());
    }

    void rejections_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QStringList>("logLines");
        QTest::newRow("unknown packet type")
            << QByteArray("0212345678") << false << QStringList { WARNING + "Uncknown packet type [02]" };
        QTest::newRow("unknown type f0 is -16")
            << QByteArray("f012345678") << false << QStringList { WARNING + "Uncknown packet type [-16]" };
        QTest::newRow("too short") << QByteArray("011234") << false
                                   << QStringList { WARNING + "Invalid size of packet [01]. Expect [5], real [3]" };
        QTest::newRow("too long") << QByteArray("011234567800") << false
                                  << QStringList { WARNING + "Invalid size of packet [01]. Expect [5], real [6]" };
        QTest::newRow("empty payload") << QByteArray() << false
                                       << QStringList { WARNING + "Empty payload from device [" + DEV_EUI + "]" };
    }
    void rejections()
    {
        QFETCH(QByteArray, payload);
        QFETCH(bool, accepted);
        QFETCH(QStringList, logLines);
        SDeviceTemplate t = templateOf(1, 5, { field(1, 16, "uinteger", 16) });
        addServerValue(t, "ts", 0, 32);
        FakeParams fake;
        const SDecodedUplink decoded = decodeUplink(uplinkWith(payload.constData()), t, deviceAt(0), fake.source());
        QCOMPARE(decoded.accepted, accepted);
        QCOMPARE(decoded.logLines, logLines);
        // Dropped whole: not even the time stamp.
        QVERIFY(decoded.data.registers.isEmpty());
    }

    void skippedFields_data()
    {
        QTest::addColumn<SDevicePacketField>("bad");
        QTest::addColumn<QString>("logLine");
        QTest::newRow("bit bias 4") << field(1, 16, "uinteger", 16, "B", 6, 4)
                                    << "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional";
        QTest::newRow("bit size 12") << field(1, 12, "uinteger", 16, "B", 6)
                                     << "ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional";
        QTest::newRow("24 bits") << field(1, 24, "uinteger", 32, "B", 6) << WARNING + "Unsupport size of data [3]";
        QTest::newRow("boolean") << field(1, 8, "boolean", 16, "B", 6)
                                 << WARNING + "Unsupport data type [boolean], size [1]";
        QTest::newRow("double") << field(1, 32, "double", 32, "B", 6)
                                << WARNING + "Unsupport data type [double], size [4]";
        QTest::newRow("float of 16 bits") << field(1, 16, "float", 16, "B", 6)
                                          << WARNING + "Unsupport data type [float], size [2]";
        QTest::newRow("partly beyond") << field(4, 16, "uinteger", 16, "B", 6)
                                       << WARNING + "Field [B] lies outside the packet: bytes [4..5], packet size [5]";
        QTest::newRow("wholly beyond") << field(9, 64, "text", 64, "B", 6)
                                       << WARNING + "Field [B] lies outside the packet: bytes [9..16], packet size [5]";
        QTest::newRow("before the packet") << field(-1, 8, "integer", 16, "B",
            6) << WARNING + "Field [B] lies outside the packet: bytes [-1..-1], packet size [5]";
    }
    void skippedFields()
    {
        QFETCH(SDevicePacketField, bad);
        QFETCH(QString, logLine);
        // The skipped field sits between two good ones; decoding goes on past it.
        const SDeviceTemplate t
            = templateOf(1, 5, { field(1, 16, "uinteger", 16, "A", 0), bad, field(3, 16, "uinteger", 16, "C", 1) });
        FakeParams fake;
        const SDecodedUplink decoded = decodeUplink(uplinkWith("0134125678"), t, deviceAt(10), fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList { logLine });
        QCOMPARE(registersText(decoded.data.registers), QStringLiteral("0:1234:1234 1:7856:7856"));
    }

    void offsetsAtTheTopOfTheRange()
    {
        // The last register offset a value can have is 2^31 - 1; one past it is skipped,
        // and the parameter address is the true sum of start address and offset.
        const int top = std::numeric_limits<qint32>::max();
        const SDeviceTemplate t
            = templateOf(1, 9, { field(1, 32, "uinteger", 32, "A", top - 1), field(5, 32, "uinteger", 32, "B", top) });
        // Doubled there, by hand: 0x12345678 * 2 = 0x2468acf0.
        FakeParams fake;
        fake.params.insert(65535LL + top - 1, param(2, 0));
        const SDecodedUplink decoded
            = decodeUplink(uplinkWith("017856341204030201"), t, deviceAt(65535), fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(registersText(decoded.data.registers), QStringLiteral("2147483646:2468:2468acf0 2147483647:acf0:"));
        QCOMPARE(
            decoded.logLines, QStringList { WARNING + "Value [B] lies outside the register map: offset [2147483647]" });
    }

    void highPacketTypes_data()
    {
        QTest::addColumn<int>("templateType");
        QTest::addColumn<QByteArray>("payload");
        QTest::newRow("200 matches c8") << 200 << QByteArray("c80100");
        QTest::newRow("-56 matches c8") << -56 << QByteArray("c80100");
        QTest::newRow("128 matches 80") << 128 << QByteArray("800100");
        QTest::newRow("255 matches ff") << 255 << QByteArray("ff0100");
        QTest::newRow("127 matches 7f") << 127 << QByteArray("7f0100");
    }
    void highPacketTypes()
    {
        QFETCH(int, templateType);
        QFETCH(QByteArray, payload);
        const QByteArray json = R"({ "app_eui": "aa", "dev_type": "T", "device_packets": [ { "packet_type": )"
            + QByteArray::number(templateType) + R"(, "packet_size": 3, "packet_fields": [
                { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "uinteger",
                  "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "V" } ] } ] })";
        const SDeviceTemplate t(QJsonDocument::fromJson(json).object());
        QVERIFY(t.valid);
        const SDecodedUplink decoded
            = decodeUplink(uplinkWith(payload.constData()), t, deviceAt(0), FakeParams().source());
        QVERIFY(decoded.accepted);
        QCOMPARE(registersText(decoded.data.registers), QStringLiteral("0:0001:0001"));
    }

    void noTemplateDropsTheUplink()
    {
        const SDecodedUplink decoded
            = decodeUplink(uplinkWith("0100"), SDeviceTemplate(), deviceAt(0), FakeParams().source());
        QVERIFY(!decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList { WARNING + "Uncknown packet type [01]" });
    }
};

QTEST_GUILESS_MAIN(TestUplinkDecoder)
#include "tst_uplinkdecoder.moc"
