#include <QMetaType>
#include <QtTest>

#include "app/globaltables.h"
#include "server/apitypes.h"
#include "server/serverstatus.h"

class TestGlobalTables : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { fillGlobalTables(); }

    void columnListsInTableOrder()
    {
        QCOMPARE(devicesColumns, QStringList({"device", "name", "app_eui", "dev_eui", "port", "start_addr"}));
        QCOMPARE(devDataColumns,
                 QStringList({"device", "port", "reg_addr", "start_value", "grating_period", "bit_size", "data_type",
                              "value", "full_value", "time", "name", "unit", "parent", "source"}));
    }

    void keywordTableInAscendingKeyOrder()
    {
        QCOMPARE(serverKeywordTable.keys(), QStringList({"age", "devEui", "downlink", "errors", "fcnt", "gatewayId", "lost",
                                                             "rssi", "snr", "ts", "uplinks"}));
    }

    void keywordRows_data()
    {
        QTest::addColumn<QString>("keyword");
        QTest::addColumn<int>("bitSize");
        QTest::addColumn<QString>("dataType");
        QTest::newRow("ts") << "ts" << 64 << "uinteger";
        QTest::newRow("rssi") << "rssi" << 16 << "integer";
        QTest::newRow("gatewayId") << "gatewayId" << 64 << "text";
        QTest::newRow("devEui") << "devEui" << 64 << "text";
        QTest::newRow("snr") << "snr" << 16 << "integer";
        QTest::newRow("fcnt") << "fcnt" << 32 << "uinteger";
        QTest::newRow("age") << "age" << 32 << "uinteger";
        QTest::newRow("uplinks") << "uplinks" << 32 << "uinteger";
        QTest::newRow("lost") << "lost" << 32 << "uinteger";
        QTest::newRow("errors") << "errors" << 32 << "uinteger";
    }
    void keywordRows()
    {
        QFETCH(QString, keyword);
        QFETCH(int, bitSize);
        QFETCH(QString, dataType);
        QVERIFY(serverKeywordTable.contains(keyword));
        const SServerKeyword row = serverKeywordTable.value(keyword);
        QCOMPARE(row.keyword, keyword);
        QCOMPARE(row.bitSize, bitSize);
        QCOMPARE(row.dataType, dataType);
    }

    void keywordsAreCaseSensitive() { QVERIFY(!serverKeywordTable.contains(QStringLiteral("RSSI"))); }

    void packetTypeNames()
    {
        QCOMPARE(loraPacketTypes.size(), 25);
        QCOMPARE(loraPacketTypes.at(0), QStringLiteral("UNCONF_UP"));
        QCOMPARE(loraPacketTypes.at(2), QStringLiteral("CONF_UP"));
        QCOMPARE(loraPacketTypes.at(24), QStringLiteral("MAC_PROPRIETARY"));
    }

    void metatypesRegisteredUnderTheirNames()
    {
        registerServerMetaTypes();
        QCOMPARE(QMetaType::type("COMM::EServerStatus"), qMetaTypeId<COMM::EServerStatus>());
        QCOMPARE(QMetaType::type("QList<API::SServerDeviceInfo>"), qMetaTypeId<QList<API::SServerDeviceInfo>>());
        QCOMPARE(QMetaType::type("API::SApiDeviceData"), qMetaTypeId<API::SApiDeviceData>());
    }
};

QTEST_MAIN(TestGlobalTables)
#include "tst_globaltables.moc"
