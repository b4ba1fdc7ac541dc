#pragma once

// Helpers for tests that run the gateway against the network-server simulator.

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace GatewayTest {

inline QString simulatorProgram() { return QStringLiteral(KELVARA_BINARY_DIR "/tools/netsim/kelvara-netsim"); }
inline QString gatewayProgram() { return QStringLiteral(KELVARA_BINARY_DIR "/kelvara"); }

// Log-in the simulators accept.
inline const QString LOGIN = QStringLiteral("operator");
inline const QString PASSWORD = QStringLiteral("s3cret");

// The temperature and humidity sensor of the examples: type 1, 7 bytes; temperature
// (int16) at register offset 6, humidity (uint16) at 7, battery (uint16) at 8.
inline const QString TH_APP_EUI = QStringLiteral("4B454C5641524101");
inline const QString PULSE_APP_EUI = QStringLiteral("4B454C5641524102");

// A port nobody listens on right now.
inline quint16 freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::Any, 0) ? probe.serverPort() : 0;
}

inline bool writeFile(const QString &_path, const QByteArray &_content)
{
    QFile file(_path);
    return file.open(QIODevice::WriteOnly) && file.write(_content) == _content.size();
}

// deviceFolder in the working directory with the example templates.
inline bool installTemplates(const QDir &_dir)
{
    if (!_dir.mkpath(QStringLiteral("deviceFolder")))
        return false;
    for (const char *name : { "th-sensor.json", "pulse-counter.json" }) {
        const QString target = _dir.filePath(QStringLiteral("deviceFolder/") + QLatin1String(name));
        if (!QFile::copy(QStringLiteral(KELVARA_SOURCE_DIR "/examples/") + QLatin1String(name), target))
            return false;
    }
    return true;
}

// Starts the simulator on a free loopback port; 0 on failure.
inline quint16 startSimulator(QProcess &_process, const QStringList &_arguments)
{
    _process.start(simulatorProgram(),
                   QStringList { QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--login"), LOGIN,
                                 QStringLiteral("--password"), PASSWORD }
                       + _arguments);
    if (!_process.waitForStarted(5000))
        return 0;
    for (int i = 0; i < 50 && !_process.canReadLine(); ++i)
        _process.waitForReadyRead(100);
    const QRegularExpressionMatch match = QRegularExpression(QStringLiteral("^listening on port (\\d+)$"))
                                              .match(QString::fromUtf8(_process.readLine()).trimmed());
    return match.hasMatch() ? static_cast<quint16>(match.captured(1).toUInt()) : 0;
}

// The simulator's "downlink ..." lines once _count of them are in, or all there are after 5 s.
inline QStringList simulatorDownlinks(QProcess &_simulator, int _count)
{
    QStringList received;
    QByteArray output;
    QTest::qWaitFor(
        [&] {
            output += _simulator.readAllStandardOutput();
            received.clear();
            for (const QByteArray &line : output.split('\n')) {
                if (line.startsWith("downlink "))
                    received << QString::fromUtf8(line);
            }
            return received.size() >= _count;
        },
        5000);
    return received;
}

inline void stopProcess(QProcess &_process)
{
    if (_process.state() == QProcess::NotRunning)
        return;
    _process.terminate();
    if (!_process.waitForFinished(5000)) {
        _process.kill();
        _process.waitForFinished(5000);
    }
}

// Whether something accepts connections on the loopback port, running the event loop meanwhile.
inline bool portAccepts(quint16 _port)
{
    QTcpSocket socket;
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    QSignalSpy failed(&socket, &QAbstractSocket::errorOccurred);
    socket.connectToHost(QHostAddress::LocalHost, _port);
    return QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, 5000) && !connected.isEmpty();
}

// Holding registers [_first, _first + _count) as mbpoll reads them (PDU addressing);
// empty when the read failed.
inline QMap<int, int> readWithMbpoll(quint16 _port, int _first, int _count)
{
    QProcess mbpoll;
    mbpoll.start(QStringLiteral("mbpoll"),
                 { QStringLiteral("-m"), QStringLiteral("tcp"), QStringLiteral("-p"), QString::number(_port),
                   QStringLiteral("-a"), QStringLiteral("1"), QStringLiteral("-0"), QStringLiteral("-r"),
                   QString::number(_first), QStringLiteral("-c"), QString::number(_count), QStringLiteral("-t"),
                   QStringLiteral("4:hex"), QStringLiteral("-1"), QStringLiteral("127.0.0.1") });
    QMap<int, int> values;
    if (!mbpoll.waitForFinished(10000) || mbpoll.exitCode() != 0)
        return values;
    const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+0x([0-9A-Fa-f]{4})"),
                                  QRegularExpression::MultilineOption);
    auto matches = line.globalMatch(QString::fromUtf8(mbpoll.readAllStandardOutput()));
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        values.insert(match.captured(1).toInt(), match.captured(2).toInt(nullptr, 16));
    }
    return values;
}

} // namespace GatewayTest
