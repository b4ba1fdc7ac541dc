#include <QtTest>

#include "app/clogfile.h"
#include "modbus/crequestassembler.h"
#include "modbus/deviceidentification.h"
#include "modbus/modbusframe.h"

using MODBUS::EFrameState;

Q_DECLARE_METATYPE(MODBUS::EFrameState)
Q_DECLARE_METATYPE(CRequestAssembler::EVerdict)

static QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

class TestModbusFrame : public QObject
{
    Q_OBJECT

    QTemporaryDir logDir;
    const QString startDir = QDir::currentPath();

private slots:
    void initTestCase()
    {
        QVERIFY(logDir.isValid());
        QVERIFY(QDir::setCurrent(logDir.path()));
        CLogFile::getInstance(QStringLiteral("history.log"));
    }
    void cleanupTestCase() { QDir::setCurrent(startDir); }

    void reassembly_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<QList<int>>("reads");
        QTest::addColumn<QList<int>>("answered");
        QTest::addColumn<CRequestAssembler::EVerdict>("verdict");
        QTest::addColumn<int>("pending");
        const QByteArray one = hex("0001 0000 0006 01 03 0000 0001");
        const QByteArray two = hex("0002 0000 0006 01 04 0010 0002");
        const auto open = CRequestAssembler::EVerdict::KEEP_OPEN;
        QTest::newRow("one read") << one << QList<int>{12} << QList<int>{1} << open << 0;
        QTest::newRow("split in the header") << one << QList<int>{3, 9} << QList<int>{1} << open << 0;
        QTest::newRow("byte by byte") << one << QList<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1} << QList<int>{1} << open << 0;
        QTest::newRow("two in one read") << one + two << QList<int>{24} << QList<int>{1, 2} << open << 0;
        QTest::newRow("one and a half") << one + two << QList<int>{17} << QList<int>{1} << open << 5;
        QTest::newRow("empty read between") << one + two << QList<int>{7, 0, 17} << QList<int>{1, 2} << open << 0;
        QTest::newRow("no function code dropped, next answered")
            << hex("0003 0000 0001 01") + two << QList<int>{19} << QList<int>{2} << open << 0;
        QTest::newRow("short frame answered too")
            << hex("0003 0000 0002 01 07") + two << QList<int>{20} << QList<int>{3, 2} << open << 0;
        QTest::newRow("too long closes after the frame before")
            << one + hex("0006 0000 00ff") << QList<int>{10, 8} << QList<int>{1} << CRequestAssembler::EVerdict::CLOSE
            << 0;
    }
    void reassembly()
    {
        QFETCH(QByteArray, stream);
        QFETCH(QList<int>, reads);
        QFETCH(QList<int>, answered);
        QFETCH(CRequestAssembler::EVerdict, verdict);
        QFETCH(int, pending);
        CRequestAssembler assembler([](const QString &) {});
        QList<int> ids;
        const auto answer = [&ids](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &) {
            ids << _mbap.transactionId;
        };
        CRequestAssembler::EVerdict last = CRequestAssembler::EVerdict::KEEP_OPEN;
        int at = 0;
        for (const int length : reads) {
            last = assembler.feed(stream.mid(at, length), answer);
            at += length;
        }
        QCOMPARE(ids, answered);
        QCOMPARE(last, verdict);
        QCOMPARE(assembler.pendingSize(), pending);
    }

    void holdKeepsFramesUntilReady()
    {
        const QByteArray one = hex("0001 0000 0006 01 03 0000 0001");
        const QByteArray two = hex("0002 0000 0006 01 04 0010 0002");
        const QByteArray three = hex("0003 0000 0006 01 03 0020 0001");
        CRequestAssembler assembler([](const QString &) {});
        QList<int> ids;
        const auto answer = [&ids](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &) {
            ids << _mbap.transactionId;
        };
        int room = 1;
        const auto ready = [&room] { return room-- > 0; };
        QCOMPARE(assembler.feed(one + two + three.left(5), answer, ready), CRequestAssembler::EVerdict::HOLD);
        QCOMPARE(ids, QList<int>{1});
        QCOMPARE(assembler.pendingSize(), 12 + 5);
        room = 0;
        QCOMPARE(assembler.feed(QByteArray(), answer, ready), CRequestAssembler::EVerdict::HOLD);
        QCOMPARE(ids, QList<int>{1});
        room = 5;
        QCOMPARE(assembler.feed(QByteArray(), answer, ready), CRequestAssembler::EVerdict::KEEP_OPEN);
        QCOMPARE(ids, (QList<int>{1, 2}));
        QCOMPARE(assembler.pendingSize(), 5);
        QCOMPARE(assembler.feed(three.mid(5), answer, ready), CRequestAssembler::EVerdict::KEEP_OPEN);
        QCOMPARE(ids, (QList<int>{1, 2, 3}));
        QCOMPARE(assembler.pendingSize(), 0);
    }

    void frameState_data()
    {
        QTest::addColumn<QByteArray>("buffer");
        QTest::addColumn<EFrameState>("state");
        QTest::addColumn<int>("frameSize");
        QTest::newRow("empty") << QByteArray() << EFrameState::NEED_HEADER << 0;
        QTest::newRow("5 bytes") << hex("0001 0000 00") << EFrameState::NEED_HEADER << 0;
        QTest::newRow("header only") << hex("0001 0000 0006") << EFrameState::NEED_BODY << 12;
        QTest::newRow("one byte short") << hex("0001 0000 0006 01 03 000a 00") << EFrameState::NEED_BODY << 12;
        QTest::newRow("read request") << hex("0001 0000 0006 01 03 000a 0003") << EFrameState::COMPLETE << 12;
        QTest::newRow("request and more") << hex("0001 0000 0006 01 03 000a 0003 0002") << EFrameState::COMPLETE << 12;
        QTest::newRow("length 0") << hex("0001 0000 0000") << EFrameState::TOO_SHORT << 6;
        QTest::newRow("length 1: no function") << hex("0001 0000 0001 01") << EFrameState::TOO_SHORT << 7;
        QTest::newRow("length 2: answered") << hex("0001 0000 0002 01 07") << EFrameState::COMPLETE << 8;
        QTest::newRow("length 5: answered") << hex("0001 0000 0005 01 2b 0e 01 00") << EFrameState::COMPLETE << 11;
        QTest::newRow("length 254 waits") << hex("0001 0000 00fe 01 03") << EFrameState::NEED_BODY << 260;
        QTest::newRow("length 255") << hex("0001 0000 00ff") << EFrameState::TOO_LONG << 261;
        QTest::newRow("length 0xffff") << hex("0001 0000 ffff") << EFrameState::TOO_LONG << 65541;
    }
    void frameState()
    {
        QFETCH(QByteArray, buffer);
        QFETCH(EFrameState, state);
        QFETCH(int, frameSize);
        const MODBUS::SFrameCheck check = MODBUS::checkFrame(buffer);
        QCOMPARE(check.state, state);
        if (state != EFrameState::NEED_HEADER)
            QCOMPARE(check.frameSize, frameSize);
    }

    void fieldsAreBigEndian()
    {
        const QByteArray frame = hex("1234 5678 0006 ff 04 fffe 007d");
        const SModbusMBAP mbap = MODBUS::parseMbap(frame);
        QCOMPARE(mbap.transactionId, uint16_t(0x1234));
        QCOMPARE(mbap.protocolId, uint16_t(0x5678));
        QCOMPARE(mbap.length, uint16_t(6));
        const SModbusTcpPacketHeader header = MODBUS::parseHeader(frame);
        QCOMPARE(header.unitId, uint8_t(0xff));
        QCOMPARE(header.functionCode, uint8_t(0x04));
        QCOMPARE(header.startAddress, uint16_t(0xfffe));
        QCOMPARE(header.quantity, uint16_t(125));
    }

    void requestCheck_data()
    {
        QTest::addColumn<int>("function");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("quantity");
        QTest::addColumn<int>("exception");
        for (int function : {0x01, 0x02, 0x05, 0x06, 0x0f, 0x10, 0x00, 0x83})
            QTest::addRow("function %02x", function) << function << 0 << 1 << 1;
        QTest::newRow("holding") << 3 << 10 << 3 << 0;
        QTest::newRow("input") << 4 << 10 << 3 << 0;
        QTest::newRow("quantity 0") << 3 << 10 << 0 << 3;
        QTest::newRow("quantity 125") << 3 << 0 << 125 << 0;
        QTest::newRow("quantity 126") << 4 << 0 << 126 << 3;
        QTest::newRow("last address") << 3 << 65535 << 1 << 0;
        QTest::newRow("past last address") << 3 << 65535 << 2 << 2;
        QTest::newRow("125 ending at 65535") << 3 << 65411 << 125 << 0;
        QTest::newRow("125 ending at 65536") << 4 << 65412 << 125 << 2;
        QTest::newRow("bad quantity before bad range") << 3 << 65535 << 200 << 3;
    }
    void requestCheck()
    {
        QFETCH(int, function);
        QFETCH(int, start);
        QFETCH(int, quantity);
        QFETCH(int, exception);
        const SModbusTcpPacketHeader header{1, uint8_t(function), uint16_t(start), uint16_t(quantity)};
        QCOMPARE(int(MODBUS::checkRequest(header)), exception);
    }

    // Every complete frame gets an answer: a function not served gets 01, a read too short to
    // hold its fields gets 03, instead of leaving the client to its time-out.
    void shortFramesAreAnswered_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("07 read exception status") << hex("0007 0000 0002 01 07") << hex("0007 0000 0003 01 87 01");
        QTest::newRow("0b comm event counter") << hex("0008 0000 0002 05 0b") << hex("0008 0000 0003 05 8b 01");
        QTest::newRow("0c comm event log") << hex("0009 0000 0002 01 0c") << hex("0009 0000 0003 01 8c 01");
        QTest::newRow("11 report server id") << hex("000a 0000 0002 01 11") << hex("000a 0000 0003 01 91 01");
        QTest::newRow("14 read file record") << hex("000b 0000 0003 01 14 00") << hex("000b 0000 0003 01 94 01");
        QTest::newRow("03 cut after its address") << hex("000c 0000 0004 01 03 0000") << hex("000c 0000 0003 01 83 03");
        QTest::newRow("04 without fields") << hex("000d 0000 0002 01 04") << hex("000d 0000 0003 01 84 03");
    }
    void shortFramesAreAnswered()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QCOMPARE(MODBUS::checkFrame(request).state, MODBUS::EFrameState::COMPLETE);
        const SModbusMBAP mbap = MODBUS::parseMbap(request);
        const SModbusTcpPacketHeader header = MODBUS::parseHeader(request);
        QCOMPARE(MODBUS::exceptionAnswer(mbap, header, MODBUS::checkRequest(header, mbap.length)).toHex(),
                 answer.toHex());
    }

    // Function 43 / MEI 14: objects 00 VendorName, 01 ProductCode, 02 MajorMinorRevision,
    // 04 ProductName, 05 ModelName, each as id, length, text; conformity 82.
    void deviceIdentification_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        const QByteArray kelvara = QByteArray("Kelvara").toHex();
        const QByteArray th = QByteArray("TH sensor").toHex();
        const QByteArray hall = QByteArray("hall").toHex();
        const QByteArray version = QByteArray(KELVARA_VERSION).toHex();
        const auto frame = [](const QByteArray &_pduHex) {
            const QByteArray pdu = QByteArray::fromHex(_pduHex);
            return hex("0021 0000") + char(0) + char(1 + pdu.size()) + char(0x07) + pdu;
        };
        QTest::newRow("basic stream") << hex("0021 0000 0005 07 2b 0e 01 00")
            << frame("2b0e01820000 03 00 07" + kelvara + "01 09" + th + "02 05" + version);
        QTest::newRow("regular stream") << hex("0021 0000 0005 07 2b 0e 02 00")
            << frame("2b0e02820000 05 00 07" + kelvara + "01 09" + th + "02 05" + version + "04 04" + hall + "05 04"
                     + hall);
        QTest::newRow("regular from ProductName") << hex("0021 0000 0005 07 2b 0e 02 04")
            << frame("2b0e02820000 02 04 04" + hall + "05 04" + hall);
        QTest::newRow("stream from an unknown object starts over") << hex("0021 0000 0005 07 2b 0e 01 03")
            << frame("2b0e01820000 03 00 07" + kelvara + "01 09" + th + "02 05" + version);
        QTest::newRow("individual ModelName") << hex("0021 0000 0005 07 2b 0e 04 05")
            << frame("2b0e04820000 01 05 04" + hall);
        QTest::newRow("individual unknown object") << hex("0021 0000 0005 07 2b 0e 04 06") << hex("0021 0000 0003 07 ab 02");
        QTest::newRow("extended not served") << hex("0021 0000 0005 07 2b 0e 03 00") << hex("0021 0000 0003 07 ab 03");
        QTest::newRow("other MEI type") << hex("0021 0000 0005 07 2b 0d 01 00") << hex("0021 0000 0003 07 ab 01");
        QTest::newRow("cut after the MEI type") << hex("0021 0000 0003 07 2b 0e") << hex("0021 0000 0003 07 ab 03");
    }
    void deviceIdentification()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        SDeviceIdentity identity;
        identity.productCode = QStringLiteral("TH sensor");
        identity.productName = QStringLiteral("hall");
        const QByteArray got = MODBUS::deviceIdentificationAnswer(MODBUS::parseMbap(request),
                                                                  MODBUS::parseHeader(request), request, identity);
        QCOMPARE(got.toHex(' '), answer.toHex(' '));
    }

    // The unit ID names a device, or the port's only device answers every unit; else the gateway.
    void identityOfAUnit()
    {
        CDeviceIdentities identities;
        QHash<uint16_t, QList<CDeviceIdentities::SEntry>> ports;
        ports[502] = { { 1, { "TH sensor", "hall A" } }, { 2, { "Meter", "hall B" } } };
        ports[503] = { { 0, { "Valve", "pump" } } };
        ports[504] = { { 0, { "Valve", "one" } }, { 0, { "Valve", "two" } } };
        identities.replace(ports);
        QCOMPARE(identities.identity(502, 2).productName, QStringLiteral("hall B"));
        QCOMPARE(identities.identity(502, 3).productCode, QStringLiteral("Kelvara gateway"));
        QCOMPARE(identities.identity(503, 9).productName, QStringLiteral("pump"));
        QCOMPARE(identities.identity(504, 1).productName, QStringLiteral("Kelvara gateway"));
        QCOMPARE(identities.identity(505, 0).productName, QStringLiteral("Kelvara gateway"));
    }

    void readAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("registers"); // address/value pairs, big-endian
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("three registers")
            << hex("0001 0000 0006 01 03 000a 0003") << hex("000c ff9c 000a 0102 000b 0000")
            << hex("0001 0000 0009 01 03 06 0102 0000 ff9c");
        QTest::newRow("input, ids echoed")
            << hex("beef 1234 0006 ff 04 0000 0001") << hex("0000 abcd") << hex("beef 1234 0005 ff 04 02 abcd");
        QTest::newRow("no registers") << hex("0001 0000 0006 01 03 000a 0000") << QByteArray()
                                      << hex("0001 0000 0003 01 03 00");
    }
    void readAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, registers);
        QFETCH(QByteArray, answer);
        QMap<uint16_t, uint16_t> data;
        for (int i = 0; i + 3 < registers.size(); i += 4) {
            const auto word = [&](int at) { return uint16_t(uint8_t(registers[at]) << 8 | uint8_t(registers[at + 1])); };
            data.insert(word(i), word(i + 2));
        }
        QCOMPARE(MODBUS::readAnswer(MODBUS::parseMbap(request), MODBUS::parseHeader(request), data).toHex(),
                 answer.toHex());
    }

    // The answer written into a reused buffer is byte for byte the one built afresh, whatever
    // the buffer held before (a longer answer here).
    void readAnswerIntoReusedBuffer_data() { readAnswer_data(); }
    void readAnswerIntoReusedBuffer()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, registers);
        QFETCH(QByteArray, answer);
        const MODBUS::SFrameCheck check = MODBUS::checkFrame(request);
        QCOMPARE(check.state, MODBUS::EFrameState::COMPLETE);
        const SModbusTcpPacketHeader header = MODBUS::parseHeader(request);
        QVector<uint16_t> words(header.quantity, 0);
        for (int i = 0; i + 3 < registers.size(); i += 4) {
            const auto word = [&](int at) { return uint16_t(uint8_t(registers[at]) << 8 | uint8_t(registers[at + 1])); };
            const int offset = word(i) - header.startAddress;
            if (offset >= 0 && offset < words.size())
                words[offset] = word(i + 2);
        }
        QByteArray buffer(300, '\x55');
        MODBUS::writeReadAnswer(buffer, MODBUS::parseMbap(request), header, words.constData(), words.size());
        QCOMPARE(buffer.toHex(), answer.toHex());
    }

    void fullReadAnswerLength()
    {
        QMap<uint16_t, uint16_t> data;
        for (uint16_t a = 0; a < 125; ++a)
            data.insert(a, 0x0101);
        const QByteArray request = hex("0001 0000 0006 01 03 0000 007d");
        const QByteArray answer = MODBUS::readAnswer(MODBUS::parseMbap(request), MODBUS::parseHeader(request), data);
        QCOMPARE(answer.size(), 9 + 250);
        QCOMPARE(answer.left(11).toHex(), hex("0001 0000 00fd 01 03 fa 0101").toHex());
    }

    void exceptionAnswer_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("illegal function") << hex("1234 abcd 0006 ff 10 0000 0001") << 1 << hex("1234 abcd 0003 ff 90 01");
        QTest::newRow("illegal address") << hex("0001 0000 0006 01 03 ffff 0002") << 2 << hex("0001 0000 0003 01 83 02");
        QTest::newRow("illegal value") << hex("0001 0000 0006 01 04 0000 0000") << 3 << hex("0001 0000 0003 01 84 03");
        QTest::newRow("device failure") << hex("0002 0000 0006 07 03 0000 0001") << 4 << hex("0002 0000 0003 07 83 04");
    }
    void exceptionAnswer()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, code);
        QFETCH(QByteArray, answer);
        QCOMPARE(MODBUS::exceptionAnswer(MODBUS::parseMbap(request), MODBUS::parseHeader(request),
                                         MODBUS::EException(code))
                     .toHex(),
                 answer.toHex());
    }
};

QTEST_APPLESS_MAIN(TestModbusFrame)
#include "tst_modbusframe.moc"
