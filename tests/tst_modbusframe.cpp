#include <QtTest>

#include "app/clogfile.h"
#include "modbus/crequestassembler.h"
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
        QTest::newRow("too short dropped, next answered")
            << hex("0003 0000 0002 01 03") + two << QList<int>{20} << QList<int>{2} << open << 0;
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
        CRequestAssembler assembler;
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
        CRequestAssembler assembler;
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
        QTest::newRow("length 2") << hex("0001 0000 0002 01 03") << EFrameState::TOO_SHORT << 8;
        QTest::newRow("length 5") << hex("0001 0000 0005 01 03 0000 00") << EFrameState::TOO_SHORT << 11;
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
