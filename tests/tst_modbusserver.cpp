#include <QDir>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include <sys/resource.h>
#include <unistd.h>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "modbus/cacceptwatcher.h"
#include "modbus/cconnectionhandler.h"
#include "modbus/cdevicehandler.h"
#include "modbus/cmodbusconnections.h"
#include "store/cdatabasehandler.h"
#include "modbustestsupport.h"
#include "peertestsupport.h"
#include "storetestsupport.h"
#include "testworkdir.h"

using namespace ModbusTest;
using namespace StoreTest;

static const QString incomplete1 = QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue...");
static const QString incomplete2 = QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue...");
static const QString incomplete3 = QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer...");

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

class TestModbusServer : public QObject
{
    Q_OBJECT

private:
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

private slots:
    void initTestCase()
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

    void cleanupTestCase()
    {
        server.reset();
    }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("holding 10..12")
            << hex("0001 0000 0006 01 03 000a 0003") << hex("0001 0000 0009 01 03 06 0102 0000 ff9c");
        QTest::newRow("input 10..12")
            << hex("0002 0000 0006 01 04 000a 0003") << hex("0002 0000 0009 01 04 06 0102 0000 ff9c");
        QTest::newRow("only middle stored")
            << hex("0003 0000 0006 01 03 0014 0003") << hex("0003 0000 0009 01 03 06 0000 abcd 0000");
        QTest::newRow("protocol and unit echoed")
            << hex("000c 1234 0006 ff 03 000a 0001") << hex("000c 1234 0005 ff 03 02 0102");
        QTest::newRow("last address") << hex("000d 0000 0006 01 03 ffff 0001") << hex("000d 0000 0005 01 03 02 7fff");
        QTest::newRow("longer frame read from its first 12 bytes")
            << hex("000e 0000 0008 01 03 000a 0001 eeee") << hex("000e 0000 0005 01 03 02 0102");
        for (int function : {0x01, 0x02, 0x05, 0x06, 0x0f, 0x10}) {
            QTest::addRow("function %02x", function)
                << hex("0010 0000 0006 01 00 0000 0001").replace(7, 1, QByteArray(1, char(function)))
                << hex("0010 0000 0003 01 00 01").replace(7, 1, QByteArray(1, char(function | 0x80)));
        }
        QTest::newRow("quantity 0") << hex("0011 0000 0006 01 03 000a 0000") << hex("0011 0000 0003 01 83 03");
        QTest::newRow("quantity 126") << hex("0012 0000 0006 01 04 000a 007e") << hex("0012 0000 0003 01 84 03");
        QTest::newRow("past 65535") << hex("0013 0000 0006 01 03 ffff 0002") << hex("0013 0000 0003 01 83 02");
    }
    void answers()
    {
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QCOMPARE(ask(request, answer.size()).toHex(), answer.toHex());
    }

    void longestReadAndLongestFrame()
    {
        const QByteArray full = ask(hex("0020 0000 0006 01 03 0000 007d"), 9 + 250);
        QCOMPARE(full.size(), 259);
        QCOMPARE(full.left(9).toHex(), hex("0020 0000 00fd 01 03 fa").toHex());
        QCOMPARE(full.mid(9 + 20, 2).toHex(), hex("0102").toHex());

        // Length 254 is the largest legal frame: answered, not closed.
        const QByteArray longest = hex("0021 0000 00fe 01 03 000a 0001") + QByteArray(248, '\x55');
        QCOMPARE(longest.size(), 260);
        QCOMPARE(ask(longest, 11).toHex(), hex("0021 0000 0005 01 03 02 0102").toHex());
    }

    void splitRequests_data()
    {
        QTest::addColumn<int>("split");
        QTest::addColumn<QString>("message");
        QTest::newRow("after 3 bytes") << 3 << incomplete1;
        QTest::newRow("after 8 bytes") << 8 << incomplete2;
    }
    void splitRequests()
    {
        QFETCH(int, split);
        QFETCH(QString, message);
        const QByteArray request = hex("0030 0000 0006 01 03 000a 0001");
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QCOMPARE(client.write(request.left(split)), qint64(split));
        QTRY_COMPARE(connectionLines(log), QStringList{message});
        QCOMPARE(client.write(request.mid(split)), qint64(request.size() - split));
        QCOMPARE(readExactly(client, 11).toHex(), hex("0030 0000 0005 01 03 02 0102").toHex());
        QCOMPARE(connectionLines(log), QStringList{message});
    }

    void joinedAndStrayBytes()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        // Two requests in one segment, then four bytes that start a third.
        QVERIFY(client.write(hex("0005 0000 0006 01 03 000a 0001 0006 0000 0006 01 04 000c 0001 0007 0000")) == 28);
        QCOMPARE(readExactly(client, 22).toHex(),
                 hex("0005 0000 0005 01 03 02 0102 0006 0000 0005 01 04 02 ff9c").toHex());
        QTRY_COMPARE(connectionLines(log), QStringList{incomplete1});
        QVERIFY(client.write(hex("0006 01 03 0014 0002")) == 8);
        QCOMPARE(readExactly(client, 13).toHex(), hex("0007 0000 0007 01 03 04 0000 abcd").toHex());
    }

    // Only a frame without a function code cannot be answered; a read cut short gets 03.
    void frameWithoutFunctionDroppedUnanswered()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QVERIFY(client.write(hex("0008 0000 0001 01")) == 7);
        QTRY_COMPARE(connectionLines(log), (QStringList{incomplete3, incomplete1}));
        QVERIFY(client.write(hex("000a 0000 0002 01 03")) == 8);
        QCOMPARE(readExactly(client, 9).toHex(), hex("000a 0000 0003 01 83 03").toHex());
        QVERIFY(client.write(hex("0009 0000 0006 01 03 000a 0001")) == 12);
        QCOMPARE(readExactly(client, 11).toHex(), hex("0009 0000 0005 01 03 02 0102").toHex());
    }

    // Ten frames without a function code, each followed by a read, all in one segment per write.
    void badFramesLoggedOncePerSecondPerClient()
    {
        CModbusConnections limited{SModbusLimits(), &fakeClock, CLogFile::getInstance(QString())};
        std::unique_ptr<CDeviceHandler> own = startServer(StoreTest::workingDirectoryStore(), limited);
        QVERIFY(own->isListening());
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        const QByteArray bad = hex("0008 0000 0001 01");
        const QByteArray read = hex("0009 0000 0006 01 03 000a 0001");
        const QByteArray answer = hex("0009 0000 0005 01 03 02 0000");

        QTcpSocket noisy;
        QVERIFY(connectClient(noisy, own->getPort()));
        QVERIFY(noisy.write(bad.repeated(10) + read) == 10 * 7 + 12);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), QStringList{incomplete3});

        fakeClock.advance(999);
        QVERIFY(noisy.write(bad + read) == 19);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), QStringList{incomplete3});

        // Another client has a second of its own.
        QTcpSocket other;
        QVERIFY(connectClient(other, own->getPort()));
        QVERIFY(other.write(bad + read) == 19);
        QCOMPARE(readExactly(other, 11).toHex(), answer.toHex());
        QCOMPARE(connectionLines(log), (QStringList{incomplete3, incomplete3}));

        fakeClock.advance(1);
        QVERIFY(noisy.write(bad.repeated(2) + read) == 26);
        QCOMPARE(readExactly(noisy, 11).toHex(), answer.toHex());
        const QStringList lines = connectionLines(log);
        QCOMPARE(lines.size(), 4);
        QCOMPARE(lines.at(2), incomplete3);
        QVERIFY2(QRegularExpression("^\\[CConnectionHandler\\] \\[10\\] more lines of client \\[127\\.0\\.0\\.1:"
                                    + QString::number(noisy.localPort()) + "\\] left out$")
                     .match(lines.at(3))
                     .hasMatch(),
                 qPrintable(lines.at(3)));
    }

    void oversizedLengthClosesConnection()
    {
        QTcpSocket client;
        QVERIFY(connectClient(client, port));
        QSignalSpy closed(&client, &QTcpSocket::disconnected);
        QVERIFY(client.write(hex("000b 0000 00ff 01 03")) == 8);
        QVERIFY(closed.wait(5000));
        QCOMPARE(client.readAll(), QByteArray());
    }

    // A burst of clients connecting at once waits in the listen queue instead of overflowing
    // Qt's 50 and waiting a second for the SYN to be sent again. ss shows a listening
    // socket's backlog as its Send-Q.
    void listenBacklogHoldsABurst()
    {
        const QString ss = PeerTest::missingProgram(QStringLiteral("ss"), QStringLiteral("iproute2"));
        QVERIFY2(ss.isEmpty(), qPrintable(ss));
        QFile limit(QStringLiteral("/proc/sys/net/core/somaxconn"));
        QVERIFY(limit.open(QIODevice::ReadOnly));
        const int expected = qMin(int(SOMAXCONN), limit.readAll().trimmed().toInt());
        const QStringList fields = QString::fromLatin1(runClient("ss", {"-ltnH", QStringLiteral("sport = :%1").arg(port)}))
                                       .simplified()
                                       .split(QLatin1Char(' '));
        QVERIFY2(fields.size() >= 4 && fields.at(0) == QLatin1String("LISTEN"), qPrintable(fields.join(' ')));
        QCOMPARE(fields.at(2).toInt(), expected);
    }

    void burstIsAcceptedInOneWakeUp()
    {
        CAcceptWatcher watcher;
        CModbusConnections burst{unlimitedLog()};
        std::unique_ptr<CDeviceHandler> own;
        for (int attempt = 0; attempt < 5 && !(own && own->isListening()); ++attempt) {
            own.reset(new CDeviceHandler(freePort(), StoreTest::workingDirectoryStore(), burst, &watcher));
            own->open(QHostAddress::LocalHost, false);
        }
        QVERIFY(own && own->isListening());
        // Six times Qt's own backlog. The kernel completes each handshake into the listen queue
        // while this thread, the server's, does not run its event loop.
        const int CLIENTS = 300;
        std::vector<int> clients;
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(own->getPort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < CLIENTS; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            QVERIFY(fd >= 0);
            clients.push_back(fd);
            QVERIFY2(::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0, strerror(errno));
        }
        // The watcher posts one call; delivering posted calls alone, with no socket notifier looked
        // at, takes the whole queue at once.
        QElapsedTimer waited;
        waited.start();
        while (burst.openCount() == 0 && waited.elapsed() < 5000) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            QThread::msleep(1);
        }
        QCOMPARE(burst.openCount(), CLIENTS);

        // Every one of them is answered: nothing is stored on this port, a zero.
        const QByteArray request = hex("0060 0000 0006 01 03 000a 0001");
        for (int fd : clients)
            QCOMPARE(int(::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)), int(request.size()));
        std::vector<QByteArray> answers(clients.size());
        int complete = 0;
        waited.restart();
        while (complete < CLIENTS && waited.elapsed() < 5000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            complete = 0;
            for (size_t i = 0; i < clients.size(); ++i) {
                char buffer[32];
                const ssize_t got = ::recv(clients[i], buffer, sizeof buffer, MSG_DONTWAIT);
                if (got > 0)
                    answers[i].append(buffer, int(got));
                complete += answers[i].size() >= 11 ? 1 : 0;
            }
        }
        for (const QByteArray &answer : answers)
            QCOMPARE(answer.toHex(), hex("0060 0000 0005 01 03 02 0000").toHex());
        for (int fd : clients)
            ::close(fd);
        QTRY_COMPARE(burst.openCount(), 0);
    }

    void connectionSetsNoDelayAndEndsWithPeer()
    {
        CWatchedServer watched;
        QVERIFY(watched.listen(QHostAddress::LocalHost, 0));
        auto client = std::make_unique<QTcpSocket>();
        QVERIFY(connectClient(*client, watched.serverPort()));
        QTRY_VERIFY(!watched.last.isNull());
        QCOMPARE(watched.last->socketOption(QAbstractSocket::LowDelayOption).toInt(), 1);
        client->disconnectFromHost();
        QTRY_VERIFY(watched.last.isNull());
    }

    void connectionKeepsAlive()
    {
        CWatchedServer watched;
        QVERIFY(watched.listen(QHostAddress::LocalHost, 0));
        QTcpSocket client;
        QVERIFY(connectClient(client, watched.serverPort()));
        QTRY_VERIFY(!watched.last.isNull());
        QCOMPARE(watched.last->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
    }

    void idleConnectionIsClosed()
    {
        SModbusLimits limits;
        limits.idleTimeoutMs = 100;
        CManualClock idleClock;
        CModbusConnections short_{limits, &idleClock, CLogFile::getInstance(QString())};
        std::unique_ptr<CDeviceHandler> own = startServer(StoreTest::workingDirectoryStore(), short_);
        QVERIFY(own->isListening());
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);

        QTcpSocket idle;
        QVERIFY(connectClient(idle, own->getPort()));
        QTcpSocket busy;
        QVERIFY(connectClient(busy, own->getPort()));
        QSignalSpy busyClosed(&busy, &QTcpSocket::disconnected);
        QSignalSpy idleClosed(&idle, &QTcpSocket::disconnected);
        // Busy: a request every 40 ms of the clock, over more than two time-outs.
        for (int i = 0; i < 6; ++i) {
            QVERIFY(busy.write(hex("0060 0000 0006 01 03 000a 0001")) == 12);
            // Nothing is stored on this port: a zero.
            QCOMPARE(readExactly(busy, 11).toHex(), hex("0060 0000 0005 01 03 02 0000").toHex());
            // Not before the time-out has passed.
            if (i < 2)
                QCOMPARE(short_.count(), 2);
            idleClock.advance(40);
        }
        QVERIFY(idle.state() == QAbstractSocket::UnconnectedState || idleClosed.wait(5000));
        QVERIFY(busyClosed.isEmpty());
        QCOMPARE(busy.state(), QAbstractSocket::ConnectedState);
        QTRY_COMPARE(short_.count(), 1);
        QVERIFY(connectionLines(log).join('\n').contains(QRegularExpression("Client \\[127.0.0.1:\\d+\\] idle for \\[\\d+\\] ms")));

        idleClock.advance(100);
        QVERIFY(busyClosed.wait(5000));
        QTRY_COMPARE(short_.count(), 0);
    }

    // Three connections over two ports; the clock moves only when the test says.
    void capClosesLongestIdleAcrossPorts()
    {
        SModbusLimits limits;
        limits.maxConnections = 3;
        limits.idleTimeoutMs = 0;
        CModbusConnections capped{limits, &fakeClock, CLogFile::getInstance(QString())};
        std::unique_ptr<CDeviceHandler> first = startServer(StoreTest::workingDirectoryStore(), capped);
        std::unique_ptr<CDeviceHandler> second = startServer(StoreTest::workingDirectoryStore(), capped);
        QVERIFY(first->isListening() && second->isListening());
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        const auto limitLines = [&log] {
            QStringList lines;
            for (const QList<QVariant> &args : log) {
                const QString line = args.at(0).toString();
                if (line.contains("[CModbusConnections]"))
                    lines << line.mid(line.indexOf("WARNING"));
            }
            return lines;
        };
        const auto poll = [](QTcpSocket &_client, char _id) {
            QByteArray request = hex("0070 0000 0006 01 03 000a 0001");
            QByteArray answer = hex("0070 0000 0005 01 03 02 0000"); // nothing stored on these ports
            request[1] = answer[1] = _id;
            return _client.write(request) == 12 && readExactly(_client, 11) == answer;
        };

        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (uint16_t port : {first->getPort(), second->getPort(), first->getPort()}) {
            clients.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(connectClient(*clients.back(), port));
        }
        QTRY_COMPARE(capped.count(), 3);
        // Client 1 (second port) never sends: it is the longest idle.
        fakeClock.advance(10);
        QVERIFY(poll(*clients[0], 1));
        fakeClock.advance(10);
        QVERIFY(poll(*clients[2], 3));

        QSignalSpy closed1(clients[1].get(), &QTcpSocket::disconnected);
        clients.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectClient(*clients.back(), second->getPort()));
        QVERIFY(closed1.wait(5000));
        QVERIFY(poll(*clients[3], 4));
        QVERIFY(poll(*clients[0], 1));
        QVERIFY(poll(*clients[2], 3));
        QCOMPARE(capped.count(), 3);
        QCOMPARE(limitLines().size(), 1);
        QVERIFY2(limitLines().at(0).startsWith("WARNING: [CModbusConnections] Connection limit [3] reached. Close the "
                                               "longest idle connection from [127.0.0.1:"),
                 qPrintable(limitLines().at(0)));

        // Within the minute: closed, not logged. Client 0 was polled first after client 1: next longest idle.
        fakeClock.advance(10);
        QVERIFY(poll(*clients[2], 3));
        QVERIFY(poll(*clients[3], 4));
        QSignalSpy closed0(clients[0].get(), &QTcpSocket::disconnected);
        clients.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectClient(*clients.back(), first->getPort()));
        QVERIFY(closed0.wait(5000));
        QCOMPARE(limitLines().size(), 1);

        // A minute on: logged again, with the count of the closings left out.
        fakeClock.advance(60 * 1000);
        QVERIFY(poll(*clients[3], 4));
        QVERIFY(poll(*clients[4], 5));
        QSignalSpy closed2(clients[2].get(), &QTcpSocket::disconnected);
        clients.push_back(std::make_unique<QTcpSocket>());
        QVERIFY(connectClient(*clients.back(), second->getPort()));
        QVERIFY(closed2.wait(5000));
        QCOMPARE(limitLines().size(), 3);
        QCOMPARE(limitLines().at(2), QStringLiteral("WARNING: [CModbusConnections] [1] more connections closed at the limit"));
        for (int i : {3, 4, 5})
            QVERIFY(poll(*clients[size_t(i)], char(i)));
        QCOMPARE(capped.count(), 3);
    }

    // The descriptor limit is reached before the connection cap: the port must go on accepting.
    void outOfDescriptorsClosesLongestIdle()
    {
        std::unique_ptr<CDeviceHandler> own = startServer(StoreTest::workingDirectoryStore(), connections);
        QVERIFY(own->isListening());
        const QString script = QStringLiteral(
            "import socket, sys\n"
            "sys.stdin.readline()\n"
            "idle = [socket.create_connection(('127.0.0.1', int(sys.argv[1]))) for _ in range(20)]\n"
            "s = socket.create_connection(('127.0.0.1', int(sys.argv[1])), timeout=5)\n"
            "s.sendall(bytes.fromhex('00770000000601030000' '0001'))\n"
            "try:\n"
            "    print('answer', s.recv(64).hex(), flush=True)\n"
            "except OSError as e:\n"
            "    print('no answer', e, flush=True)\n");
        QProcess client;
        client.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, QString::number(own->getPort())});
        QVERIFY2(client.waitForStarted(5000), "needs Debian's python3");
        QSignalSpy finished(&client, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);

        rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit low = saved;
        // Accepted descriptors are the lowest free ones; room for a few connections above
        // the 32 kept spare.
        const int open = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size();
        low.rlim_cur = rlim_t(open + 32 + 6);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &low), 0);
        QVERIFY(client.write("go\n") == 3);
        const bool ended = finished.wait(10000);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QVERIFY(ended);
        QCOMPARE(client.readAll().trimmed(), QByteArray("answer 00770000000501030200" "00"));
        int warnings = 0;
        for (const QList<QVariant> &args : log)
            warnings += args.at(0).toString().contains(
                QStringLiteral("WARNING: [CModbusConnections] Open files near their limit. Close the longest idle "
                               "connection from [127.0.0.1:"));
        QCOMPARE(warnings, 1);
    }

    void manyClientsServedAtOnce()
    {
        const int count = 16;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(connectClient(*clients.back(), port));
        }
        // Each sends half a request, then all complete theirs.
        QByteArray requests[count];
        for (int i = 0; i < count; ++i) {
            requests[i] = hex("0000 0000 0006 01 03 000a 0003");
            requests[i][1] = char(i);
            QVERIFY(clients[i]->write(requests[i].left(7)) == 7);
        }
        for (int i = count - 1; i >= 0; --i)
            QVERIFY(clients[i]->write(requests[i].mid(7)) == 5);
        for (int i = 0; i < count; ++i) {
            QByteArray expected = hex("0000 0000 0009 01 03 06 0102 0000 ff9c");
            expected[1] = char(i);
            QCOMPARE(readExactly(*clients[i], 15).toHex(), expected.toHex());
        }
    }

    void modbusAnswersDeviceFailureWithoutAStore()
    {
        std::unique_ptr<CDeviceHandler> noStore = startServer(nullptr, connections);
        QVERIFY(noStore->isListening());
        QTcpSocket client;
        QVERIFY(connectClient(client, noStore->getPort()));
        QVERIFY(client.write(hex("0001 0000 0006 01 03 0000 0002")) == 12);
        QCOMPARE(readExactly(client, 9).toHex(), hex("0001 0000 0003 01 83 04").toHex());
        // Unsupported functions do not need the store.
        QVERIFY(client.write(hex("0002 0000 0006 01 06 0000 0002")) == 12);
        QCOMPARE(readExactly(client, 9).toHex(), hex("0002 0000 0003 01 86 01").toHex());
    }

    void connectionOutlivesItsServer()
    {
        std::unique_ptr<CDeviceHandler> own = startServer(StoreTest::workingDirectoryStore(), connections);
        QVERIFY(own->isListening());
        const uint16_t ownPort = own->getPort();
        QTcpSocket early;
        QVERIFY(connectClient(early, ownPort));
        // Answered once, so the server has surely taken the connection before it goes.
        QVERIFY(early.write(hex("004f 0000 0006 01 03 000a 0001")) == 12);
        QCOMPARE(readExactly(early, 11).toHex(), hex("004f 0000 0005 01 03 02 0000").toHex());
        own->deleteLater();
        QSignalSpy gone(own.release(), &QObject::destroyed);
        QVERIFY(gone.wait(5000));

        // Nothing stored on this port: zeros, from the connection that is still open.
        QVERIFY(early.write(hex("0050 0000 0006 01 03 000a 0002")) == 12);
        QCOMPARE(readExactly(early, 13).toHex(), hex("0050 0000 0007 01 03 04 0000 0000").toHex());

        QTcpSocket late;
        QSignalSpy refused(&late, &QAbstractSocket::errorOccurred);
        late.connectToHost(QHostAddress::LocalHost, ownPort);
        QVERIFY(refused.wait(5000));
        QCOMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
    }

    // A client that sends 200,000 reads of 125 registers and reads nothing until told.
    void slowReaderIsBoundedAndAnsweredInOrder()
    {
        const QString script = QStringLiteral(
            "import select, socket, struct, sys, threading, time\n"
            "s = socket.socket()\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)\n"
            "s.connect(('127.0.0.1', int(sys.argv[1])))\n"
            "s.setblocking(False)\n"
            "data = b''.join(struct.pack('>HHHBBHH', i & 0xffff, 0, 6, 1, 3, 0, 125) for i in range(200000))\n"
            "sent, last = 0, time.monotonic()\n"
            "while sent < len(data) and time.monotonic() - last < 0.2:\n"
            "    select.select([], [s], [], 0.05)\n"
            "    try:\n"
            "        n = s.send(data[sent:sent + 65536])\n"
            "    except BlockingIOError:\n"
            "        n = 0\n"
            "    if n:\n"
            "        sent, last = sent + n, time.monotonic()\n"
            "count = (sent + 11) // 12\n"
            "print('sent', count, flush=True)\n"
            "sys.stdin.readline()\n"
            "s.setblocking(True)\n"
            "s.settimeout(10)\n"
            "threading.Thread(target=s.sendall, args=(data[sent:count * 12],)).start()\n"
            "head = bytes.fromhex('000000fd0103fa')\n"
            "buf = bytearray()\n"
            "for i in range(count):\n"
            "    while len(buf) < 259:\n"
            "        chunk = s.recv(1 << 20)\n"
            "        if not chunk:\n"
            "            print('closed at', i, flush=True)\n"
            "            sys.exit(1)\n"
            "        buf += chunk\n"
            "    if struct.unpack('>H', buf[0:2])[0] != i & 0xffff or buf[2:9] != head:\n"
            "        print('bad answer', i, buf[0:9].hex(), flush=True)\n"
            "        sys.exit(1)\n"
            "    del buf[0:259]\n"
            "print('answered', count, 'extra', len(buf), flush=True)\n");
        const qint64 before = residentBytes();
        QVERIFY(before > 0);
        QProcess client;
        client.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), script, QString::number(port)});
        QVERIFY2(client.waitForStarted(5000), "needs Debian's python3");
        QSignalSpy output(&client, &QProcess::readyReadStandardOutput);
        QTRY_VERIFY_WITH_TIMEOUT(client.canReadLine(), 20000);
        const QByteArray sentLine = client.readLine().trimmed();
        QVERIFY2(sentLine.startsWith("sent "), sentLine.constData());
        const int sent = sentLine.mid(5).toInt();
        QVERIFY(sent > 0);

        // Another client is answered while the first one reads nothing.
        QCOMPARE(ask(hex("0042 0000 0006 01 03 000a 0001"), 11).toHex(), hex("0042 0000 0005 01 03 02 0102").toHex());
        const qint64 grown = residentBytes() - before;
        qInfo("slow reader: %d requests sent, server grew by %.1f MB", sent, grown / 1e6);
        QVERIFY2(grown < 10 * 1000 * 1000, qPrintable(QString::number(grown)));

        QVERIFY(client.write("read\n") == 5);
        QSignalSpy finished(&client, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        QVERIFY(finished.wait(20000));
        const QByteArray result = client.readAll().trimmed();
        QCOMPARE(result, QByteArray("answered ") + QByteArray::number(sent) + " extra 0");
    }

    void mbpollReadsRegisters_data()
    {
        QTest::addColumn<QString>("type");
        QTest::newRow("holding") << "4:hex";
        QTest::newRow("input") << "3:hex";
    }
    void mbpollReadsRegisters()
    {
        QFETCH(QString, type);
        const QString missing = PeerTest::missingProgram("mbpoll", "mbpoll");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString output = QString::fromLatin1(
            runClient("mbpoll", {"-m", "tcp", "-p", QString::number(port), "-a", "1", "-r", "10", "-c", "3", "-t",
                                 type, "-1", "-0", "127.0.0.1"}));
        QVERIFY2(QRegularExpression("\\[10\\]:\\s+0x0102\\b").match(output).hasMatch(), qPrintable(output));
        QVERIFY2(QRegularExpression("\\[11\\]:\\s+0x0000\\b").match(output).hasMatch(), qPrintable(output));
        QVERIFY2(QRegularExpression("\\[12\\]:\\s+0xFF9C\\b", QRegularExpression::CaseInsensitiveOption)
                     .match(output)
                     .hasMatch(),
                 qPrintable(output));
    }

    void pymodbusReadsRegisters()
    {
        const QString missing = PeerTest::missingPythonModule(
            "pymodbus.client", "python3-pymodbus (and python3-serial-asyncio, which its client imports)");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString script = QStringLiteral(
            "import sys\n"
            "from pymodbus.client import ModbusTcpClient\n"
            "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), timeout=3)\n"
            "assert c.connect()\n"
            "h = c.read_holding_registers(10, 3, slave=1)\n"
            "i = c.read_input_registers(20, 3, slave=1)\n"
            "print('holding', h.registers)\n"
            "print('input', i.registers)\n"
            "print('shared port', c.read_holding_registers(39, 4, slave=1).registers)\n"
            "print('coils', c.read_coils(10, 1, slave=1).exception_code)\n"
            "print('write coil', c.write_coil(10, True, slave=1).exception_code)\n"
            "print('write register', c.write_register(10, 7, slave=1).exception_code)\n"
            "print('write registers', c.write_registers(10, [7, 8], slave=1).exception_code)\n"
            "print('quantity 0', c.read_holding_registers(10, 0, slave=1).exception_code)\n"
            "print('quantity 126', c.read_holding_registers(10, 126, slave=1).exception_code)\n"
            "print('quantity 125', len(c.read_holding_registers(0, 125, slave=1).registers))\n"
            "c.close()\n");
        const QString output =
            QString::fromLatin1(runClient("/usr/bin/python3", {"-c", script, QString::number(port)}));
        QVERIFY2(output.contains("holding [258, 0, 65436]"), qPrintable(output));
        QVERIFY2(output.contains("input [0, 43981, 0]"), qPrintable(output));
        QVERIFY2(output.contains("shared port [0, 0, 4660, 0]"), qPrintable(output));
        for (const char *refused : {"coils 1", "write coil 1", "write register 1", "write registers 1", "quantity 0 3",
                                    "quantity 126 3"})
            QVERIFY2(output.contains(refused), qPrintable(output));
        QVERIFY2(output.contains("quantity 125 125"), qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestModbusServer)
#include "tst_modbusserver.moc"
