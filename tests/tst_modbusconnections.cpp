#include <QPointer>
#include <QTcpServer>

#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "modbus/cacceptwatcher.h"
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include "modbusservertestsupport.h"

using namespace ModbusTest;
using namespace StoreTest;

// The connections of the Modbus servers: bursts accepted, idle and surplus clients closed,
// slow readers bounded, descriptors running out.
class TestModbusConnections : public CModbusServerFixture
{
    Q_OBJECT

private slots:
    void initTestCase() { startFixture(); }
    void cleanupTestCase() { stopFixture(); }

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
};

QTEST_GUILESS_MAIN(TestModbusConnections)
#include "tst_modbusconnections.moc"
