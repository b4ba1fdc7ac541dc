#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QSignalSpy>
#include <QSslConfiguration>
#include <QSslKey>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "peertestsupport.h"
#include "server/cserverhandler.h"
#include "statustestsupport.h"
#include "testworkdir.h"

// Plays the network server on a free loopback port: answers the ping and the
// log-in as told, records every text it receives, and lets the test push the rest.
class FakeNetworkServer : public QObject
{
    Q_OBJECT

public:
    QWebSocketServer server { QStringLiteral("fake"), QWebSocketServer::NonSecureMode };
    QList<QWebSocket *> clients;
    QStringList received;
    QString pingReply = QStringLiteral("{\"cmd\":\"cmd\",\"err_string\":\"unknown_cmd\"}");
    // The ping's reply waits for releasePingReply() when held.
    bool holdPingReply = false;
    QString authReply = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true,\"token\":\"T0K3N\"}");

    FakeNetworkServer() { connect(&server, &QWebSocketServer::newConnection, this, &FakeNetworkServer::accept); }

    bool start(quint16 _port = 0) { return server.listen(QHostAddress::LocalHost, _port); }
    QString url() const { return QStringLiteral("ws://127.0.0.1:%1").arg(server.serverPort()); }
    void send(const QString &_text) { clients.last()->sendTextMessage(_text); }

    void releasePingReply()
    {
        if (heldPingClient)
            heldPingClient->sendTextMessage(pingReply);
    }

signals:
    void messageReceived(QString);

private slots:
    void accept()
    {
        while (QWebSocket *client = server.nextPendingConnection()) {
            client->setParent(this);
            clients << client;
            connect(client, &QWebSocket::textMessageReceived, this,
                [this, client](const QString &_text) { answer(client, _text); });
        }
    }

private:
    QPointer<QWebSocket> heldPingClient;

    void answer(QWebSocket *_client, const QString &_text)
    {
        received << _text;
        if (_text.contains(QStringLiteral("\"cmd\":\"cmd\""))) {
            if (holdPingReply)
                heldPingClient = _client;
            else
                _client->sendTextMessage(pingReply);
        } else if (_text.contains(QStringLiteral("\"cmd\":\"auth_req\""))) {
            _client->sendTextMessage(authReply);
        }
        emit messageReceived(_text);
    }
};


