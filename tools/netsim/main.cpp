#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>

#include <cstdio>

#include "cmqttpublisher.h"
#include "cnetsimserver.h"
#include "netsimconfig.h"

namespace {

const char *DESCRIPTION = R"(Plays a LoRaWAN network server for the Kelvara gateway on 127.0.0.1.

It answers the gateway's ping {"cmd":"cmd"} with an error reply carrying
"err_string", answers "auth_req" with "auth_resp" (status true and a token for
the configured log-in, status false and "err_string" otherwise), answers
"get_devices_req" from the devices file filtered by the requested AppEUIs,
and after the first log-in pushes "rx" uplinks (type UNCONF_UP) to every
logged-in client: the steps of a scenario file and/or uplinks generated at a
given rate, taking the devices in turn. Stops by itself after --duration.

Devices file: a JSON array of objects
  {"devEui":"70B3D5E75E000001", "devName":"pump 1", "appEui":"70B3D5E75E000000",
   "payload":"0102a0", "port":2}
"devEui" is required; "payload" (hex), "payloads" (a list of hex payloads the
device's uplinks take in turn) and "port" (default 2) are optional: without a
payload each uplink carries --payload-size random bytes.

Scenario file: a JSON array of steps
  {"delay":1500, "devEui":"70B3D5E75E000001", "data":"0102"}
"delay" is in ms after the previous step (the first: after log-in). Every
other key overrides the generated uplink, so a step may carry any "type",
"fcnt", "port", "data", "rssi", "snr", "gatewayId", ...

With --mqtt chirpstack or --mqtt tts it plays that server's MQTT integration
instead: it connects to the broker on 127.0.0.1:--broker-port and publishes
the same uplinks (a step's "type" CONF_UP makes a confirmed one) in that
server's JSON on its uplink topic, from the moment it is connected. The
devices file's "appEui" picks the application and "devName" the name.

Prints "listening on port N" first (with --mqtt: "connected to broker on
port N"), then one line per event.)";

bool readInt(const QCommandLineParser &_parser, const QString &_name, int _min, int &_value)
{
    bool ok = false;
    const int value = _parser.value(_name).toInt(&ok);
    if (!ok || value < _min) {
        std::fprintf(stderr, "--%s needs a whole number of at least %d\n", qPrintable(_name), _min);
        return false;
    }
    _value = value;
    return true;
}

bool readConfig(const QCommandLineParser &_parser, SNetSimConfig &_config)
{
    int port = 0;
    int seed = 0;
    if (!readInt(_parser, QStringLiteral("port"), 0, port) || port > 65535
        || !readInt(_parser, QStringLiteral("duration"), 1, _config.durationS)
        || !readInt(_parser, QStringLiteral("ping-delay"), 0, _config.pingDelayMs)
        || !readInt(_parser, QStringLiteral("devices-delay"), 0, _config.devicesDelayMs)
        || !readInt(_parser, QStringLiteral("payload-size"), 1, _config.payloadSize)
        || !readInt(_parser, QStringLiteral("seed"), 0, seed))
        return false;
    _config.port = static_cast<quint16>(port);
    _config.seed = static_cast<quint32>(seed);
    if (_parser.isSet(QStringLiteral("rate-time"))
        && !readInt(_parser, QStringLiteral("rate-time"), 0, _config.rateTimeS))
        return false;
    bool ok = false;
    _config.rate = _parser.value(QStringLiteral("rate")).toDouble(&ok);
    if (!ok || _config.rate < 0.0) {
        std::fprintf(stderr, "--rate needs a number of uplinks per second, 0 or more\n");
        return false;
    }
    _config.login = _parser.value(QStringLiteral("login"));
    _config.password = _parser.value(QStringLiteral("password"));
    _config.gatewayId = _parser.value(QStringLiteral("gateway"));

    if (_parser.isSet(QStringLiteral("mqtt"))) {
        const QString format = _parser.value(QStringLiteral("mqtt"));
        if (format == QStringLiteral("chirpstack"))
            _config.mqttFormat = EMqttFormat::eChirpStack;
        else if (format == QStringLiteral("tts"))
            _config.mqttFormat = EMqttFormat::eTts;
        else {
            std::fprintf(stderr, "--mqtt must be chirpstack or tts\n");
            return false;
        }
        int brokerPort = 0;
        if (!readInt(_parser, QStringLiteral("broker-port"), 1, brokerPort) || brokerPort > 65535)
            return false;
        _config.brokerPort = static_cast<quint16>(brokerPort);
    }

    const QString reply = _parser.value(QStringLiteral("devices-reply"));
    if (reply == QStringLiteral("answer"))
        _config.devicesReply = EDevicesReply::eAnswer;
    else if (reply == QStringLiteral("refuse"))
        _config.devicesReply = EDevicesReply::eRefuse;
    else if (reply == QStringLiteral("ignore"))
        _config.devicesReply = EDevicesReply::eIgnore;
    else {
        std::fprintf(stderr, "--devices-reply must be answer, refuse or ignore\n");
        return false;
    }

    const QString downlinks = _parser.value(QStringLiteral("downlinks"));
    if (downlinks == QStringLiteral("refuse"))
        _config.refuseDownlinks = true;
    else if (downlinks != QStringLiteral("accept")) {
        std::fprintf(stderr, "--downlinks must be accept or refuse\n");
        return false;
    }

    QString error;
    if (_parser.isSet(QStringLiteral("devices"))
        && !loadDevicesFile(_parser.value(QStringLiteral("devices")), _config.devices, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    if (_parser.isSet(QStringLiteral("scenario"))
        && !loadScenarioFile(_parser.value(QStringLiteral("scenario")), _config.scenario, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    if (_config.rate > 0.0 && _config.devices.isEmpty())
        std::fprintf(stderr, "--rate without devices: no uplinks will be generated\n");
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kelvara-netsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(DESCRIPTION));
    parser.addHelpOption();
    parser.addOptions({
        { QStringLiteral("port"), QStringLiteral("Port on 127.0.0.1; 0 picks a free one."), QStringLiteral("n"),
            QStringLiteral("0") },
        { QStringLiteral("login"), QStringLiteral("Log-in name accepted."), QStringLiteral("name"),
            QStringLiteral("admin") },
        { QStringLiteral("password"), QStringLiteral("Password accepted."), QStringLiteral("text"),
            QStringLiteral("admin") },
        { QStringLiteral("devices"), QStringLiteral("Devices file (see above)."), QStringLiteral("file") },
        { QStringLiteral("scenario"), QStringLiteral("Scenario file of uplinks (see above)."), QStringLiteral("file") },
        { QStringLiteral("rate"), QStringLiteral("Generated uplinks per second across the devices; 0: none."),
            QStringLiteral("per-second"), QStringLiteral("0") },
        { QStringLiteral("rate-time"),
            QStringLiteral("Seconds of generated uplinks after log-in; default: the whole run."), QStringLiteral("s") },
        { QStringLiteral("payload-size"), QStringLiteral("Bytes of a generated payload."), QStringLiteral("n"),
            QStringLiteral("8") },
        { QStringLiteral("seed"), QStringLiteral("Seed of the generated payloads, RSSI and SNR."), QStringLiteral("n"),
            QStringLiteral("1") },
        { QStringLiteral("gateway"), QStringLiteral("gatewayId carried by the uplinks."), QStringLiteral("id"),
            QStringLiteral("00800000a0001234") },
        { QStringLiteral("duration"), QStringLiteral("Seconds to run before stopping."), QStringLiteral("s"),
            QStringLiteral("60") },
        { QStringLiteral("ping-delay"), QStringLiteral("Delay of the ping reply, ms."), QStringLiteral("ms"),
            QStringLiteral("0") },
        { QStringLiteral("devices-reply"),
            QStringLiteral("Device list requests: answer, refuse (status false) or ignore (no reply)."),
            QStringLiteral("mode"), QStringLiteral("answer") },
        { QStringLiteral("downlinks"),
            QStringLiteral("Downlink requests: accept (status true) or refuse (status false); each is printed."),
            QStringLiteral("mode"), QStringLiteral("accept") },
        { QStringLiteral("mqtt"), QStringLiteral("Publish to an MQTT broker as chirpstack or tts."),
            QStringLiteral("server") },
        { QStringLiteral("broker-port"), QStringLiteral("Port of the broker on 127.0.0.1."), QStringLiteral("n"),
            QStringLiteral("1883") },
        { QStringLiteral("devices-delay"), QStringLiteral("Delay of the device list reply, ms."), QStringLiteral("ms"),
            QStringLiteral("0") },
    });
    parser.process(app);

    SNetSimConfig config;
    if (!readConfig(parser, config))
        return 2;
    if (config.mqttFormat != EMqttFormat::eNone) {
        CMqttPublisher publisher(config);
        if (!publisher.start())
            return 1;
        QTimer::singleShot(config.durationS * 1000, &app, &QCoreApplication::quit);
        const int result = app.exec();
        std::printf("finished: %lld uplinks published\n", static_cast<long long>(publisher.sentUplinks()));
        return result;
    }
    CNetSimServer server(config);
    if (!server.listen())
        return 1;
    QTimer::singleShot(config.durationS * 1000, &app, &QCoreApplication::quit);
    const int result = app.exec();
    std::printf("finished: %lld uplinks sent\n", static_cast<long long>(server.sentUplinks()));
    return result;
}
