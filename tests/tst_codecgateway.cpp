#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include "app/clogfile.h"
#include "brokertestsupport.h"
#include "gateway/cgateway.h"
#include "gatewaytestsupport.h"
#include "testworkdir.h"

using namespace GatewayTest;

namespace {

const QString ROOM_APP_EUI = QStringLiteral("4B454C5641524104");
const QString NETWORK_APP_EUI = QStringLiteral("4B454C56434F4402");
const QString ROOM = QStringLiteral("70B3D57ED0000101");
const QString DECODED_THERE = QStringLiteral("70B3D57ED0000102");
const int START = 100;

const char *NETWORK_TEMPLATE = R"({ "app_eui": "4B454C56434F4402", "dev_type": "Decoded by the server",
    "decoder": { "network": true },
    "decoded_fields": [
        { "path": "temperature", "reg_map_bias": 0, "reg_format": "int16", "multiplier": 10, "data_name": "T" },
        { "path": "sensors[1].value", "reg_map_bias": 1, "reg_format": "uint16", "data_name": "CO2" },
        { "path": "[\u0022battery.level\u0022]", "reg_map_bias": 2, "reg_format": "uint16", "data_name": "Battery %" },
        { "path": "door", "reg_map_bias": 3, "reg_format": "bool", "data_name": "Door open" } ] })";

// The uplink events as ChirpStack v4 and The Things Stack v3 publish them (their documented
// JSON), with the object each server's codec decoded. Payload 0100e25a... in base64.
const char *CHIRPSTACK_UPLINK = R"({"deduplicationId":"3ac7e3c4-4401-4b8d-9386-a5c902f9202d",
  "time":"2023-05-01T12:34:56.789+00:00",
  "deviceInfo":{"tenantId":"52f14cd4-c6f1-4fbd-8f87-4025e1d49242","tenantName":"ChirpStack",
    "applicationId":"9a0b1c2d-0000-4000-8000-000000000001","applicationName":"rooms",
    "deviceProfileId":"e3b0c442-98fc-1c14-9afb-f4c8996fb924","deviceProfileName":"Room sensor",
    "deviceName":"%2","devEui":"%1","tags":{}},
  "devAddr":"00189440","adr":true,"dr":5,"fCnt":%3,"fPort":2,"confirmed":false,
  "data":"AQDiWgu4AQIBAAwCAZ8=",
  "object":{"temperature":22.6,"sensors":[{"value":12},{"value":415}],"battery.level":87,"door":true},
  "rxInfo":[{"gatewayId":"0016c001f1500812","uplinkId":4217106255,"rssi":-57,"snr":10.5,"context":"EFwMtA=="}],
  "txInfo":{"frequency":868100000,"modulation":{"lora":{"bandwidth":125000,"spreadingFactor":7,"codeRate":"CR_4_5"}}}})";

const char *TTS_UPLINK = R"({"end_device_ids":{"device_id":"%2",
    "application_ids":{"application_id":"rooms"},"dev_eui":"%1","join_eui":"800000000000000C",
    "dev_addr":"00BCB929"},
  "correlation_ids":["as:up:01H0ABCDEF"],"received_at":"2023-05-01T15:15:45.787123456Z",
  "uplink_message":{"session_key_id":"AXBSH1Pk6Z0G166","f_port":2,"f_cnt":%3,
    "frm_payload":"AQDiWgu4AQIBAAwCAZ8=",
    "decoded_payload":{"temperature":22.6,"sensors":[{"value":12},{"value":415}],"battery.level":87,"door":true},
    "rx_metadata":[{"gateway_ids":{"gateway_id":"gw-west","eui":"0004A30B001C0530"},"rssi":-90,
      "channel_rssi":-90,"snr":4.2}],
    "settings":{"data_rate":{"lora":{"bandwidth":125000,"spreading_factor":7}},"frequency":"868300000"},
    "received_at":"2023-05-01T15:15:45.780Z","consumed_airtime":"0.061696s"}})";

QByteArray hex(const char *_text)
{
    return QByteArray::fromHex(QByteArray(_text).replace(' ', ""));
}

// Function 06 (or 05 for a coil) to an address from the device's start.
QByteArray writeFrame(quint8 _function, int _offset, quint16 _value)
{
    QByteArray frame = hex("0001 0000 0006 01");
    frame.append(char(_function));
    const int address = START + _offset;
    frame.append(char(address >> 8)).append(char(address & 0xff));
    frame.append(char(_value >> 8)).append(char(_value & 0xff));
    return frame;
}

