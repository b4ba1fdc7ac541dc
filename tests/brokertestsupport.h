#pragma once

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include "gateway/cgateway.h"
#include "gatewaytestsupport.h"

// Debian's mosquitto on a free loopback port with a configuration of the test's making.
class TestBroker
{
public:
    ~TestBroker() { stop(); }

    // Starts on `_port`, or on a free one when 0; false with the reason in `error`.
    bool start(const QString &_dir, const QStringList &_extraLines, quint16 _port = 0)
    {
        const QString program = findProgram(QStringLiteral("mosquitto"));
        if (program.isEmpty()) {
            error = QStringLiteral("mosquitto not found: install the Debian package mosquitto");
            return false;
        }
        port = _port ? _port : GatewayTest::freePort();
        // Started as root it would switch to the user mosquitto, who cannot read the test's files.
        const QStringList lines = QStringList { QStringLiteral("listener %1 127.0.0.1").arg(port),
            QStringLiteral("user root"), QStringLiteral("log_dest stderr") }
            + _extraLines;
        const QString config = QDir(_dir).filePath(QStringLiteral("mosquitto.conf"));
        if (!GatewayTest::writeFile(config, lines.join(QLatin1Char('\n')).toUtf8() + '\n')) {
            error = QStringLiteral("cannot write %1").arg(config);
            return false;
        }
        output.clear();
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, { QStringLiteral("-c"), config });
        const bool running = QTest::qWaitFor(
            [this] {
                output += process.readAll();
                return output.contains(" running") || process.state() == QProcess::NotRunning;
            },
            5000);
        if (!running || !output.contains(" running")) {
            error = QStringLiteral("mosquitto did not start: ") + QString::fromUtf8(output);
            return false;
        }
        return true;
    }

    void stop() { GatewayTest::stopProcess(process); }

    // All the broker has logged since its start, reading what came in meanwhile.
    QByteArray readOutput()
    {
        output += process.readAll();
        return output;
    }

    static QString findProgram(const QString &_name)
    {
        QString path = QStandardPaths::findExecutable(_name);
        if (path.isEmpty())
            path = QStandardPaths::findExecutable(_name, { QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin") });
        return path;
    }

    quint16 port = 0;
    QString error;
    QByteArray output;

private:
    QProcess process;
};

// A gateway's settings for a broker on this machine: the server kind's default topic and the client ID given.
inline SGatewayConfig brokerGatewayConfig(
    const QString &_dir, EServerKind _kind, quint16 _brokerPort, const QString &_clientId)
{
    SGatewayConfig config;
    config.workDir = _dir;
    config.serverKind = _kind;
    config.mqtt.kind = _kind;
    config.mqtt.host = QStringLiteral("127.0.0.1");
    config.mqtt.port = _brokerPort;
    config.mqtt.clientId = _clientId;
    config.mqtt.topic = MQTT::defaultTopic(_kind);
    return config;
}

// mosquitto_sub on the server's downlink topic, once a probe published there has come back; the
// probes' lines are read away, though one sent meanwhile may still come in.
inline bool subscribeToDownlinks(QProcess &_sub, EServerKind _kind, quint16 _brokerPort)
{
    const QString subscriber = TestBroker::findProgram(QStringLiteral("mosquitto_sub"));
    const QString publisher = TestBroker::findProgram(QStringLiteral("mosquitto_pub"));
    if (subscriber.isEmpty() || publisher.isEmpty())
        return false;
    const bool chirpStack = _kind == EServerKind::eChirpStack;
    const QString topic
        = chirpStack ? QStringLiteral("application/+/device/+/command/down") : QStringLiteral("v3/+/devices/+/down/push");
    _sub.start(subscriber, { "-h", "127.0.0.1", "-p", QString::number(_brokerPort), "-v", "-t", topic });
    if (!_sub.waitForStarted(5000))
        return false;
    const QString probeTopic = chirpStack ? QStringLiteral("application/probe/device/probe/command/down")
                                          : QStringLiteral("v3/probe/devices/probe/down/push");
    QByteArray received;
    return QTest::qWaitFor(
        [&] {
            QProcess::execute(publisher,
                { "-h", "127.0.0.1", "-p", QString::number(_brokerPort), "-t", probeTopic, "-m", "probe" });
            received += _sub.readAllStandardOutput();
            return received.contains("probe");
        },
        10000);
}
