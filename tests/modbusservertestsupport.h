#pragma once

// The Modbus server tests' fixture: a store in the test's folder, a server on a free port
// answering three devices on it and one on the next, and the helpers the cases share.

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <unistd.h>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "modbus/cconnectionhandler.h"
#include "modbus/cdevicehandler.h"
#include "modbus/cmodbusconnections.h"
#include "modbustestsupport.h"
#include "store/cdatabasehandler.h"
#include "peertestsupport.h"
#include "storetestsupport.h"
#include "testworkdir.h"

namespace ModbusTest {

using namespace StoreTest;

inline const QString incomplete1 = QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
inline const QString incomplete2 = QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
inline const QString incomplete3 = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");

// Accepts like CDeviceHandler but keeps a handle on the last connection.
class CWatchedServer : public QTcpServer
{
public:
    QPointer<CConnectionHandler> last;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        auto *connection = new CConnectionHandler(serverPort(), StoreTest::workingDirectoryStore(), SModbusLimits(),
                                                  CClock::system(), CLogFile::getInstance(QString()));
        if (connection->setSocketDescriptor(descriptor))
            last = connection;
    }
};

class CModbusServerFixture : public QObject
{
protected:
    CTestWorkDir dir;
    // Every line logged: these cases check each message; how often lines may come is a case of its own.
    CModbusConnections connections{unlimitedLog(), CClock::system(), CLogFile::getInstance(QString())};
    std::unique_ptr<CDeviceHandler> server;
    uint16_t port = 0;
    // Clock of the cases that move time themselves; connections may outlive a case.
    CManualClock fakeClock;

    static SModbusLimits unlimitedLog()
    {
        SModbusLimits limits;
        limits.clientLogIntervalMs = 0;
        return limits;
    }

    // Log lines ending in one of the connection's messages, in order.
    static QStringList connectionLines(const QSignalSpy &spy)
    {
        QStringList lines;
        for (const QList<QVariant> &args : spy) {
            const QString line = args.at(0).toString();
            const int at = line.indexOf(QStringLiteral("[CConnectionHandler]"));
            if (at >= 0)
                lines << line.mid(at);
        }
        return lines;
    }

    QByteArray ask(const QByteArray &request, int answerSize)
    {
        QTcpSocket client;
        if (!connectClient(client, port) || client.write(request) != request.size())
            return QByteArray("no connection");
        return readExactly(client, answerSize);
    }

    // Runs a client program to its end while the server keeps serving.
    static QByteArray runClient(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        process.start(program, arguments);
        if (!finished.wait(20000))
            process.kill();
        return process.readAllStandardOutput() + process.readAllStandardError();
    }

    // Resident memory of this process, in bytes; the server runs here.
    static qint64 residentBytes()
    {
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly))
            return -1;
        const QList<QByteArray> fields = statm.readAll().split(' ');
        return fields.size() > 1 ? fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE) : -1;
    }

    // The store and the served port with its devices; false when any of it fails.
    void startFixture()
    {
        QVERIFY(dir.enter());
        qRegisterMetaType<QProcess::ExitStatus>();
        CDataBaseHandler *store = StoreTest::workingDirectoryStore();
        QVERIFY(store);

        server = startServer(store, connections);
        QVERIFY(server->isListening());
        port = server->getPort();
        QCOMPARE(server->serverPort(), port);

        QVERIFY(store->registerNewDevice(
            device("A1", "Meter", 10, {reg("A", 0, 16), reg("B", 2, 16), reg("C", 11, 16), reg("Top", 65525, 16)}),
            port));
        QVERIFY(store->saveRegisterData(uplink(
            "A1", 10, {value("0102", 0, "0102"), value("ff9c", 2, "ff9c"), value("abcd", 11, "abcd"),
                       value("7fff", 65525, "7fff")})));
        // Registers of another port are not visible here.
        QVERIFY(store->registerNewDevice(device("B1", "Elsewhere", 10, {reg("A", 1, 16)}), uint16_t(port + 1)));
        QVERIFY(store->saveRegisterData(uplink("B1", 10, {value("5555", 1, "5555")})));
        // A second device sharing the port, with a text register that reads 0.
        QVERIFY(store->registerNewDevice(device("A2", "Neighbour", 40, {reg("T", 0, 16, "text"), reg("N", 1, 16)}),
                                         port));
        QVERIFY(store->saveRegisterData(uplink("A2", 40, {value("Hi", 0, "Hi"), value("1234", 1, "1234")})));
    }

    void stopFixture() { server.reset(); }
};

} // namespace ModbusTest