QByteArray exceptionFrame(quint8 _function, quint8 _code)
{
    QByteArray frame = hex("0001 0000 0003 01");
    return frame.append(char(_function | 0x80)).append(char(_code));
}

struct SRawClient
{
    QTcpSocket socket;

    bool open(quint16 _port)
    {
        socket.connectToHost(QHostAddress::LocalHost, _port);
        return socket.waitForConnected(5000);
    }
    QByteArray ask(const QByteArray &_frame, int _length)
    {
        socket.write(_frame);
        return QTest::qWaitFor([&] { return socket.bytesAvailable() >= _length; }, 5000) ? socket.read(_length)
                                                                                         : QByteArray();
    }
};

bool logged(const QSignalSpy &_log, const QString &_text)
{
    for (const QList<QVariant> &line : _log) {
        if (line.at(0).toString().contains(_text))
            return true;
    }
    return false;
}

} // namespace

// Codec devices in a running gateway: the network server's decoded objects over a real
// broker, and the codec's encoded downlinks to the simulator and to each MQTT server.
class TestCodecGateway : public QObject
{
    Q_OBJECT

    CTestWorkDir workDir;

    QString makeFolder(const QString &_name)
    {
        const QDir dir(workDir.filePath(_name));
        if (!dir.mkpath(QStringLiteral("deviceFolder")))
            return QString();
        for (const char *file : { "room-sensor.json", "room-sensor.js", "room-sensor-codec.yaml" }) {
            if (!QFile::copy(QStringLiteral(KELVARA_SOURCE_DIR "/examples/") + QLatin1String(file),
                    dir.filePath(QStringLiteral("deviceFolder/")) + QLatin1String(file)))
                return QString();
        }
        if (!writeFile(dir.filePath(QStringLiteral("deviceFolder/network.json")), NETWORK_TEMPLATE))
            return QString();
        return dir.path();
    }

    static bool addDevice(CGateway &_gateway, const QString &_devEui, const QString &_appEui, quint16 _port)
    {
        DB::SDeviceRegMapDescription device;
        device.devEui = _devEui;
        device.appEui = _appEui;
        device.name = _devEui.right(4);
        device.startAddr = START;
        device.registers = _gateway.regMap(_appEui).registers;
        device.writable = true;
        return _gateway.addDevice(device, _port).ok();
    }

private slots:
    void initTestCase() { QVERIFY(workDir.enter()); }

    // The simulator receives the encoder's bytes on the encoder's port; an encoder error is
    // exception 04 with the codec's message in the log. The network-decoded template is refused.
    void encodedDownlinksReachTheSimulator()
    {
        const QString dir = makeFolder(QStringLiteral("websocket"));
        QVERIFY(!dir.isEmpty());
        QProcess simulator;
        const quint16 serverPort = startSimulator(simulator, { "--duration", "60" });
        QVERIFY(serverPort);
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        SGatewayConfig config;
        config.workDir = dir;
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        QVERIFY(logged(log,
            QStringLiteral("Template file [network.json] refused, key [network]: decoder: the network "
                           "server's "
                           "decoded object needs ChirpStack or The Things Stack")));
        QVERIFY(gateway.regMap(NETWORK_APP_EUI).registers.isEmpty());
        const quint16 port = freePort();
        QVERIFY(addDevice(gateway, ROOM, ROOM_APP_EUI, port));
        SServerLogin login;
        login.host = QStringLiteral("127.0.0.1");
        login.port = QString::number(serverPort);
        login.login = LOGIN;
        login.password = PASSWORD;
        gateway.connectToServer(login, false);
        QVERIFY(QTest::qWaitFor([&] { return gateway.serverStatus() == COMM::eSuccess; }, 5000));

        SRawClient client;
        QVERIFY(client.open(port));
        QCOMPARE(client.ask(writeFrame(0x06, 20, 15), 12).toHex(' '), writeFrame(0x06, 20, 15).toHex(' '));
        QCOMPARE(client.ask(writeFrame(0x05, 0, 0xff00), 12).toHex(' '), writeFrame(0x05, 0, 0xff00).toHex(' '));
        QCOMPARE(client.ask(writeFrame(0x06, 20, 5000), 9).toHex(' '), exceptionFrame(0x06, 4).toHex(' '));
        QVERIFY(logged(log,
            QStringLiteral("refused with exception [04]: device [%1], command [Reporting interval "
                           "min], value [5000]: the encoder's errors: interval must be 1-1440 minutes")
                .arg(ROOM)));
        // 15 minutes: 0x10 then 0x000f; the LED on: 0x20 0x01; both on the encoder's port 10.
        const QStringList expected = {
            QStringLiteral("downlink devEui=%1 port=10 ack=false data=10000f accepted").arg(ROOM),
            QStringLiteral("downlink devEui=%1 port=10 ack=false data=2001 accepted").arg(ROOM),
        };
        QCOMPARE(simulatorDownlinks(simulator, expected.size()), expected);
        // The written value is kept in its register.
        QCOMPARE(gateway.registerWords(port, START + 20, 1).value(START + 20), uint16_t(15));
        stopProcess(simulator);
    }