class TestServerHandler : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;
    // Deadlines and back-offs run on this clock: the tests move time on instead of waiting.
    CManualClock *clock = nullptr;
    CServerHandler *handler = nullptr;
    FakeNetworkServer *fake = nullptr;
    QSignalSpy *statusSpy = nullptr;
    QSignalSpy *logSpy = nullptr;

    Statuses statuses() const { return StatusTest::statusesOf(*statusSpy); }
    COMM::EServerStatus lastStatus() const { return StatusTest::lastStatusOf(*statusSpy); }
    int logCount(const QString &_text) const
    {
        int count = 0;
        for (const QList<QVariant> &args : *logSpy)
            count += args.at(0).toString().endsWith(_text) ? 1 : 0;
        return count;
    }
    bool logContains(const QString &_text) const
    {
        for (const QList<QVariant> &args : *logSpy)
            if (args.at(0).toString().contains(_text))
                return true;
        return false;
    }
    bool logIn()
    {
        handler->connectSlot(fake->url(), QStringLiteral("operator"), QStringLiteral("secret"));
        return QTest::qWaitFor([this] { return lastStatus() == COMM::eSuccess; }, 5000);
    }
    static QString rxMessage(const QString &_type, const QString &_devEui, const QString &_data)
    {
        return QStringLiteral("{\"cmd\":\"rx\",\"type\":\"%1\",\"devEui\":\"%2\",\"ts\":1700000000000,"
                              "\"gatewayId\":\"00000000000000ab\",\"ack\":false,\"fcnt\":1,\"port\":2,\"data\":\"%3\","
                              "\"freq\":868100000,\"dr\":5,\"rssi\":-80,\"snr\":7.5}")
            .arg(_type, _devEui, _data);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
    }

    void init()
    {
        clock = new CManualClock();
        handler = new CServerHandler(clock, SServerTimings(), CLogFile::getInstance(QString()));
        fake = new FakeNetworkServer();
        QVERIFY(fake->start());
        statusSpy = new QSignalSpy(handler, &CServerHandler::changeServerStatus);
        logSpy = new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    }
    void cleanup()
    {
        delete logSpy;
        delete statusSpy;
        delete handler;
        delete fake;
        delete clock;
    }

    void wireBytesAndLoginSequence()
    {
        handler->connectSlot(fake->url(), QStringLiteral("op\u00e9rator"), QStringLiteral("pa\"ss"));
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(
            statuses(), (Statuses { COMM::eDisconnected, COMM::ePingWaiting, COMM::eAuthWaiting, COMM::eSuccess }));

        QVERIFY(handler->getDevicesList({ QStringLiteral("70b3d5e75e000001"), QStringLiteral("AA") }));
        QTRY_COMPARE(fake->received.size(), 3);
        QCOMPARE(fake->received.at(0).toUtf8(), QByteArray("{\"cmd\":\"cmd\"}"));
        QCOMPARE(fake->received.at(1).toUtf8(),
            QByteArray("{\"cmd\":\"auth_req\",\"login\":\"op\xc3\xa9rator\",\"password\":\"pa\\\"ss\"}"));
        QCOMPARE(fake->received.at(2).toUtf8(),
            QByteArray("{\"cmd\":\"get_devices_req\",\"select\":{\"appEui_list\":[\"70b3d5e75e000001\",\"AA\"]}}"));
    }

    void invalidUrlIsNotOpened()
    {
        handler->connectSlot(QStringLiteral("ws://[::1:80"), QStringLiteral("a"), QStringLiteral("b"));
        QCOMPARE(statuses(), Statuses { COMM::eDisconnected });
        QCOMPARE(logCount(QStringLiteral("[CServerHandler::connectSlot] Invalid input URL [ws://[::1:80]")), 1);
    }

    void authReplies_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<QString>("debugText");
        const QString prefix = QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=auth: unknown message");
        QTest::newRow("[1] no cmd") << "{\"status\":true,\"token\":\"x\"}" << prefix + "[1]";
        QTest::newRow("[2] uplink instead") << rxMessage("UNCONF_UP", "01", "00") << prefix + "[2]";
        QTest::newRow("[3] no status") << "{\"cmd\":\"auth_resp\",\"token\":\"x\"}" << prefix + "[3]";
        QTest::newRow("[4] refused")
            << "{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"invalid_login_or_password\"}"
            << prefix + "[4], err[invalid_login_or_password]";
        QTest::newRow("[4] status as text") << "{\"cmd\":\"auth_resp\",\"status\":\"true\"}" << prefix + "[4], err[]";
    }
    void authReplies()
    {
        QFETCH(QString, reply);
        QFETCH(QString, debugText);
        fake->authReply = reply;
        QTest::ignoreMessage(QtDebugMsg, debugText.toUtf8().constData());
        handler->connectSlot(fake->url(), QStringLiteral("operator"), QStringLiteral("wrong"));
        QTRY_COMPARE(lastStatus(), COMM::eInvalidAuth);
        QCOMPARE(
            statuses(), (Statuses { COMM::eDisconnected, COMM::ePingWaiting, COMM::eAuthWaiting, COMM::eInvalidAuth }));

        // Refused: the link is idle, later pushes are ignored and nothing may be requested.
        QSignalSpy packetSpy(handler, &CServerHandler::newPacketReceived);
        fake->send(rxMessage("UNCONF_UP", "02", "00"));
        QVERIFY(!packetSpy.wait(100));
        QVERIFY(!handler->getDevicesList({ QStringLiteral("AA") }));
        QCOMPARE(logCount(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return")), 1);
    }

    void refusedLoginIsNotRetried()
    {
        fake->authReply = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"bad\"}");
        QTest::ignoreMessage(
            QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[4], err[bad]");
        handler->connectSlot(fake->url(), QStringLiteral("operator"), QStringLiteral("wrong"));
        QTRY_COMPARE(lastStatus(), COMM::eInvalidAuth);
        QSignalSpy connectionSpy(&fake->server, &QWebSocketServer::newConnection);
        fake->clients.last()->close();
        QTRY_COMPARE(lastStatus(), COMM::eDisconnected);
        clock->advance(120000);
        QVERIFY(!connectionSpy.wait(100));
    }

    void latePingReply()
    {
        fake->holdPingReply = true;
        handler->connectSlot(fake->url(), QStringLiteral("operator"), QStringLiteral("secret"));
        QTRY_COMPARE(lastStatus(), COMM::ePingWaiting);
        clock->advance(1999);
        QCOMPARE(lastStatus(), COMM::ePingWaiting);
        clock->advance(1);
        QCOMPARE(lastStatus(), COMM::eInvalidPing);
        QTRY_VERIFY(fake->received.size() == 1);
        fake->releasePingReply();
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(statuses(),
            (Statuses {
                COMM::eDisconnected, COMM::ePingWaiting, COMM::eInvalidPing, COMM::eAuthWaiting, COMM::eSuccess }));
    }

    void pingReplyWithoutErrorString()
    {
        fake->pingReply = QStringLiteral("{\"cmd\":\"cmd\"}");
        QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=ping: unknown message");
        handler->connectSlot(fake->url(), QStringLiteral("operator"), QStringLiteral("secret"));
        QTRY_COMPARE(lastStatus(), COMM::eInvalidPing);
        fake->send(QStringLiteral("{\"err_string\":\"unknown_cmd\"}"));
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(statuses(),
            (Statuses {
                COMM::eDisconnected, COMM::ePingWaiting, COMM::eInvalidPing, COMM::eAuthWaiting, COMM::eSuccess }));
    }

    void uplinksAfterLogin()
    {
        QVERIFY(logIn());
        QSignalSpy packetSpy(handler, &CServerHandler::newPacketReceived);
        QTest::ignoreMessage(QtDebugMsg, "[SApiDeviceData] Not UPLINK message");
        QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] Uncknown input message format");
        QTest::ignoreMessage(
            QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=verified: unknown message[1]");
        fake->send(rxMessage("UNCONF_UP", "70b3d5e75e00a1b2", "0102"));
        fake->send(rxMessage("JOIN_REQ", "70b3d5e75e00a1b3", "0102"));
        fake->send(QStringLiteral("not json"));
        fake->send(QStringLiteral("{\"status\":true}"));
        fake->send(QStringLiteral("{\"cmd\":\"tx\",\"devEui\":\"01\"}"));
        fake->send(rxMessage("CONF_UP", "70b3d5e75e00a1b4", ""));
        QTRY_COMPARE(packetSpy.count(), 2);
        const auto first = packetSpy.at(0).at(0).value<API::SApiDeviceData>();
        const auto second = packetSpy.at(1).at(0).value<API::SApiDeviceData>();
        QCOMPARE(first.devEui, QStringLiteral("70B3D5E75E00A1B2"));
        QCOMPARE(first.data, QByteArray("\x01\x02"));
        QCOMPARE(first.gatewayId, QStringLiteral("00000000000000AB"));
        QCOMPARE(second.devEui, QStringLiteral("70B3D5E75E00A1B4"));
        QVERIFY(second.data.isEmpty());
    }

    void badUplinkValuesAreRefusedAndLogged()
    {
        QVERIFY(logIn());
        QSignalSpy packetSpy(handler, &CServerHandler::newPacketReceived);
        fake->send(rxMessage("UNCONF_UP", "70b3d5e75e00a1b2", "007856341"));
        fake->send(rxMessage("UNCONF_UP", "70b3d5e75e00a1b2", "0x12"));
        fake->send(rxMessage("UNCONF_UP", "70b3d5e75e00a1b3", "0102"));
        QVERIFY(packetSpy.wait());
        QCOMPARE(packetSpy.count(), 1);
        QCOMPARE(packetSpy.at(0).at(0).value<API::SApiDeviceData>().devEui, QStringLiteral("70B3D5E75E00A1B3"));
        // One warning for the device within the minute.
        QVERIFY(logContains("WARNING: [CServerHandler::textMessageReceivedSlot] Uplink of device [70B3D5E75E00A1B2] "
                       "refused: data [007856341] is not an even number of hex digits. Refused since the last "
                       "warning: [1]"));
        QVERIFY(!logContains("data [0x12]"));
    }

    void deviceListRefusals()
    {
        QSignalSpy respSpy(handler, &CServerHandler::getDevicesListResp);
        QVERIFY(!handler->getDevicesList({ QStringLiteral("AA") }));
        QCOMPARE(logCount(QStringLiteral("[CServerHandler::getDevicesList] Invalid connection to server! Return")), 1);
        QVERIFY(logIn());
        QVERIFY(!handler->getDevicesList({}));
        QCOMPARE(logCount(QStringLiteral("[CServerHandler::getDevicesList] Empty input AppEUI list! Return")), 1);

        // Neither refusal queued anything: the one request that goes out is the next one.
        QVERIFY(handler->getDevicesList({ QStringLiteral("BB") }));
        QTRY_COMPARE(fake->received.size(), 3);
        QVERIFY(fake->received.at(2).contains(QStringLiteral("[\"BB\"]")));
        fake->send(QStringLiteral("{\"cmd\":\"get_devices_resp\",\"status\":true}"));
        QTRY_COMPARE(respSpy.count(), 1);
        QCOMPARE(respSpy.at(0).at(0).toBool(), true);
        QVERIFY(respSpy.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());
    }

    void requestsGoOutOneAtATime()
    {
        QVERIFY(logIn());
        QSignalSpy respSpy(handler, &CServerHandler::getDevicesListResp);
        QSignalSpy messageSpy(fake, &FakeNetworkServer::messageReceived);
        QTest::ignoreMessage(QtDebugMsg, "[CServerHandler::newTaskSlot] Waiting mutex is locked! Return");
        QVERIFY(handler->getDevicesList({ QStringLiteral("E1") }));
        QVERIFY(handler->getDevicesList({ QStringLiteral("E2") }));
        QVERIFY(messageSpy.wait());
        QVERIFY(fake->received.last().contains(QStringLiteral("[\"E1\"]")));
        QVERIFY(!messageSpy.wait(100));
        QCOMPARE(fake->received.size(), 3);

        // A failed answer ends the first request at once and lets the second go.
        fake->send(
            QStringLiteral("{\"cmd\":\"get_devices_resp\",\"status\":false,\"err_string\":\"inaccessible_command\"}"));
        QTRY_COMPARE(fake->received.size(), 4);
        QVERIFY(fake->received.last().contains(QStringLiteral("[\"E2\"]")));
        QCOMPARE(respSpy.count(), 1);
        QCOMPARE(respSpy.at(0).at(0).toBool(), false);
        QVERIFY(respSpy.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());

        fake->send(QStringLiteral("{\"cmd\":\"get_devices_resp\",\"status\":true,\"devices_list\":["
                                  "{\"devEui\":\"A1\",\"devName\":\"pump\",\"OTAA\":{\"appEui\":\"E2\"}},"
                                  "{\"devEui\":\"B2\",\"devName\":\"skip\",\"OTAA\":{\"appEui\":\"\"}},"
                                  "{\"devEui\":\"C3\",\"devName\":\"tank\",\"OTAA\":{\"appEui\":\"E2\"}}]}"));
        QTRY_COMPARE(respSpy.count(), 2);
        QCOMPARE(respSpy.at(1).at(0).toBool(), true);
        const auto devices = respSpy.at(1).at(1).value<QList<API::SServerDeviceInfo>>();
        QCOMPARE(devices.size(), 2);
        QCOMPARE(devices.at(0).devEui + devices.at(0).devName + devices.at(0).appEui, QStringLiteral("A1pumpE2"));
        QCOMPARE(devices.at(1).devEui + devices.at(1).devName + devices.at(1).appEui, QStringLiteral("C3tankE2"));
    }

    void unansweredRequestTimesOut()
    {
        QVERIFY(logIn());
        QSignalSpy respSpy(handler, &CServerHandler::getDevicesListResp);
        QVERIFY(handler->getDevicesList({ QStringLiteral("E1") }));
        QTRY_COMPARE(fake->received.size(), 3);
        clock->advance(9999);
        QVERIFY(!respSpy.wait(50));
        clock->advance(1);
        QTRY_COMPARE(respSpy.count(), 1);
        QCOMPARE(fake->received.size(), 3);
        QCOMPARE(respSpy.count(), 1);
        QCOMPARE(respSpy.at(0).at(0).toBool(), false);
        QVERIFY(respSpy.at(0).at(1).value<QList<API::SServerDeviceInfo>>().isEmpty());

        const QString unscheduled
            = QStringLiteral("[CServerHandler::textMessageReceivedSlot] State=verified: unsheduled packet from server");
        fake->send(QStringLiteral("{\"cmd\":\"get_devices_resp\",\"status\":true,\"devices_list\":[]}"));
        QTRY_COMPARE(logCount(unscheduled), 1);
        QCOMPARE(respSpy.count(), 1);
    }

    void lostConnectionIsRestored()
    {
        QVERIFY(logIn());
        statusSpy->clear();
        fake->clients.last()->close();
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")), 1);
        clock->advance(999);
        QVERIFY(!QTest::qWaitFor([this] { return lastStatus() == COMM::ePingWaiting; }, 100));
        clock->advance(1);
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(
            statuses(), (Statuses { COMM::eDisconnected, COMM::ePingWaiting, COMM::eAuthWaiting, COMM::eSuccess }));
        QCOMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")),
            1);
        QCOMPARE(fake->clients.size(), 2);
        QCOMPARE(fake->received.mid(2), fake->received.mid(0, 2));
    }

    void retriesBackOffUntilServerReturns()
    {
        QVERIFY(logIn());
        const quint16 port = fake->server.serverPort();
        fake->server.close();
        fake->clients.last()->close();
        // The first retry meets a closed port; the next waits twice as long.
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")), 1);
        clock->advance(1000);
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 2000 ms")), 1);
        QVERIFY(logContains(QStringLiteral("Connection refused")));
        QVERIFY(fake->start(port));
        statusSpy->clear();
        clock->advance(2000);
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(statuses(), (Statuses { COMM::ePingWaiting, COMM::eAuthWaiting, COMM::eSuccess }));

        // The operator's own connect starts the back-off afresh.
        QVERIFY(logIn());
        logSpy->clear();
        fake->clients.last()->close();
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")),
            1);
    }

    void stableConnectionStartsTheBackOffAfresh()
    {
        QVERIFY(logIn());
        const auto retryIn = [this](int _ms) {
            return logCount(
                QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in %1 ms").arg(_ms));
        };
        const auto dropAndReturn = [this, retryIn](int _delayMs) {
            const int before = retryIn(_delayMs);
            fake->clients.last()->close();
            if (!QTest::qWaitFor([&] { return retryIn(_delayMs) == before + 1; }, 5000))
                return false;
            statusSpy->clear();
            clock->advance(_delayMs);
            return QTest::qWaitFor([this] { return lastStatus() == COMM::eSuccess; }, 5000);
        };
        QVERIFY(dropAndReturn(1000));
        QCOMPARE(retryIn(1000), 1);
        // Lost again before a minute passed: the delay doubles.
        clock->advance(59999);
        QVERIFY(dropAndReturn(2000));
        QCOMPARE(retryIn(2000), 1);
        // A minute logged in: the next loss starts from the first delay again.
        clock->advance(60000);
        QVERIFY(dropAndReturn(1000));
        QCOMPARE(retryIn(1000), 2);
        QCOMPARE(retryIn(4000), 0);
    }

    void silentLinkIsNoticedByItsPing()
    {
        QVERIFY(logIn());
        const QString lost
            = QStringLiteral("WARNING: [CServerHandler::pongTimeoutSlot] No answer to a ping within 10000 ms, "
                             "the link to [%1] is lost")
                  .arg(fake->url());
        // A live peer answers the ping in time.
        clock->advance(30000);
        QTest::qWait(100);
        clock->advance(10000);
        QCOMPARE(logCount(lost), 0);
        QCOMPARE(lastStatus(), COMM::eSuccess);

        // A peer that passes nothing: the ping goes unanswered within its ten seconds.
        clock->advance(20000);
        clock->advance(10000);
        QCOMPARE(logCount(lost), 1);
        QTRY_COMPARE(lastStatus(), COMM::eDisconnected);
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")), 1);
        clock->advance(1000);
        QTRY_COMPARE(lastStatus(), COMM::eSuccess);
        QCOMPARE(fake->clients.size(), 2);
    }

    void refusedLoginStopsRetries()
    {
        QVERIFY(logIn());
        fake->authReply = QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":false,\"err_string\":\"bad\"}");
        QTest::ignoreMessage(
            QtDebugMsg, "[CServerHandler::textMessageReceivedSlot] State=auth: unknown message[4], err[bad]");
        fake->clients.last()->close();
        QTRY_COMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")), 1);
        clock->advance(1000);
        QTRY_COMPARE(lastStatus(), COMM::eInvalidAuth);
        QSignalSpy connectionSpy(&fake->server, &QWebSocketServer::newConnection);
        fake->clients.last()->close();
        QTRY_COMPARE(lastStatus(), COMM::eDisconnected);
        QCOMPARE(
            logCount(QStringLiteral("[CServerHandler::scheduleReconnect] Connection lost, next attempt in 1000 ms")),
            1);
        QVERIFY(!logContains(QStringLiteral("next attempt in 2000 ms")));
        clock->advance(120000);
        QVERIFY(!connectionSpy.wait(100));
    }

    void oversizedMessageIsRefused()
    {
        // The program's limit takes a device list of thousands of devices.
        QCOMPARE(SServerTimings().maxIncomingMessageBytes, qint64(16 * 1024 * 1024));
        // A smaller one here, so the test sends kilobytes rather than megabytes.
        const int limit = 256 * 1024;
        delete statusSpy;
        delete handler;
        SServerTimings timings;
        timings.maxIncomingMessageBytes = limit;
        handler = new CServerHandler(clock, timings, CLogFile::getInstance(QString()));
        statusSpy = new QSignalSpy(handler, &CServerHandler::changeServerStatus);
        QVERIFY(logIn());
        QSignalSpy packetSpy(handler, &CServerHandler::newPacketReceived);
        // Just under the limit still arrives whole.
        const QString near = rxMessage("UNCONF_UP", "01", QString(2 * ((limit - 1024) / 2), QLatin1Char('a')));
        fake->send(near);
        QTRY_COMPARE(packetSpy.count(), 1);
        QCOMPARE(packetSpy.at(0).at(0).value<API::SApiDeviceData>().data.size(), (limit - 1024) / 2);

        const QString over = rxMessage("UNCONF_UP", "02", QString(limit, QLatin1Char('b')));
        fake->send(over);
        QTRY_COMPARE(lastStatus(), COMM::eDisconnected);
        QCOMPARE(packetSpy.count(), 1);
        QTRY_COMPARE(fake->clients.first()->closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
        QVERIFY(logContains(QStringLiteral("[CServerHandler::socketDisconnectedSlot] Connection closed, code [1009]")));
        QVERIFY(logContains(QStringLiteral("[CServerHandler::socketDisconnectedSlot] A message over the limit of "
                                           "262144 bytes was refused")));
    }

    void socketErrorIsLogged()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        const quint16 closedPort = probe.serverPort();
        probe.close();
        handler->connectSlot(
            QStringLiteral("ws://127.0.0.1:%1").arg(closedPort), QStringLiteral("a"), QStringLiteral("b"));
        QTRY_VERIFY(
            logContains(QStringLiteral("[CServerHandler::socketErrorSlot] Socket error [0]: Connection refused")));
        QVERIFY(!statuses().contains(COMM::ePingWaiting));
    }

    void untrustedCertificateIsLoggedAndRefused()
    {
        QTemporaryDir certDir;
        QVERIFY(certDir.isValid());
        const QString keyPath = certDir.filePath(QStringLiteral("key.pem"));
        const QString certPath = certDir.filePath(QStringLiteral("cert.pem"));
        const QString missing = PeerTest::missingProgram(QStringLiteral("openssl"), QStringLiteral("openssl"));
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
            { "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", keyPath,
                "-out", certPath, "-days", "2",
                "-subj", "/CN=127.0.0.1" });
        QVERIFY2(openssl.waitForFinished(30000), "openssl is needed to make a self-signed certificate");
        QCOMPARE(openssl.exitCode(), 0);
        QFile keyFile(keyPath);
        QFile certFile(certPath);
        QVERIFY(keyFile.open(QIODevice::ReadOnly) && certFile.open(QIODevice::ReadOnly));

        QWebSocketServer secure(QStringLiteral("tls"), QWebSocketServer::SecureMode);
        QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
        tls.setLocalCertificate(QSslCertificate(certFile.readAll()));
        tls.setPrivateKey(QSslKey(keyFile.readAll(), QSsl::Ec));
        secure.setSslConfiguration(tls);
        QVERIFY(secure.listen(QHostAddress::LocalHost, 0));

        handler->connectSlot(
            QStringLiteral("wss://127.0.0.1:%1").arg(secure.serverPort()), QStringLiteral("a"), QStringLiteral("b"));
        QTRY_VERIFY(
            logContains(QStringLiteral("[CServerHandler::sslErrors] TLS error: The certificate is self-signed")));
        QTRY_VERIFY(logContains(QStringLiteral("[CServerHandler::socketErrorSlot] Socket error")));
        QVERIFY(!statuses().contains(COMM::ePingWaiting));
    }
};

QTEST_GUILESS_MAIN(TestServerHandler)
#include "tst_serverhandler.moc"
