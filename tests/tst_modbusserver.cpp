#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include "modbusservertestsupport.h"

using namespace ModbusTest;
using namespace StoreTest;

// One port's server over real TCP: frames cut, checked and answered, whatever the peer sends,
// and real Modbus clients reading it.
class TestModbusServer : public CModbusServerFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { startFixture(); }
    void cleanupTestCase() { stopFixture(); }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("holding 10..12")
            << hex("0001 0000 0006 01 03 000a 0003") << hex("0001 0000 0009 01 03 06 0102 0000 ff9c");
        QTest::newRow("input 10..12")
            << hex("0002 0000 0006 01 04 000a 0003") << hex("0002 0000 0009 01 04 06 0102 0000 ff9c");
        QTest::newRow("only middle stored")
            << hex("0003 0000 0006 01 03 0014 0003") << hex("0003 0000 0009 01 03 06 0000 abcd 0000");
        QTest::newRow("protocol and unit echoed")
            << hex("000c 1234 0006 ff 03 000a 0001") << hex("000c 1234 0005 ff 03 02 0102");
        QTest::newRow("last address") << hex("000d 0000 0006 01 03 ffff 0001") << hex("000d 0000 0005 01 03 02 7fff");
        QTest::newRow("longer frame read from its first 12 bytes")
            << hex("000e 0000 0008 01 03 000a 0001 eeee") << hex("000e 0000 0005 01 03 02 0102");
        for (int function : {0x01, 0x02, 0x05, 0x06, 0x0f, 0x10}) {
            QTest::addRow("function %02x", function)
                << hex("0010 0000 0006 01 00 0000 0001").replace(7, 1, QByteArray(1, char(function)))
                << hex("0010 0000 0003 01 00 01").replace(7, 1, QByteArray(1, char(function | 0x80)));
        }
        QTest::newRow("quantity 0") << hex("0011 0000 0006 01 03 000a 0000") << hex("0011 0000 0003 01 83 03");
        QTest::newRow("quantity 126") << hex("0012 0000 0006 01 04 000a 007e") << hex("0012 0000 0003 01 84 03");
        QTest::newRow("past 65535") << hex("0013 0000 0006 01 03 ffff 0002") << hex("0013 0000 0003 01 83 02");
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QCOMPARE(ask(request, answer.size()).toHex(), answer.toHex());
    }

    void longestReadAndLongestFrame()
    {
        const QByteArray full = ask(hex("0020 0000 0006 01 03 0000 007d"), 9 + 250);
        QCOMPARE(full.size(), 259);
        QCOMPARE(full.left(9).toHex(), hex("0020 0000 00fd 01 03 fa").toHex());
        QCOMPARE(full.mid(9 + 20, 2).toHex(), hex("0102").toHex());

        // Length 254 is the largest legal frame: answered, not closed.
        const QByteArray longest = hex("0021 0000 00fe 01 03 000a 0001") + QByteArray(248, '\x55');
        QCOMPARE(longest.size(), 260);
        QCOMPARE(ask(longest, 11).toHex(), hex("0021 0000 0005 01 03 02 0102").toHex());
    }

    void splitRequests_data()
    {
        QTest::addColumn<int>("split");
        QTest::addColumn<QString>("message");
        QTest::newRow("after 3 bytes") << 3 << incomplete1;
        QTest::newRow("after 8 bytes") << 8 << incomplete2;
    }
    void splitRequests()
    {
        QFETCH(int, split);
        QFETCH(QString, message);
        const QByteArray request = hex("0030 0000 0006 01 03 000a 0001");
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QCOMPARE(client.write(request.left(split)), qint64(split));
        QTRY_COMPARE(connectionLines(log), QStringList{message});
        QCOMPARE(client.write(request.mid(split)), qint64(request.size() - split));
        QCOMPARE(readExactly(client, 11).toHex(), hex("0030 0000 0005 01 03 02 0102").toHex());
        QCOMPARE(connectionLines(log), QStringList{message});
    }

    void joinedAndStrayBytes()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        // Two requests in one segment, then four bytes that start a third.
        QVERIFY(client.write(hex("0005 0000 0006 01 03 000a 0001 0006 0000 0006 01 04 000c 0001 0007 0000")) == 28);
        QCOMPARE(readExactly(client, 22).toHex(),
                 hex("0005 0000 0005 01 03 02 0102 0006 0000 0005 01 04 02 ff9c").toHex());
        QTRY_COMPARE(connectionLines(log), QStringList{incomplete1});
        QVERIFY(client.write(hex("0006 01 03 0014 0002")) == 8);
        QCOMPARE(readExactly(client, 13).toHex(), hex("0007 0000 0007 01 03 04 0000 abcd").toHex());
    }

    // Only a frame without a function code cannot be answered; a read cut short gets 03.
    void frameWithoutFunctionDroppedUnanswered()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QVERIFY(client.write(hex("0008 0000 0001 01")) == 7);
        QTRY_COMPARE(connectionLines(log), (QStringList{incomplete3, incomplete1}));
        QVERIFY(client.write(hex("000a 0000 0002 01 03")) == 8);
        QCOMPARE(readExactly(client, 9).toHex(), hex("000a 0000 0003 01 83 03").toHex());
        QVERIFY(client.write(hex("0009 0000 0006 01 03 000a 0001")) == 12);
        QCOMPARE(readExactly(client, 11).toHex(), hex("0009 0000 0005 01 03 02 0102").toHex());
    }

    // Ten frames without a function code, each followed by a read, all in one segment per write.
    void badFramesLoggedOncePerSecondPerClient()
    {
        CModbusConnections limited{SModbusLimits(), &fakeClock, CLogFile::getInstance(QString())};
        std::unique_ptr<CDeviceHandler> own = startServer(StoreTest::workingDirectoryStore(), limited);
        QVERIFY(own->isListening());
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        const QByteArray bad = hex("0008 0000 0001 01");
        const QByteArray read = hex("0009 0000 0006 01 03 000a 0001");
        const QByteArray answer = hex("0009 0000 0005 01 03 02 0000");

        QTcpSocket noisy;
        QVERIFY(connectClient(noisy, own->getPort()));
        QVERIFY(noisy.write(bad.repeated(10) + read) == 10 * 7 + 12);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), QStringList{incomplete3});

        fakeClock.advance(999);
        QVERIFY(noisy.write(bad + read) == 19);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), QStringList{incomplete3});

        // Another client has a second of its own.
        QTcpSocket other;
        QVERIFY(connectClient(other, own->getPort()));
        QVERIFY(other.write(bad + read) == 19);
        QCOMPARE(readExactly(other, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), (QStringList{incomplete3, incomplete3}));

        fakeClock.advance(1);
        QVERIFY(noisy.write(bad.repeated(2) + read) == 26);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        const QStringList lines = connectionLines(log);
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(2), incomplete3);
        QVERIFY2(QRegularExpression("^\\[CConnectionHandler\\] \\[10\\] more lines of client \\[127\\.0\\.0\\.1:"
                                    + QString::number(noisy.localPort()) + "\\] left out$")
                     .match(lines.at(3))
                     .hasMatch(),
                 qPrintable(lines.at(3)));
    }

    void oversizedLengthClosesConnection()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy closed(&client, &QTcpSocket::disconnected);
        QVERIFY(client.write(hex("000b 0000 00ff 01 03")) == 8);
        QVERIFY(closed.wait(5000));
        QCOMPARE(client.readAll(), QByteArray());
    }

    void mbpollReadsRegisters_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("holding") << "4:hex";
        QTest::newRow("input") << "3:hex";
    }
    void mbpollReadsRegisters()
    {
        QFETCH(QString, type);
        const QString missing = PeerTest::missingProgram("mbpoll", "mbpoll");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString output = QString::fromLatin1(
            runClient("mbpoll", {"-m", "tcp", "-p", QString::number(port), "-a", "1", "-r", "10", "-c", "3", "-t",
                                 type, "-1", "-0", "127.0.0.1"}));
        QVERIFY2(QRegularExpression("\\[10\\]:\\s+0x0102\\b").match(output).hasMatch(), qPrintable(output));
        QVERIFY2(QRegularExpression("\\[11\\]:\\s+0x0000\\b").match(output).hasMatch(), qPrintable(output));
        QVERIFY2(QRegularExpression("\\[12\\]:\\s+0xFF9C\\b", QRegularExpression::CaseInsensitiveOption)
                     .match(output)
                     .hasMatch(),
                 qPrintable(output));
    }

    void pymodbusReadsRegisters()
    {
        const QString missing = PeerTest::missingPythonModule(
            "pymodbus.client", "python3-pymodbus (and python3-serial-asyncio, which its client imports)");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString script = QStringLiteral(
            "import sys\n"
            "from pymodbus.client import ModbusTcpClient\n"
            "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), timeout=3)\n"
            "assert c.connect()\n"
            "h = c.read_holding_registers(10, 3, slave=1)\n"
            "i = c.read_input_registers(20, 3, slave=1)\n"
            "print('holding', h.registers)\n"
            "print('input', i.registers)\n"
            "print('shared port', c.read_holding_registers(39, 4, slave=1).registers)\n"
            "print('coils', c.read_coils(10, 1, slave=1).exception_code)\n"
            "print('write coil', c.write_coil(10, True, slave=1).exception_code)\n"
            "print('write register', c.write_register(10, 7, slave=1).exception_code)\n"
            "print('write registers', c.write_registers(10, [7, 8], slave=1).exception_code)\n"
            "print('quantity 0', c.read_holding_registers(10, 0, slave=1).exception_code)\n"
            "print('quantity 126', c.read_holding_registers(10, 126, slave=1).exception_code)\n"
            "print('quantity 125', len(c.read_holding_registers(0, 125, slave=1).registers))\n"
            "c.close()\n");
        const QString output =
            QString::fromLatin1(runClient("/usr/bin/python3", {"-c", script, QString::number(port)}));
        QVERIFY2(output.contains("holding [258, 0, 65436]"), qPrintable(output));
        QVERIFY2(output.contains("input [0, 43981, 0]"), qPrintable(output));
        QVERIFY2(output.contains("shared port [0, 0, 4660, 0]"), qPrintable(output));
        for (const char *refused : {"coils 1", "write coil 1", "write register 1", "write registers 1", "quantity 0 3",
                                    "quantity 126 3"})
            QVERIFY2(output.contains(refused), qPrintable(output));
        QVERIFY2(output.contains("quantity 125 125"), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestModbusServer)
#include "tst_modbusserver.moc"
