#include <QJsonObject>
#include <QtTest>

#include "server/apimessages.h"
#include "server/apitypes.h"
#include "server/creconnectbackoff.h"
#include "server/refuseduplinklog.h"

// The JSON of the network server's messages, read and written without a socket.
class TestServerApi : public QObject
{
    Q_OBJECT

private:
    static QJsonObject object(const QByteArray &_json)
    {
        QJsonObject obj;
        if (!API::parseMessage(QString::fromUtf8(_json), obj))
            qWarning("test input is not a JSON object: %s", _json.constData());
        return obj;
    }

private slots:
    void authRequestEscapesText()
    {
        // Quote, backslash and a non-ASCII letter as typed by the operator.
        const QString text = API::authRequestMessage(QStringLiteral("op"), QStringLiteral("p\"w\\\u00e4"));
        QCOMPARE(
            text.toUtf8(), QByteArray("{\"cmd\":\"auth_req\",\"login\":\"op\",\"password\":\"p\\\"w\\\\\xc3\xa4\"}"));
    }

    void parseRejectsNonObjects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("not json") << QStringLiteral("hello");
        QTest::newRow("array") << QStringLiteral("[{\"cmd\":\"rx\"}]");
        QTest::newRow("number") << QStringLiteral("5");
        QTest::newRow("empty") << QString();
    }
    void parseRejectsNonObjects()
    {
        QFETCH(QString, text);
        QJsonObject obj;
        QVERIFY(!API::parseMessage(text, obj));
    }

    void uplink_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("debugText");
        QTest::addColumn<QString>("devEui");
        QTest::addColumn<quint64>("ts");
        QTest::addColumn<QString>("gatewayId");
        QTest::addColumn<bool>("ack");
        QTest::addColumn<quint32>("fcnt");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint32>("freq");
        QTest::addColumn<int>("dr");
        QTest::addColumn<int>("rssi");
        QTest::addColumn<double>("snr");

        const QString notUplink = QStringLiteral("[SApiDeviceData] Not UPLINK message");
        QTest::newRow("unconfirmed uplink, every field")
            << QByteArray(
                   "{\"cmd\":\"rx\",\"type\":\"UNCONF_UP\",\"devEui\":\"70b3d5e75e00a1b2\",\"ts\":1700000000123,"
                   "\"gatewayId\":\"00000000000000ab+1\",\"ack\":true,\"fcnt\":17,\"port\":2,\"data\":\"01A2ff\","
                   "\"freq\":868100000,\"dr\":5,\"rssi\":-97,\"snr\":-7.25,\"macData\":\"03\","
                   "\"packetStatus\":\"ok\"}")
            << QString() << "70B3D5E75E00A1B2" << quint64(1700000000123ULL) << "00000000000000AB" << true << quint32(17)
            << 2 << QByteArray("\x01\xa2\xff", 3) << quint32(868100000) << 5 << -97 << -7.25;
        QTest::newRow("confirmed uplink passes")
            << QByteArray("{\"type\":\"CONF_UP\",\"devEui\":\"0A\",\"data\":\"10\",\"port\":7}") << QString() << "0A"
            << quint64(0) << QString() << false << quint32(0) << 7 << QByteArray("\x10") << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("join request fails")
            << QByteArray("{\"type\":\"JOIN_REQ\",\"devEui\":\"0a\",\"data\":\"10\"}") << notUplink << QString()
            << quint64(0) << QString() << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("lower-case unconf_up fails")
            << QByteArray("{\"type\":\"unconf_up\",\"devEui\":\"0a\",\"data\":\"10\"}") << notUplink << QString()
            << quint64(0) << QString() << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("missing type fails")
            << QByteArray("{\"devEui\":\"0a\",\"data\":\"10\"}") << notUplink << QString() << quint64(0) << QString()
            << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("empty object fails") << QByteArray("{}") << notUplink << QString() << quint64(0) << QString()
                                            << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("missing data fails")
            << QByteArray("{\"type\":\"UNCONF_UP\",\"devEui\":\"0a\",\"fcnt\":3}")
            << QStringLiteral("[SApiDeviceData] DATA is not exist") << QString() << quint64(0) << QString() << false
            << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("empty data still an uplink")
            << QByteArray("{\"type\":\"UNCONF_UP\",\"devEui\":\"0a\",\"data\":\"\"}") << QString() << "0A" << quint64(0)
            << QString() << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0 << 0 << 0.0;
        QTest::newRow("gateway cut at plus, upper case")
            << QByteArray("{\"type\":\"UNCONF_UP\",\"devEui\":\"00aa\",\"gatewayId\":\"abc+def\",\"data\":\"\"}")
            << QString() << "00AA" << quint64(0) << "ABC" << false << quint32(0) << 0 << QByteArray() << quint32(0) << 0
            << 0 << 0.0;
        QTest::newRow("numbers as decimal strings")
            << QByteArray("{\"type\":\"UNCONF_UP\",\"devEui\":\"01\",\"data\":\"ab\",\"ts\":\"1700000000999\","
                          "\"fcnt\":\"65536\",\"freq\":\"868300000\",\"ack\":\"true\"}")
            << QString() << "01" << quint64(1700000000999ULL) << QString() << false << quint32(65536) << 0
            << QByteArray("\xab") << quint32(868300000) << 0 << 0 << 0.0;
    }
    void uplink()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, debugText);
        if (!debugText.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, debugText.toUtf8().constData());
        const API::SApiDeviceData record(object(json));
        QTEST(record.devEui, "devEui");
        QTEST(record.ts, "ts");
        QTEST(record.gatewayId, "gatewayId");
        QTEST(record.ack, "ack");
        QTEST(record.fcnt, "fcnt");
        QTEST(int(record.port), "port");
        QTEST(record.data, "data");
        QTEST(record.freq, "freq");
        QTEST(int(record.dr), "dr");
        QTEST(int(record.rssi), "rssi");
        QTEST(record.snr, "snr");
    }

    void uplinkValues_data()
    {
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<QString>("refusal");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint32>("fcnt");
        QTest::addColumn<quint64>("ts");

        const QString fcntRange = QStringLiteral("is not a whole number from 0 to 4294967295");
        const QString tsRange = QStringLiteral("is not a whole number of milliseconds from 0 to 9223372036854775807");
        // Once read as 0x00 0x78 0x56 0x34 0x01: shifted by half a byte.
        QTest::newRow("odd number of digits") << QByteArray("\"data\":\"007856341\"")
                                              << "data [007856341] is not an even number of hex digits" << QByteArray()
                                              << 0u << quint64(0);
        QTest::newRow("junk inside hex") << QByteArray("\"data\":\"01zz02\"")
                                         << "data [01zz02] is not an even number of hex digits" << QByteArray() << 0u
                                         << quint64(0);
        QTest::newRow("space inside hex") << QByteArray("\"data\":\"01 2\"")
                                          << "data [01 2] is not an even number of hex digits" << QByteArray() << 0u
                                          << quint64(0);
        QTest::newRow("data as a number") << QByteArray("\"data\":12") << "data [12] is not an even number of hex digits"
                                          << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt text") << QByteArray("\"data\":\"01\",\"fcnt\":\"abc\"") << "fcnt [abc] " + fcntRange
                                   << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt 1e300") << QByteArray("\"data\":\"01\",\"fcnt\":1e300")
                                    << "fcnt [1.0000000000000001e+300] " + fcntRange << QByteArray() << 0u << quint64(0);
        // 2^64 + 5 as a decimal string: toULongLong would fail and read 0
        QTest::newRow("fcnt 2^64+5") << QByteArray("\"data\":\"01\",\"fcnt\":\"18446744073709551621\"")
                                     << "fcnt [18446744073709551621] " + fcntRange << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt -1") << QByteArray("\"data\":\"01\",\"fcnt\":-1") << "fcnt [-1] " + fcntRange
                                 << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt \"-1\"") << QByteArray("\"data\":\"01\",\"fcnt\":\"-1\"") << "fcnt [-1] " + fcntRange
                                     << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt 2^32") << QByteArray("\"data\":\"01\",\"fcnt\":4294967296")
                                   << "fcnt [4294967296] " + fcntRange << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt 1.5") << QByteArray("\"data\":\"01\",\"fcnt\":1.5") << "fcnt [1.5] " + fcntRange
                                  << QByteArray() << 0u << quint64(0);
        QTest::newRow("fcnt true") << QByteArray("\"data\":\"01\",\"fcnt\":true") << "fcnt [true] " + fcntRange
                                   << QByteArray() << 0u << quint64(0);
        QTest::newRow("ts -1") << QByteArray("\"data\":\"01\",\"ts\":-1") << "ts [-1] " + tsRange << QByteArray()
                               << 0u << quint64(0);
        QTest::newRow("ts 2^63") << QByteArray("\"data\":\"01\",\"ts\":\"9223372036854775808\"")
                                 << "ts [9223372036854775808] " + tsRange << QByteArray() << 0u << quint64(0);
        QTest::newRow("ts text") << QByteArray("\"data\":\"01\",\"ts\":\"17e11\"") << "ts [17e11] " + tsRange
                                 << QByteArray() << 0u << quint64(0);

        QTest::newRow("upper and lower case hex") << QByteArray("\"data\":\"0aB0\"") << QString()
                                                  << QByteArray("\x0a\xb0", 2) << 0u << quint64(0);
        QTest::newRow("fcnt 2^32-1 and ts 2^63-1")
            << QByteArray("\"data\":\"\",\"fcnt\":4294967295,\"ts\":\"9223372036854775807\"") << QString()
            << QByteArray() << 4294967295u << quint64(9223372036854775807ULL);
        QTest::newRow("fcnt and ts 0") << QByteArray("\"data\":\"01\",\"fcnt\":\"0\",\"ts\":0") << QString()
                                       << QByteArray("\x01") << 0u << quint64(0);
    }
    void uplinkValues()
    {
        QFETCH(QByteArray, keys);
        QFETCH(QString, refusal);
        const API::SApiDeviceData record(object("{\"type\":\"UNCONF_UP\",\"devEui\":\"0a\"," + keys + "}"));
        QCOMPARE(record.refusal, refusal);
        // A refused uplink keeps its DevEUI for the warning, nothing else.
        QCOMPARE(record.devEui, QStringLiteral("0A"));
        QTEST(record.data, "data");
        QTEST(record.fcnt, "fcnt");
        QTEST(record.ts, "ts");
    }

    void refusalWarnings_data()
    {
        // Events "devEui@ms"; each gives the warning's device and count, or "-" for none.
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("warnings");
        QTest::newRow("first refusal warns at once") << QStringList { "A@1000" } << QStringList { "A 1" };
        QTest::newRow("quiet within the minute, then the count")
            << QStringList { "A@0", "A@10000", "A@59999", "A@60000", "A@60001" }
            << QStringList { "A 1", "-", "-", "A 3", "-" };
        QTest::newRow("the minute runs from the last warning")
            << QStringList { "A@0", "A@70000", "A@129999", "A@130000" } << QStringList { "A 1", "A 1", "-", "A 2" };
        QTest::newRow("each device has its own minute")
            << QStringList { "A@0", "B@1", "A@2", "B@3", "B@60001" } << QStringList { "A 1", "B 1", "-", "-", "B 2" };
        QTest::newRow("clock set back warns") << QStringList { "A@60000", "A@1000" } << QStringList { "A 1", "A 1" };
    }
    void refusalWarnings()
    {
        QFETCH(QStringList, events);
        QFETCH(QStringList, warnings);
        CRefusedUplinkLog log;
        QStringList actual;
        for (const QString &event : events) {
            const QString devEui = event.section('@', 0, 0);
            const QString line = log.refused(devEui, QStringLiteral("fcnt [x] is bad"), event.section('@', 1).toLongLong());
            if (line.isEmpty()) {
                actual << "-";
                continue;
            }
            const QString prefix = QStringLiteral("WARNING: [CServerHandler::textMessageReceivedSlot] Uplink of device [%1] "
                                                  "refused: fcnt [x] is bad. Refused since the last warning: [")
                                       .arg(devEui);
            QVERIFY2(line.startsWith(prefix) && line.endsWith("]"), qPrintable(line));
            actual << devEui + " " + line.mid(prefix.size()).chopped(1);
        }
        QCOMPARE(actual, warnings);
    }

    void refusalTableIsBounded()
    {
        CRefusedUplinkLog log;
        for (int i = 0; i < CRefusedUplinkLog::MAX_DEVICES; ++i)
            QVERIFY(!log.refused(QString::number(i), "r", 0).isEmpty());
        // Full: newcomers share one entry within the minute.
        QVERIFY(log.refused("new 1", "r", 10).contains("[other devices]"));
        QVERIFY(log.refused("new 2", "r", 20).isEmpty());
        // A minute on, the old devices make room again.
        QVERIFY(log.refused("new 3", "r", 60000).contains("[new 3]"));
    }

    void devicesList_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("status");
        QTest::addColumn<QStringList>("devices");

        QTest::newRow("entries skipped, order kept")
            << QByteArray("{\"cmd\":\"get_devices_resp\",\"status\":true,\"devices_list\":["
                          "{\"devEui\":\"A1\",\"devName\":\"first\",\"OTAA\":{\"appEui\":\"E1\"}},"
                          "{\"devEui\":\"B2\",\"OTAA\":{\"appEui\":\"E1\"}},"
                          "{\"devName\":\"no eui\",\"OTAA\":{\"appEui\":\"E1\"}},"
                          "{\"devEui\":\"C3\",\"devName\":\"abp only\",\"ABP\":{}},"
                          "{\"devEui\":\"D4\",\"devName\":\"empty app\",\"OTAA\":{\"appEui\":\"\"}},"
                          "{\"devEui\":\"E5\",\"devName\":\"numeric app\",\"OTAA\":{\"appEui\":5}},"
                          "{\"devEui\":\"F6\",\"devName\":\"no app\",\"OTAA\":{}},"
                          "{\"devEui\":\"g7\",\"devName\":\"last\",\"OTAA\":{\"appEui\":\"e2\"}},"
                          "{\"devEui\":\"H8\",\"devName\":9,\"OTAA\":{\"appEui\":\"E3\"}}]}")
            << true << QStringList { "A1|E1|first", "g7|e2|last", "H8|E3|" };
        QTest::newRow("status true without list")
            << QByteArray("{\"cmd\":\"get_devices_resp\",\"status\":true}") << true << QStringList();
        QTest::newRow("status false drops list")
            << QByteArray("{\"cmd\":\"get_devices_resp\",\"status\":false,\"devices_list\":["
                          "{\"devEui\":\"A1\",\"devName\":\"first\",\"OTAA\":{\"appEui\":\"E1\"}}]}")
            << false << QStringList();
        QTest::newRow("status missing") << QByteArray("{\"cmd\":\"get_devices_resp\"}") << false << QStringList();
        QTest::newRow("status as text") << QByteArray(
            "{\"cmd\":\"get_devices_resp\",\"status\":\"true\",\"devices_list\":["
            "{\"devEui\":\"A1\",\"devName\":\"first\",\"OTAA\":{\"appEui\":\"E1\"}}]}")
                                        << false << QStringList();
    }
    void devicesList()
    {
        QFETCH(QByteArray, json);
        const API::SDevicesListResponse response = API::readDevicesListResponse(object(json));
        QStringList devices;
        for (const API::SServerDeviceInfo &info : response.devices)
            devices << info.devEui + "|" + info.appEui + "|" + info.devName;
        QTEST(response.status, "status");
        QTEST(devices, "devices");
    }

    void backoffDoublesToOneMinute()
    {
        CReconnectBackoff backoff;
        QList<int> delays;
        for (int i = 0; i < 9; ++i)
            delays << backoff.nextDelayMs();
        QCOMPARE(delays, (QList<int> { 1000, 2000, 4000, 8000, 16000, 32000, 60000, 60000, 60000 }));
        backoff.reset();
        QCOMPARE(backoff.nextDelayMs(), 1000);
    }
};

QTEST_APPLESS_MAIN(TestServerApi)
#include "tst_serverapi.moc"
