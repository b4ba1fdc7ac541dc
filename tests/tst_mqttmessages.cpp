#include <QSignalSpy>
#include <QJsonDocument>
#include <QtTest>

#include "server/cheardevices.h"
#include "server/cloglimiter.h"
#include "server/mqttmessages.h"

// What one row expects of a read message.
struct SExpected
{
    QString devEui;
    quint64 ts = 0;
    QString gatewayId;
    quint32 fcnt = 0;
    int port = 0;
    QByteArray data;
    quint32 freq = 0;
    int rssi = 0;
    double snr = 0.0;
    QString name;
    QString joinEui;
    QString profile;
    QString applicationId;
    QString deviceId;
};

// The uplink messages of ChirpStack v4 and The Things Stack v3 read into the
// gateway's records, from hand-made JSON as the servers document it.
class TestMqttMessages : public QObject
{
    Q_OBJECT

private:
    // 2023-05-01T00:00:00Z is day 19478 of the epoch: 19478 * 86400 s = 1682899200 s.
    static constexpr quint64 MAY_FIRST_MS = 1682899200000ULL;
    // Stands in for a missing or unusable message time.
    static constexpr quint64 RECEIVED_MS = 1700000000000ULL;

    static void addRow(const char *_name, EServerKind _kind, const QByteArray &_topic, const QByteArray &_json,
        const QString &_error, const SExpected &_expected = SExpected())
    {
        QTest::newRow(_name) << int(_kind) << _topic << _json << _error << _expected.devEui << _expected.ts
                             << _expected.gatewayId << _expected.fcnt << _expected.port << _expected.data
                             << _expected.freq << _expected.rssi << _expected.snr << _expected.name << _expected.joinEui
                             << _expected.profile << _expected.applicationId << _expected.deviceId;
    }

private slots:
    void uplink_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("topic");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("devEui");
        QTest::addColumn<quint64>("ts");
        QTest::addColumn<QString>("gatewayId");
        QTest::addColumn<quint32>("fcnt");
        QTest::addColumn<int>("port");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint32>("freq");
        QTest::addColumn<int>("rssi");
        QTest::addColumn<double>("snr");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("joinEui");
        QTest::addColumn<QString>("profile");
        QTest::addColumn<QString>("applicationId");
        QTest::addColumn<QString>("deviceId");

