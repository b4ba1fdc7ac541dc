#include <QtTest>

#include "decodertestsupport.h"

// The network server's values an uplink carries (time, RSSI, SNR, frame counter ...) in their
// registers: word order, ranges, order of keywords, unknown keywords.
class TestServerValues : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { fillGlobalTables(); }


    void serverValuesWordOrder_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("registers");
        // ts 1700000000 s = 0x6553f100, fcnt 0x12345678, snr 7.5 -> 8
        QTest::newRow("ts") << "ts" << 32 << "4:f100:6553f100 5:6553:";
        QTest::newRow("fcnt") << "fcnt" << 32 << "4:5678:12345678 5:1234:";
        QTest::newRow("snr") << "snr" << 32 << "4:0008:00000008 5:0000:";
        QTest::newRow("fcnt in 16 bits") << "fcnt" << 16 << "4:5678:5678";
        QTest::newRow("gatewayId is text") << "gatewayId" << 32 << "4:1122:11223344 5:3344:";
    }
    void serverValuesWordOrder()
    {
        QFETCH(QString, keyword);
        QFETCH(int, width);
        QFETCH(QString, registers);
        SDeviceTemplate t = templateOf(1, 1, {});
        addServerValue(t, keyword, 4, width);
        DB::SDeviceRegMapDescription device = deviceAt(0);
        device.wordOrder = EWordOrder::Little;
        const SDecodedUplink decoded = decodeUplink(uplinkWith("01"), t, device, FakeParams().source());
        QVERIFY(decoded.accepted);
        QCOMPARE(registersText(decoded.data.registers), registers);
    }

    void bitBiasDoesNotMoveTheReadPosition()
    {
        const SDeviceTemplate t = templateOf(1, 3, { field(1, 16, "uinteger", 16, "F", 2, 8) });
        FakeParams fake;
        const SDecodedUplink decoded = decodeUplink(uplinkWith("013412"), t, deviceAt(0), fake.source());
        QCOMPARE(registersText(decoded.data.registers), QStringLiteral("2:1234:1234"));
    }

    void serverValues_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<int>("width");
        QTest::addColumn<double>("snr");
        QTest::addColumn<QString>("registers");
        // ts 1700000000123 ms = 1700000000 s = 0x6553f100
        QTest::newRow("ts 64") << "ts" << 64 << 0.0 << "4:6553:6553f100 5:f100:";
        QTest::newRow("ts 33") << "ts" << 33 << 0.0 << "4:6553:6553f100 5:f100:";
        QTest::newRow("ts 32") << "ts" << 32 << 0.0 << "4:6553:6553f100 5:f100:";
        QTest::newRow("ts 17") << "ts" << 17 << 0.0 << "4:6553:6553f100 5:f100:";
        QTest::newRow("ts 16 keeps low seconds") << "ts" << 16 << 0.0 << "4:f100:f100";
        QTest::newRow("rssi -100") << "rssi" << 16 << 0.0 << "4:ff9c:ff9c";
        QTest::newRow("rssi 32 still one") << "rssi" << 32 << 0.0 << "4:ff9c:ff9c";
        QTest::newRow("snr 7.5 up to 8") << "snr" << 32 << 7.5 << "4:0000:00000008 5:0008:";
        QTest::newRow("snr 7.5 w16") << "snr" << 16 << 7.5 << "4:0008:0008";
        QTest::newRow("snr -7.5 up to -7") << "snr" << 32 << -7.5 << "4:ffff:fffffff9 5:fff9:";
        QTest::newRow("snr -7.5 w16") << "snr" << 16 << -7.5 << "4:fff9:fff9";
        QTest::newRow("snr -7.25 w16") << "snr" << 16 << -7.25 << "4:fff9:fff9";
        QTest::newRow("snr 7.4 w16") << "snr" << 16 << 7.4 << "4:0007:0007";
        QTest::newRow("fcnt 32") << "fcnt" << 32 << 0.0 << "4:1234:12345678 5:5678:";
        QTest::newRow("fcnt 16") << "fcnt" << 16 << 0.0 << "4:5678:5678";
        QTest::newRow("gatewayId 64") << "gatewayId" << 64 << 0.0 << "4:AABB:AABBCCDD11223344 5:CCDD: 6:1122: 7:3344:";
        QTest::newRow("gatewayId 48") << "gatewayId" << 48 << 0.0 << "4:CCDD:CCDD11223344 5:1122: 6:3344:";
        QTest::newRow("gatewayId 40 chars 5-16") << "gatewayId" << 40 << 0.0 << "4:CCDD:CCDD11223344 5:1122: 6:3344:";
        QTest::newRow("gatewayId 32") << "gatewayId" << 32 << 0.0 << "4:1122:11223344 5:3344:";
        QTest::newRow("gatewayId 16") << "gatewayId" << 16 << 0.0 << "4:3344:3344";
        QTest::newRow("devEui 64") << "devEui" << 64 << 0.0 << "4:70B3:70B3D5E75F600001 5:D5E7: 6:5F60: 7:0001:";
        QTest::newRow("devEui 48") << "devEui" << 48 << 0.0 << "4:D5E7:D5E75F600001 5:5F60: 6:0001:";
        QTest::newRow("devEui 32") << "devEui" << 32 << 0.0 << "4:5F60:5F600001 5:0001:";
        QTest::newRow("devEui 16") << "devEui" << 16 << 0.0 << "4:0001:0001";
    }
    void serverValues()
    {
        QFETCH(QString, keyword);
        QFETCH(int, width);
        QFETCH(double, snr);
        QFETCH(QString, registers);
        SDeviceTemplate t = templateOf(1, 1, {});
        addServerValue(t, keyword, 4, width);
        API::SApiDeviceData uplink = uplinkWith("01");
        uplink.snr = snr;
        // Server values are stored as received: a scaling at their address does not count.
        FakeParams fake;
        fake.params.insert(4, param(3, 1));
        const SDecodedUplink decoded = decodeUplink(uplink, t, deviceAt(0), fake.source());
        QVERIFY(decoded.accepted);
        QCOMPARE(registersText(decoded.data.registers), registers);
    }

    void serverValuesOutOfRange_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<quint64>("ts");
        QTest::addColumn<QString>("registers");
        // 170000000100 s = 0x27_94ca2464: the registers and the full value hold the same low 32 bits.
        QTest::newRow("ts past 32 bits of seconds") << "ts" << quint64(170000000100123ULL) << "4:94ca:94ca2464 5:2464:";
        QTest::newRow("ts of 2^32 s wraps to 0") << "ts" << quint64(4294967296000ULL) << "4:0000:00000000 5:0000:";
    }
    void serverValuesOutOfRange()
    {
        QFETCH(QString, keyword);
        QFETCH(quint64, ts);
        QFETCH(QString, registers);
        SDeviceTemplate t = templateOf(1, 1, {});
        addServerValue(t, keyword, 4, 32);
        API::SApiDeviceData uplink = uplinkWith("01");
        uplink.ts = ts;
        const SDecodedUplink decoded = decodeUplink(uplink, t, deviceAt(0), FakeParams().source());
        QVERIFY(decoded.accepted);
        QCOMPARE(registersText(decoded.data.registers), registers);
    }

    void serverValuesInKeywordOrder()
    {
        SDeviceTemplate t = templateOf(1, 1, {});
        addServerValue(t, "ts", 0, 32);
        addServerValue(t, "rssi", 2, 16);
        addServerValue(t, "fcnt", 3, 16);
        const SDecodedUplink decoded = decodeUplink(uplinkWith("01"), t, deviceAt(0), FakeParams().source());
        QCOMPARE(
            registersText(decoded.data.registers), QStringLiteral("3:5678:5678 2:ff9c:ff9c 0:6553:6553f100 1:f100:"));
    }


    void unknownServerKeywordIsSkipped()
    {
        SDeviceTemplate t = templateOf(1, 1, {});
        addServerValue(t, "RSSI", 0, 16);
        addServerValue(t, "rssi", 1, 16);
        const SDecodedUplink decoded = decodeUplink(uplinkWith("01"), t, deviceAt(0), FakeParams().source());
        QVERIFY(decoded.accepted);
        QCOMPARE(decoded.logLines, QStringList { WARNING + "Uncknown DataCode [RSSI]!" });
        QCOMPARE(registersText(decoded.data.registers), QStringLiteral("1:ff9c:ff9c"));
    }
};

QTEST_GUILESS_MAIN(TestServerValues)
#include "tst_servervalues.moc"
