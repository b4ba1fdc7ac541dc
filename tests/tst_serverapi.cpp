#include <QJsonObject>
#include <QtTest>

#include "server/apimessages.h"
#include "server/apitypes.h"
#include "server/creconnectbackoff.h"

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