    void decodedAndEncodedOverTheBroker_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("ChirpStack v4") << int(EServerKind::eChirpStack);
        QTest::newRow("The Things Stack v3") << int(EServerKind::eTts);
    }

    // The server's decoded object in its registers, the codec's own decoding of the same payload,
    // and the encoded downlinks published on the server's command topic.
    void decodedAndEncodedOverTheBroker()
    {
        QFETCH(int, kind);
        const EServerKind serverKind = EServerKind(kind);
        const bool chirpStack = serverKind == EServerKind::eChirpStack;
        const QString dir = makeFolder(QStringLiteral("mqtt%1").arg(kind));
        QVERIFY(!dir.isEmpty());
        TestBroker broker;
        QVERIFY2(broker.start(dir, { QStringLiteral("allow_anonymous true") }), qPrintable(broker.error));
        const QString publisher = TestBroker::findProgram(QStringLiteral("mosquitto_pub"));
        QVERIFY2(!publisher.isEmpty(), "install the Debian package mosquitto-clients");

        const SGatewayConfig config
            = brokerGatewayConfig(dir, serverKind, broker.port, QStringLiteral("kelvara-codecs-%1").arg(kind));
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        const quint16 port = freePort();
        const quint16 decodedPort = freePort();
        QVERIFY(port != decodedPort);
        QVERIFY(addDevice(gateway, ROOM, ROOM_APP_EUI, port));
        QVERIFY(addDevice(gateway, DECODED_THERE, NETWORK_APP_EUI, decodedPort));
        gateway.connectToSavedServer();
        QVERIFY(QTest::qWaitFor([&] { return gateway.serverStatus() == COMM::eSuccess; }, 5000));

        const auto publish = [&](const QString &_devEui, const QString &_name, int _fcnt) {
            const QString topic = chirpStack
                ? QStringLiteral("application/9a0b1c2d-0000-4000-8000-000000000001/device/%1/event/up")
                      .arg(_devEui.toLower())
                : QStringLiteral("v3/rooms@ttn/devices/%1/up").arg(_name);
            const QString message
                = QString::fromLatin1(chirpStack ? CHIRPSTACK_UPLINK : TTS_UPLINK).arg(_devEui, _name).arg(_fcnt);
            return QProcess::execute(
                       publisher, { "-h", "127.0.0.1", "-p", QString::number(broker.port), "-t", topic, "-m", message })
                == 0;
        };
        // The server's object: 22.6 x10, sensors[1].value, the dotted key, true.
        QVERIFY(publish(DECODED_THERE, QStringLiteral("decoded-there"), 1));
        QVERIFY(QTest::qWaitFor(
            [&] { return gateway.registerWords(decodedPort, START, 4).value(START + 1) == 415; }, 5000));
        QCOMPARE(gateway.registerWords(decodedPort, START, 4),
            (QMap<uint16_t, uint16_t> { { START, 226 }, { START + 1, 415 }, { START + 2, 87 }, { START + 3, 1 } }));
        // The codec's own decoding of the same bytes, whatever the server decoded.
        QVERIFY(publish(ROOM, QStringLiteral("room-1"), 1));
        QVERIFY(
            QTest::qWaitFor([&] { return gateway.registerWords(port, START + 6, 1).value(START + 6) == 226; }, 5000));
        QCOMPARE(gateway.registerWords(port, START + 9, 1).value(START + 9), uint16_t(1));
        QVERIFY(QTest::qWaitFor([&] { return !gateway.heard().device(ROOM).applicationId.isEmpty(); }, 5000));

        QProcess sub;
        QVERIFY2(subscribeToDownlinks(sub, serverKind, broker.port), "install the Debian package mosquitto-clients");
        QByteArray received;

        SRawClient client;
        QVERIFY(client.open(port));
        QCOMPARE(client.ask(writeFrame(0x06, 20, 15), 12).toHex(' '), writeFrame(0x06, 20, 15).toHex(' '));
        QCOMPARE(client.ask(writeFrame(0x05, 0, 0x0000), 12).toHex(' '), writeFrame(0x05, 0, 0x0000).toHex(' '));
        QList<QJsonObject> messages;
        QVERIFY(QTest::qWaitFor(
            [&] {
                received += sub.readAllStandardOutput();
                messages.clear();
                for (const QByteArray &line : received.split('\n')) {
                    if (!line.isEmpty() && !line.contains("probe"))
                        messages << QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
                }
                return messages.size() >= 2 && received.endsWith('\n');
            },
            5000));
        stopProcess(sub);
        QStringList sent;
        for (const QJsonObject &message : messages) {
            const QJsonObject downlink
                = chirpStack ? message : message.value(QStringLiteral("downlinks")).toArray().first().toObject();
            const QByteArray bytes = QByteArray::fromBase64(
                downlink.value(chirpStack ? QStringLiteral("data") : QStringLiteral("frm_payload"))
                    .toString()
                    .toLatin1());
            sent << QStringLiteral("%1 on %2")
                        .arg(QString::fromLatin1(bytes.toHex()))
                        .arg(downlink.value(chirpStack ? QStringLiteral("fPort") : QStringLiteral("f_port")).toInt());
        }
        // 15 minutes: 10 000f; the LED off: 20 00; the encoder's port 10.
        QCOMPARE(sent, QStringList({ "10000f on 10", "2000 on 10" }));
    }

    // The commands a commissioning engineer runs on a codec template.
    void templatesCheckAndTry()
    {
        const QString examples = QStringLiteral(KELVARA_SOURCE_DIR "/examples");
        const QString dir = workDir.filePath(QStringLiteral("commands"));
        QVERIFY(QDir().mkpath(dir));
        QProcess check;
        check.setWorkingDirectory(dir);
        check.start(gatewayProgram(), { "templates", "check", examples + "/room-sensor.json" });
        QVERIFY(check.waitForFinished(20000));
        QCOMPARE(check.exitCode(), 0);
        const QString checked = QString::fromUtf8(check.readAllStandardOutput());
        QCOMPARE(checked.count(QStringLiteral(": ok\n")), 7);
        QVERIFY2(checked.contains("room-sensor-codec.yaml example [3] \"Unknown fPort\": ok"), qPrintable(checked));

        QProcess tryIt;
        tryIt.setWorkingDirectory(dir);
        tryIt.start(gatewayProgram(),
            { "templates", "try", examples + "/room-sensor.json", "--payload", "01ff4c3c09600000", "--f-port", "2" });
        QVERIFY(tryIt.waitForFinished(20000));
        QCOMPARE(tryIt.exitCode(), 0);
        const QString tried = QString::fromUtf8(tryIt.readAllStandardOutput());
        // -18.0 degC x10 = -180 = 0xff4c; the low battery as 1; no sensors, so no CO2.
        for (const char *line :
            { "\"temperature\": -18", "temperature [Temperature x0.1] = -18 -> register 6 (int16): 0xff4c",
                "battery.low [Battery low] = true -> register 12 (bool): 0x0001",
                "sensors[1].value [CO2]: not in the decoded object, its registers keep their values" })
            QVERIFY2(tried.contains(QLatin1String(line)), qPrintable(tried));

        QProcess refused;
        refused.setWorkingDirectory(dir);
        refused.start(gatewayProgram(), { "templates", "try", examples + "/room-sensor.json", "--payload", "01" });
        QVERIFY(refused.waitForFinished(20000));
        QCOMPARE(refused.exitCode(), 1);
        QVERIFY(refused.readAllStandardError().contains(
            "the codec refuses the payload: the codec's errors: unknown fPort 1"));
    }
};

QTEST_GUILESS_MAIN(TestCodecGateway)
#include "tst_codecgateway.moc"
