#pragma once

#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

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