        const QByteArray csTopic("application/9a0b1c2d-0000-4000-8000-000000000001/device/0102030405060708/event/up");
        SExpected cs;
        cs.devEui = QStringLiteral("0102030405060708");
        // 12:34:56.789 is 45296.789 s after midnight.
        cs.ts = MAY_FIRST_MS + 45296789ULL;
        cs.gatewayId = QStringLiteral("0016C001F1500812");
        cs.fcnt = 42;
        cs.port = 10;
        cs.data = QByteArray("\x01\x02\x03", 3); // "AQID"
        cs.freq = 868100000;
        cs.rssi = -57;
        cs.snr = 10.5;
        cs.name = QStringLiteral("pump 1");
        cs.profile = QStringLiteral("TH sensor");
        cs.applicationId = QStringLiteral("9a0b1c2d-0000-4000-8000-000000000001");
        addRow("chirpstack, one gateway", EServerKind::eChirpStack, csTopic,
            R"({"deduplicationId":"3ac7e3c4","time":"2023-05-01T12:34:56.789+00:00",
                "deviceInfo":{"tenantId":"52f14cd4","tenantName":"ChirpStack",
                  "applicationId":"9a0b1c2d-0000-4000-8000-000000000001","applicationName":"pumps",
                  "deviceProfileId":"ee","deviceProfileName":"TH sensor","deviceName":"pump 1",
                  "devEui":"0102030405060708"},
                "devAddr":"00189440","adr":true,"dr":5,"fCnt":42,"fPort":10,"confirmed":false,"data":"AQID",
                "rxInfo":[{"gatewayId":"0016c001f1500812","uplinkId":4217106255,"rssi":-57,"snr":10.5,
                  "context":"EFwMtA=="}],
                "txInfo":{"frequency":868100000,"modulation":{"lora":{"bandwidth":125000,"spreadingFactor":7}}}})",
            QString(), cs);

        SExpected csBest = cs;
        csBest.gatewayId = QStringLiteral("AA555A0000000002");
        csBest.rssi = -48;
        csBest.snr = -2.25;
        csBest.ts = RECEIVED_MS;
        csBest.fcnt = 0;
        csBest.port = 0;
        csBest.data = QByteArray();
        csBest.freq = 0;
        addRow("chirpstack, best of three gateways, confirmed, no time", EServerKind::eChirpStack, csTopic,
            R"({"deviceInfo":{"applicationId":"9a0b1c2d-0000-4000-8000-000000000001",
                  "deviceProfileName":"TH sensor","deviceName":"pump 1","devEui":"0102030405060708"},
                "confirmed":true,
                "rxInfo":[{"gatewayId":"aa555a0000000001","rssi":-90,"snr":7},
                          {"gatewayId":"aa555a0000000002","rssi":-48,"snr":-2.25},
                          {"gatewayId":"aa555a0000000003","rssi":-48,"snr":9}]})",
            QString(), csBest);

        SExpected csTopicApp;
        csTopicApp.devEui = QStringLiteral("0102030405060708");
        csTopicApp.ts = MAY_FIRST_MS;
        csTopicApp.data = QByteArray("\xff", 1); // "/w=="
        csTopicApp.applicationId = QStringLiteral("9a0b1c2d-0000-4000-8000-000000000001");
        addRow("chirpstack, application from the topic, Z time", EServerKind::eChirpStack, csTopic,
            R"({"time":"2023-05-01T00:00:00Z","deviceInfo":{"devEui":"0102030405060708"},"data":"/w=="})", QString(),
            csTopicApp);

        addRow("chirpstack, no DevEUI", EServerKind::eChirpStack, csTopic,
            R"({"deviceInfo":{"deviceName":"pump 1"},"data":"AQID"})", QStringLiteral("no DevEUI"));
        addRow("chirpstack, DevEUI too short", EServerKind::eChirpStack, csTopic,
            R"({"deviceInfo":{"devEui":"01020304"},"data":"AQID"})",
            QStringLiteral("DevEUI [01020304] is not 16 hexadecimal digits"));
        addRow("chirpstack, broken base64", EServerKind::eChirpStack, csTopic,
            R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"AQ*D"})", QStringLiteral("payload is not base64"));
        addRow("chirpstack, broken JSON", EServerKind::eChirpStack, csTopic,
            R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"AQID")", QStringLiteral("not JSON"));
        addRow("chirpstack, JSON array", EServerKind::eChirpStack, csTopic, R"([1,2])",
            QStringLiteral("JSON is not an object"));

        const QByteArray ttsTopic("v3/kelvara-pumps@ttn/devices/eui-70b3d57ed0000001/up");
        SExpected tts;
        tts.devEui = QStringLiteral("70B3D57ED0000001");
        // 15:15:45.787 is 54945.787 s after midnight of 2023-05-01.
        tts.ts = MAY_FIRST_MS + 54945787ULL;
        tts.gatewayId = QStringLiteral("GW-EAST");
        tts.fcnt = 7;
        tts.port = 2;
        tts.data = QByteArray("\x0a\x0b\x0c\x0d", 4); // "CgsMDQ=="
        tts.freq = 868300000;
        tts.rssi = -36;
        tts.snr = 9.75;
        tts.name = QStringLiteral("eui-70b3d57ed0000001");
        tts.joinEui = QStringLiteral("800000000000000C");
        tts.applicationId = QStringLiteral("kelvara-pumps@ttn");
        tts.deviceId = QStringLiteral("eui-70b3d57ed0000001");
        addRow("tts, two gateways, tenant in topic", EServerKind::eTts, ttsTopic,
            R"({"end_device_ids":{"device_id":"eui-70b3d57ed0000001",
                  "application_ids":{"application_id":"kelvara-pumps"},
                  "dev_eui":"70B3D57ED0000001","join_eui":"800000000000000C","dev_addr":"00BCB929"},
                "correlation_ids":["as:up:01"],"received_at":"2023-05-01T15:15:45.787123456Z",
                "uplink_message":{"session_key_id":"AXBSH1Pk","f_port":2,"f_cnt":7,"frm_payload":"CgsMDQ==",
                  "rx_metadata":[{"gateway_ids":{"gateway_id":"gw-west","eui":"0004A30B001C0530"},
                                  "rssi":-90,"channel_rssi":-90,"snr":4.2},
                                 {"gateway_ids":{"gateway_id":"gw-east"},"rssi":-35.6,"snr":9.75}],
                  "settings":{"data_rate":{"lora":{"bandwidth":125000,"spreading_factor":7}},
                    "frequency":"868300000"},
                  "received_at":"2023-05-01T15:15:45.780Z","confirmed":true}})",
            QString(), tts);

        // Everything that is 0, "" or false left out, as the server does.
        SExpected ttsBare;
        ttsBare.devEui = QStringLiteral("70B3D57ED0000001");
        ttsBare.ts = RECEIVED_MS;
        ttsBare.gatewayId = QStringLiteral("0004A30B001C0530");
        ttsBare.rssi = -100;
        ttsBare.applicationId = QStringLiteral("kelvara-pumps");
        ttsBare.deviceId = QStringLiteral("dev1");
        ttsBare.name = QStringLiteral("dev1");
        addRow("tts, zero fields omitted, gateway by EUI, foreign topic", EServerKind::eTts, "my/own/topic",
            R"({"end_device_ids":{"device_id":"dev1","application_ids":{"application_id":"kelvara-pumps"},
                  "dev_eui":"70b3d57ed0000001"},
                "uplink_message":{"rx_metadata":[{"gateway_ids":{"eui":"0004A30B001C0530"},"rssi":-100}]}})",
            QString(), ttsBare);

        addRow("tts, no DevEUI", EServerKind::eTts, ttsTopic,
            R"({"end_device_ids":{"device_id":"dev1"},"uplink_message":{"frm_payload":"AQID"}})",
            QStringLiteral("no DevEUI"));
        addRow("tts, broken base64", EServerKind::eTts, ttsTopic,
            R"({"end_device_ids":{"dev_eui":"70B3D57ED0000001"},"uplink_message":{"frm_payload":"AQ=D"}})",
            QStringLiteral("payload is not base64"));
        addRow("tts, empty message", EServerKind::eTts, ttsTopic, "", QStringLiteral("not JSON"));
    }

    // The object each server's codec decoded comes along; anything but an object is none.
    void decodedObjects_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("hasDecoded");
        QTest::addColumn<QByteArray>("decoded");
        QTest::addColumn<int>("rssi");
        const QByteArray cs = R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"AQID",
            "rxInfo":[{"gatewayId":"0016c001f1500812","rssi":%1,"snr":1}]%2})";
        const auto chirpStack = [&cs](const char *_rssi, const char *_rest) {
            return QByteArray(cs).replace("%1", _rssi).replace("%2", _rest);
        };
        QTest::newRow("ChirpStack object") << int(EServerKind::eChirpStack)
                                           << chirpStack("-57", R"(,"object":{"t":22.6,"s":[{"v":1}]})") << true
                                           << QByteArray(R"({"s":[{"v":1}],"t":22.6})") << -57;
        QTest::newRow("ChirpStack without object") << int(EServerKind::eChirpStack) << chirpStack("-57", "") << false
                                                   << QByteArray("{}") << -57;
        QTest::newRow("ChirpStack object a list") << int(EServerKind::eChirpStack)
                                                  << chirpStack("-57", R"(,"object":[1])") << false << QByteArray("{}")
                                                  << -57;
        // Found by fuzzing: rounding an RSSI beyond 32 bits was undefined.
        QTest::newRow("RSSI beyond 16 bits held at its end")
            << int(EServerKind::eChirpStack) << chirpStack("-521474836477", "") << false << QByteArray("{}") << -32768;
        const QByteArray tts = R"({"end_device_ids":{"device_id":"dev1","dev_eui":"70B3D57ED0000001"},
            "uplink_message":{"frm_payload":"AQID"%1}})";
        QTest::newRow("The Things Stack decoded_payload")
            << int(EServerKind::eTts) << QByteArray(tts).replace("%1", R"(,"decoded_payload":{"door":"open"})") << true
            << QByteArray(R"({"door":"open"})") << 0;
        QTest::newRow("The Things Stack without decoded_payload")
            << int(EServerKind::eTts) << QByteArray(tts).replace("%1", "") << false << QByteArray("{}") << 0;
        QTest::newRow("The Things Stack decoded_payload a text")
            << int(EServerKind::eTts) << QByteArray(tts).replace("%1", R"(,"decoded_payload":"x")") << false
            << QByteArray("{}") << 0;
    }
    void decodedObjects()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, json);
        QFETCH(bool, hasDecoded);
        QFETCH(QByteArray, decoded);
        QFETCH(int, rssi);
        const API::SMqttUplink uplink = API::parseMqttUplink(EServerKind(kind), "t", json, RECEIVED_MS);
        QVERIFY2(uplink.valid, qPrintable(uplink.error));
        QCOMPARE(uplink.data.hasDecoded, hasDecoded);
        QCOMPARE(QJsonDocument(uplink.data.decoded).toJson(QJsonDocument::Compact), decoded);
        QCOMPARE(int(uplink.data.rssi), rssi);
    }

    void uplink()
    {
        QFETCH(int, kind);
        QFETCH(QByteArray, topic);
        QFETCH(QByteArray, json);
        QFETCH(QString, error);

        const API::SMqttUplink uplink = API::parseMqttUplink(EServerKind(kind), topic, json, RECEIVED_MS);
        if (!error.isEmpty()) {
            QVERIFY(!uplink.valid);
            QVERIFY2(uplink.error.startsWith(error), qPrintable(uplink.error));
            QVERIFY(uplink.data.devEui.isEmpty());
            return;
        }
        QVERIFY2(uplink.valid, qPrintable(uplink.error));
        QTEST(uplink.data.devEui, "devEui");
        QTEST(uplink.data.ts, "ts");
        QTEST(uplink.data.gatewayId, "gatewayId");
        QTEST(uplink.data.fcnt, "fcnt");
        QTEST(int(uplink.data.port), "port");
        QTEST(uplink.data.data, "data");
        QTEST(uplink.data.freq, "freq");
        QTEST(int(uplink.data.rssi), "rssi");
        QTEST(uplink.data.snr, "snr");
        QCOMPARE(uplink.data.ack, false);
        QTEST(uplink.device.devEui, "devEui");
        QTEST(uplink.device.name, "name");
        QTEST(uplink.device.joinEui, "joinEui");
        QTEST(uplink.device.profileName, "profile");
        QTEST(uplink.device.applicationId, "applicationId");
        QTEST(uplink.device.deviceId, "deviceId");
    }

    void limiterReportsOncePerMinuteWithCount()
    {
        qint64 now = 5000;
        CLogLimiter limiter([&now] { return now; });
        const QString topic = QStringLiteral("application/a/device/b/event/up");
        QCOMPARE(limiter.record(topic), 1);
        now += 1000;
        QCOMPARE(limiter.record(topic), 0);
        now += 30000;
        QCOMPARE(limiter.record(topic), 0);
        // Another topic has a minute of its own.
        QCOMPARE(limiter.record(QStringLiteral("other")), 1);
        now = 5000 + CLogLimiter::INTERVAL_MS - 1;
        QCOMPARE(limiter.record(topic), 0);
        now = 5000 + CLogLimiter::INTERVAL_MS;
        // This one and the three held back.
        QCOMPARE(limiter.record(topic), 4);
        now += CLogLimiter::INTERVAL_MS;
        QCOMPARE(limiter.record(topic), 1);
    }

    void limiterTableStaysBounded()
    {
        qint64 now = 0;
        CLogLimiter limiter([&now] { return now; });
        for (int i = 0; i < CLogLimiter::MAX_KEYS; ++i)
            QCOMPARE(limiter.record(QString::number(i)), 1);
        // Full: a new key shares the overflow count.
        QCOMPARE(limiter.record(QStringLiteral("new 1")), 1);
        QCOMPARE(limiter.record(QStringLiteral("new 2")), 0);
        // A minute later the quiet keys make room again.
        now = CLogLimiter::INTERVAL_MS;
        QCOMPARE(limiter.record(QStringLiteral("new 3")), 1);
        QCOMPARE(limiter.record(QStringLiteral("new 3")), 0);
    }

    void heardDevicesKeepOneRowPerDevice()
    {
        CHeardDevices model;
        QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
        QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
        API::SHeardDevice first;
        first.devEui = QStringLiteral("0102030405060708");
        first.name = QStringLiteral("pump 1");
        first.profileName = QStringLiteral("TH sensor");
        first.applicationId = QStringLiteral("app-uuid");
        API::SHeardDevice second;
        second.devEui = QStringLiteral("70B3D57ED0000001");
        second.name = QStringLiteral("dev1");
        second.joinEui = QStringLiteral("800000000000000C");
        second.applicationId = QStringLiteral("kelvara-pumps@ttn");
        second.deviceId = QStringLiteral("dev1");

        model.deviceHeardSlot(first);
        model.deviceHeardSlot(second);
        first.name = QStringLiteral("pump 1 renamed");
        model.deviceHeardSlot(first);

        QCOMPARE(model.rowCount(), 2);
        QCOMPARE(inserted.count(), 2);
        QCOMPARE(changed.count(), 1);
        QCOMPARE(model.data(model.index(0, CHeardDevices::eNameColumn)).toString(), QStringLiteral("pump 1 renamed"));
        QCOMPARE(model.data(model.index(0, CHeardDevices::eProfileColumn)).toString(), QStringLiteral("TH sensor"));
        QCOMPARE(
            model.data(model.index(1, CHeardDevices::eDevEuiColumn)).toString(), QStringLiteral("70B3D57ED0000001"));
        QCOMPARE(
            model.data(model.index(1, CHeardDevices::eJoinEuiColumn)).toString(), QStringLiteral("800000000000000C"));
        QCOMPARE(model.headerData(CHeardDevices::eJoinEuiColumn, Qt::Horizontal).toString(), QStringLiteral("JoinEUI"));

        // A downlink finds what it needs by DevEUI, in either spelling.
        const API::SHeardDevice found = model.device(QStringLiteral("70b3d57ed0000001"));
        QCOMPARE(found.applicationId, QStringLiteral("kelvara-pumps@ttn"));
        QCOMPARE(found.deviceId, QStringLiteral("dev1"));
        QVERIFY(model.device(QStringLiteral("FFFFFFFFFFFFFFFF")).devEui.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "tst_mqttmessages.moc"
