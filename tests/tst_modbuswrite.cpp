#include <QtTest>

#include "modbus/modbuswrite.h"

Q_DECLARE_METATYPE(MODBUS::EException)

static QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}

// Write and coil-read frames as the Modbus Application Protocol lays them out; the
// expected bytes are written out by hand.
class TestModbusWrite : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<MODBUS::EException>("exception");
        QTest::addColumn<int>("address");
        QTest::addColumn<int>("count");
        QTest::addColumn<QVector<uint16_t>>("words");
        QTest::addColumn<bool>("coilOn");
        QTest::newRow("06 one register") << hex("0001 0000 0006 01 06 0028 0015") << MODBUS::NO_EXCEPTION << 40 << 1
                                         << QVector<uint16_t> { 0x15 } << false;
        QTest::newRow("16 two registers") << hex("0002 0000 000b 01 10 0028 0002 04 41ac 0000") << MODBUS::NO_EXCEPTION
                                          << 40 << 2 << QVector<uint16_t> { 0x41ac, 0 } << false;
        QTest::newRow("16 byte count not twice the quantity")
            << hex("0002 0000 000b 01 10 0028 0002 03 41ac 00") << MODBUS::ILLEGAL_DATA_VALUE << 0 << 0
            << QVector<uint16_t>() << false;
        QTest::newRow("16 values missing") << hex("0002 0000 0009 01 10 0028 0002 04 41") << MODBUS::ILLEGAL_DATA_VALUE
                                           << 0 << 0 << QVector<uint16_t>() << false;
        QTest::newRow("16 quantity 0") << hex("0002 0000 0007 01 10 0028 0000 00") << MODBUS::ILLEGAL_DATA_VALUE << 0
                                       << 0 << QVector<uint16_t>() << false;
        QTest::newRow("16 past 65535") << hex("0002 0000 000b 01 10 ffff 0002 04 0001 0002")
                                       << MODBUS::ILLEGAL_DATA_ADDRESS << 0 << 0 << QVector<uint16_t>() << false;
        QTest::newRow("05 on") << hex("0003 0000 0006 01 05 0003 ff00") << MODBUS::NO_EXCEPTION << 3 << 1
                               << QVector<uint16_t>() << true;
        QTest::newRow("05 off") << hex("0003 0000 0006 01 05 0003 0000") << MODBUS::NO_EXCEPTION << 3 << 1
                                << QVector<uint16_t>() << false;
        QTest::newRow("05 value neither on nor off")
            << hex("0003 0000 0006 01 05 0003 0001") << MODBUS::ILLEGAL_DATA_VALUE << 0 << 0 << QVector<uint16_t>()
            << false;
        QTest::newRow("01 ten coils") << hex("0004 0000 0006 01 01 0000 000a") << MODBUS::NO_EXCEPTION << 0 << 10
                                      << QVector<uint16_t>() << false;
        QTest::newRow("01 quantity 2001") << hex("0004 0000 0006 01 01 0000 07d1") << MODBUS::ILLEGAL_DATA_VALUE << 0
                                          << 0 << QVector<uint16_t>() << false;
        QTest::newRow("01 past 65535") << hex("0004 0000 0006 01 01 fffe 0003") << MODBUS::ILLEGAL_DATA_ADDRESS << 0
                                       << 0 << QVector<uint16_t>() << false;
    }

    void parse()
    {
        QFETCH(QByteArray, frame);
        QFETCH(MODBUS::EException, exception);
        MODBUS::SWriteRequest request;
        QCOMPARE(MODBUS::parseWriteRequest(frame, &request), exception);
        if (exception != MODBUS::NO_EXCEPTION)
            return;
        QTEST(int(request.address), "address");
        QTEST(int(request.count), "count");
        QTEST(request.words, "words");
        QTEST(request.coilOn, "coilOn");
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("06 echoes the request")
            << hex("0001 0000 0006 07 06 0028 0015") << hex("0001 0000 0006 07 06 0028 0015");
        QTest::newRow("05 echoes the request")
            << hex("0001 0000 0006 01 05 0003 ff00") << hex("0001 0000 0006 01 05 0003 ff00");
        QTest::newRow("16 answers address and quantity")
            << hex("0009 0000 000b 02 10 0028 0002 04 41ac 0000") << hex("0009 0000 0006 02 10 0028 0002");
    }

    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        MODBUS::SWriteRequest parsed;
        QCOMPARE(MODBUS::parseWriteRequest(request, &parsed), MODBUS::NO_EXCEPTION);
        QCOMPARE(MODBUS::writeAnswer(MODBUS::parseMbap(request), MODBUS::parseHeader(request), parsed).toHex(' '),
            answer.toHex(' '));
    }

    void coilsPackedLowBitFirst()
    {
        const QByteArray request = hex("0004 0000 0006 01 01 0000 000a");
        QVector<bool> states(10, false);
        states[0] = true;
        states[3] = true;
        states[9] = true;
        // Coils 0 and 3 in the first byte (0x09), coil 9 in bit 1 of the second (0x02).
        QCOMPARE(MODBUS::coilsAnswer(MODBUS::parseMbap(request), MODBUS::parseHeader(request), states).toHex(' '),
            hex("0004 0000 0005 01 01 02 09 02").toHex(' '));
    }

    void exactRange_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("index");
        QTest::newRow("the one-register command") << 40 << 1 << 0;
        QTest::newRow("the two-register command") << 42 << 2 << 1;
        QTest::newRow("half of it") << 42 << 1 << -1;
        QTest::newRow("its second half") << 43 << 1 << -1;
        QTest::newRow("both commands") << 40 << 4 << -1;
        QTest::newRow("no command") << 41 << 1 << -1;
    }

    void exactRange()
    {
        QFETCH(int, first);
        QFETCH(int, count);
        QTEST(MODBUS::exactRange({ { 40, 1 }, { 42, 2 } }, first, count), "index");
    }

    void writeAllow_data()
    {
        QTest::addColumn<QString>("setting");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<bool>("allowed");
        QTest::newRow("empty allows any") << ""
                                          << "192.0.2.7" << true;
        QTest::newRow("listed address") << "10.0.0.5, 192.168.1.0/24"
                                        << "10.0.0.5" << true;
        QTest::newRow("in the network") << "10.0.0.5, 192.168.1.0/24"
                                        << "192.168.1.200" << true;
        QTest::newRow("IPv4 peer on a dual-stack socket") << "192.168.1.0/24"
                                                          << "::ffff:192.168.1.9" << true;
        QTest::newRow("elsewhere") << "10.0.0.5, 192.168.1.0/24"
                                   << "10.0.0.6" << false;
        QTest::newRow("loopback not listed") << "10.0.0.5"
                                             << "127.0.0.1" << false;
    }

    void writeAllow()
    {
        QFETCH(QString, setting);
        QFETCH(QString, peer);
        MODBUS::WriteAllowList list;
        QString error;
        QVERIFY(MODBUS::parseWriteAllow(setting, &list, &error));
        QTEST(MODBUS::writeAllowed(list, QHostAddress(peer)), "allowed");
    }

    void writeAllowRefusesNonsense()
    {
        MODBUS::WriteAllowList list;
        QString error;
        QVERIFY(!MODBUS::parseWriteAllow(QStringLiteral("10.0.0.5, plant-net"), &list, &error));
        QCOMPARE(error, QStringLiteral("plant-net"));
        QVERIFY(!MODBUS::parseWriteAllow(QStringLiteral("10.0.0.0/40"), &list, &error));
    }
};

QTEST_APPLESS_MAIN(TestModbusWrite)
#include "tst_modbuswrite.moc"
