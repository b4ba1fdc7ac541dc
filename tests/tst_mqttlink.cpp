#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QtTest>

#include "app/clogfile.h"
#include "brokertestsupport.h"
#include "gatewaytestsupport.h"
#include "server/cmqttlink.h"
#include "statustestsupport.h"
#include "testworkdir.h"

// Passes TCP through to a port on 127.0.0.1 with a delay each way, so a TLS
// handshake goes on after the connect call has returned, as over a real network.
class DelayingProxy : public QObject
{
    Q_OBJECT

public:
    static constexpr int DELAY_MS = 30;

    bool start(quint16 _targetPort)
    {
        targetPort = _targetPort;
        connect(&server, &QTcpServer::newConnection, this, &DelayingProxy::accept);
        return server.listen(QHostAddress::LocalHost, 0);
    }
    quint16 port() const { return server.serverPort(); }

private slots:
    void accept()
    {
        while (QTcpSocket *client = server.nextPendingConnection()) {
            client->setParent(this);
            auto *upstream = new QTcpSocket(this);
            upstream->connectToHost(QHostAddress::LocalHost, targetPort);
            forward(client, upstream);
            forward(upstream, client);
        }
    }

private:
    static void forward(QTcpSocket *_from, QTcpSocket *_to)
    {
        connect(_from, &QTcpSocket::readyRead, _to, [_from, _to] {
            const QByteArray data = _from->readAll();
            QTimer::singleShot(DELAY_MS, _to, [_to, data] { _to->write(data); });
        });
        connect(_from, &QTcpSocket::disconnected, _to,
            [_to] { QTimer::singleShot(DELAY_MS, _to, [_to] { _to->disconnectFromHost(); }); });
    }

    QTcpServer server;
    quint16 targetPort = 0;
};


class TestMqttLink : public QObject
{
    Q_OBJECT

private:
    // Reconnection starts this fast here, so a broker restart costs milliseconds.
    static constexpr int FIRST_DELAY_MS = 20;
    static constexpr int WAIT_MS = 5000;

    CTestWorkDir dir;
    QDir work;
    TestBroker *broker = nullptr;
    CMqttLink *link = nullptr;
    QSignalSpy *statusSpy = nullptr;
    QSignalSpy *packetSpy = nullptr;
    QSignalSpy *heardSpy = nullptr;
    QSignalSpy *logSpy = nullptr;

    Statuses statuses() const { return StatusTest::statusesOf(*statusSpy); }
    COMM::EServerStatus lastStatus() const { return StatusTest::lastStatusOf(*statusSpy); }
    bool logContains(const QString &_text) const
    {
        for (const QList<QVariant> &args : *logSpy)
            if (args.at(0).toString().contains(_text))
                return true;
        return false;
    }
    API::SApiDeviceData packet(int _index) const { return packetSpy->at(_index).at(0).value<API::SApiDeviceData>(); }
    API::SHeardDevice heard(int _index) const { return heardSpy->at(_index).at(0).value<API::SHeardDevice>(); }

    SMqttSettings settings(EServerKind _kind) const
    {
        SMqttSettings mqtt;
        mqtt.kind = _kind;
        mqtt.host = QStringLiteral("127.0.0.1");
        mqtt.port = broker->port;
        mqtt.clientId = QStringLiteral("kelvara-test");
        mqtt.topic = MQTT::defaultTopic(_kind);
        return mqtt;
    }
    bool connectLink(const SMqttSettings &_settings)
    {
        link->connectSlot(_settings);
        return QTest::qWaitFor([this] { return lastStatus() == COMM::eSuccess; }, WAIT_MS);
    }

    // Publishes with Debian's mosquitto_pub and waits until it is done, so messages keep their order.
    bool publish(const QString &_topic, const QByteArray &_payload)
    {
        const QString program = TestBroker::findProgram(QStringLiteral("mosquitto_pub"));
        if (program.isEmpty()) {
            qWarning("mosquitto_pub not found: install the Debian package mosquitto-clients");
            return false;
        }
        static int count = 0;
        const QString file = work.filePath(QStringLiteral("message-%1").arg(++count));
        if (!GatewayTest::writeFile(file, _payload))
            return false;
        QProcess process;
        process.start(program,
            { QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"), QString::number(broker->port),
                QStringLiteral("-t"), _topic, QStringLiteral("-f"), file });
        return process.waitForFinished(WAIT_MS) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
    }

    bool runOpenSsl(const QStringList &_arguments)
    {
        const QString program = TestBroker::findProgram(QStringLiteral("openssl"));
        if (program.isEmpty()) {
            qWarning("openssl not found: install the Debian package openssl");
            return false;
        }
        QProcess process;
        process.setWorkingDirectory(work.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(program, _arguments);
        const bool ok = process.waitForFinished(WAIT_MS) && process.exitCode() == 0;
        if (!ok)
            qWarning("openssl %s: %s", qPrintable(_arguments.join(' ')), process.readAll().constData());
        return ok;
    }

    // A certificate authority of its own: name.crt and name.key.
    bool makeCa(const QString &_name)
    {
        return runOpenSsl({ "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
            "-keyout", _name + ".key", "-out", _name + ".crt", "-subj", "/CN=" + _name, "-days", "2" });
    }

    // Starts the netsim publishing the scenario to the broker.
    bool startNetsim(QProcess &_process, const QString &_format, const QByteArray &_scenario)
    {
        const QString devices = work.filePath(QStringLiteral("devices.json"));
        const QString scenario = work.filePath(QStringLiteral("scenario.json"));
        if (!GatewayTest::writeFile(
                devices, R"([{"devEui":"70B3D5E75E000001","devName":"pump 1","appEui":"4B454C5641524101","port":2}])")
            || !GatewayTest::writeFile(scenario, _scenario))
            return false;
        _process.start(GatewayTest::simulatorProgram(),
            { QStringLiteral("--mqtt"), _format, QStringLiteral("--broker-port"), QString::number(broker->port),
                QStringLiteral("--devices"), devices, QStringLiteral("--scenario"), scenario,
                QStringLiteral("--duration"), QStringLiteral("20") });
        return _process.waitForStarted(WAIT_MS);
    }

    static QByteArray twoUplinks()
    {
        // 2023-05-01T12:34:56.789Z is 1682944496789 ms; the second has no SNR, which TTS leaves out.
        return R"([{"delay":0,"devEui":"70B3D5E75E000001","ts":1682944496789,"type":"CONF_UP","fcnt":5,
                    "data":"0102a0","freq":868500000,"rssi":-71,"snr":6.5},
                   {"delay":0,"devEui":"70B3D5E75E000001","ts":1682944497000,"fcnt":6,"data":"ff",
                    "freq":868100000,"rssi":-104,"snr":0}])";
    }

    void compareTwoUplinks(const QString &_gatewayId)
    {
        const API::SApiDeviceData first = packet(0);
        QCOMPARE(first.devEui, QStringLiteral("70B3D5E75E000001"));
        QCOMPARE(first.ts, quint64(1682944496789ULL));
        QCOMPARE(first.gatewayId, _gatewayId);
        QCOMPARE(first.fcnt, quint32(5));
        QCOMPARE(int(first.port), 2);
        QCOMPARE(first.data, QByteArray("\x01\x02\xa0", 3));
        QCOMPARE(first.freq, quint32(868500000));
        QCOMPARE(int(first.rssi), -71);
        QCOMPARE(first.snr, 6.5);
        const API::SApiDeviceData second = packet(1);
        QCOMPARE(second.ts, quint64(1682944497000ULL));
        QCOMPARE(second.fcnt, quint32(6));
        QCOMPARE(second.data, QByteArray("\xff", 1));
        QCOMPARE(second.freq, quint32(868100000));
        QCOMPARE(int(second.rssi), -104);
        QCOMPARE(second.snr, 0.0);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        work = QDir(dir.path());
    }

    void init()
    {
        broker = new TestBroker();
        link = new CMqttLink(CClock::system(), FIRST_DELAY_MS, CLogFile::getInstance(QString()));
        statusSpy = new QSignalSpy(link, &CMqttLink::changeServerStatus);
        packetSpy = new QSignalSpy(link, &CMqttLink::newPacketReceived);
        heardSpy = new QSignalSpy(link, &CMqttLink::deviceHeard);
        logSpy = new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
    }

    void cleanup()
    {
        delete logSpy;
        delete heardSpy;
        delete packetSpy;
        delete statusSpy;
        delete link;
        delete broker;
    }

    void chirpStackUplinksFromTheSimulator()
    {
        QVERIFY2(broker->start(work.path(), { QStringLiteral("allow_anonymous true") }), qPrintable(broker->error));
        QVERIFY(connectLink(settings(EServerKind::eChirpStack)));
        QCOMPARE(statuses(), (Statuses { COMM::eDisconnected, COMM::eAuthWaiting, COMM::eSuccess }));

        QProcess netsim;
        QVERIFY(startNetsim(netsim, QStringLiteral("chirpstack"), twoUplinks()));
        QVERIFY(QTest::qWaitFor([this] { return packetSpy->count() >= 2; }, WAIT_MS));
        GatewayTest::stopProcess(netsim);
        compareTwoUplinks(QStringLiteral("00800000A0001234"));

        const API::SHeardDevice device = heard(0);
        QCOMPARE(device.devEui, QStringLiteral("70B3D5E75E000001"));
        QCOMPARE(device.name, QStringLiteral("pump 1"));
        QCOMPARE(device.profileName, QStringLiteral("profile 4B454C5641524101"));
        QCOMPARE(device.applicationId.size(), 36); // a UUID
        QVERIFY(device.joinEui.isEmpty());
    }

    void ttsUplinksFromTheSimulator()
    {
        QVERIFY2(broker->start(work.path(), { QStringLiteral("allow_anonymous true") }), qPrintable(broker->error));
        QVERIFY(connectLink(settings(EServerKind::eTts)));

        QProcess netsim;
        QVERIFY(startNetsim(netsim, QStringLiteral("tts"), twoUplinks()));
        QVERIFY(QTest::qWaitFor([this] { return packetSpy->count() >= 2; }, WAIT_MS));
        GatewayTest::stopProcess(netsim);
        compareTwoUplinks(QStringLiteral("EUI-00800000A0001234"));

        const API::SHeardDevice device = heard(0);
        QCOMPARE(device.devEui, QStringLiteral("70B3D5E75E000001"));
        QCOMPARE(device.joinEui, QStringLiteral("4B454C5641524101"));
        QCOMPARE(device.applicationId, QStringLiteral("app-4b454c5641524101@ttn"));
        QCOMPARE(device.deviceId, QStringLiteral("eui-70b3d5e75e000001"));
    }

    void brokenMessagesAreDroppedAndTheNextDecodes()
    {
        QVERIFY2(broker->start(work.path(), { QStringLiteral("allow_anonymous true") }), qPrintable(broker->error));
        QVERIFY(connectLink(settings(EServerKind::eChirpStack)));

        const QString topic = QStringLiteral("application/app-1/device/%1/event/up");
        QVERIFY(publish(topic.arg(1), R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"AQID")"));
        QVERIFY(publish(topic.arg(2), R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"A*ID"})"));
        QVERIFY(publish(topic.arg(3), QByteArray(CMqttLink::MAX_MESSAGE_SIZE + 1, ' ')));
        QVERIFY(publish(topic.arg(4), R"({"deviceInfo":{"devEui":"0102030405060708"},"fCnt":9,"data":"AQID",
                                         "time":"2023-05-01T00:00:00Z"})"));
        QVERIFY(packetSpy->wait(WAIT_MS));
        QCOMPARE(packetSpy->count(), 1);
        QCOMPARE(packet(0).devEui, QStringLiteral("0102030405060708"));
        QCOMPARE(packet(0).fcnt, quint32(9));
        QCOMPARE(packet(0).data, QByteArray("\x01\x02\x03", 3));
        QVERIFY(logContains(
            QStringLiteral("Dropped 1 message(s) on [%1] since the last report: not JSON").arg(topic.arg(1))));
        QVERIFY(logContains(QStringLiteral("on [%1] since the last report: payload is not base64").arg(topic.arg(2))));
        QVERIFY(logContains(QStringLiteral("on [%1] since the last report: 1048577 bytes, over the limit of 1048576")
                                .arg(topic.arg(3))));
    }

    void refusedCredentialsAreNotRetried()
    {
        const QString passwords = work.filePath(QStringLiteral("passwords"));
        QFile::remove(passwords);
        QProcess passwd;
        const QString program = TestBroker::findProgram(QStringLiteral("mosquitto_passwd"));
        QVERIFY2(!program.isEmpty(), "mosquitto_passwd not found: install the Debian package mosquitto");
        passwd.start(program,
            { QStringLiteral("-c"), QStringLiteral("-b"), passwords, QStringLiteral("gateway"),
                QStringLiteral("s3cret") });
        QVERIFY(passwd.waitForFinished(WAIT_MS) && passwd.exitCode() == 0);
        QVERIFY2(broker->start(work.path(),
                     { QStringLiteral("allow_anonymous false"), QStringLiteral("password_file ") + passwords }),
            qPrintable(broker->error));

        SMqttSettings wrong = settings(EServerKind::eTts);
        wrong.username = QStringLiteral("gateway");
        wrong.password = QStringLiteral("guess");
        link->connectSlot(wrong);
        QVERIFY(QTest::qWaitFor([this] { return lastStatus() == COMM::eInvalidAuth; }, WAIT_MS));
        QCOMPARE(statuses(), (Statuses { COMM::eDisconnected, COMM::eAuthWaiting, COMM::eInvalidAuth }));
        // Many first delays pass without another attempt.
        QVERIFY(!statusSpy->wait(20 * FIRST_DELAY_MS));
        QVERIFY(logContains(QStringLiteral("Broker refused the connection")));

        SMqttSettings right = wrong;
        right.password = QStringLiteral("s3cret");
        QVERIFY(connectLink(right));
    }

    void brokerRestartReconnectsAndResubscribes()
    {
        QVERIFY2(broker->start(work.path(), { QStringLiteral("allow_anonymous true") }), qPrintable(broker->error));
        QVERIFY(connectLink(settings(EServerKind::eChirpStack)));
        const quint16 port = broker->port;

        broker->stop();
        QVERIFY(QTest::qWaitFor([this] { return lastStatus() == COMM::eDisconnected; }, WAIT_MS));
        statusSpy->clear();
        QVERIFY2(
            broker->start(work.path(), { QStringLiteral("allow_anonymous true") }, port), qPrintable(broker->error));
        QVERIFY(QTest::qWaitFor([this] { return lastStatus() == COMM::eSuccess; }, WAIT_MS));
        QVERIFY(logContains(QStringLiteral("[CMqttLink::reconnectSlot] Reconnecting to [127.0.0.1:%1]").arg(port)));

        // A clean session forgets the subscription; only a new one brings this uplink.
        QVERIFY(publish(QStringLiteral("application/app-1/device/0102030405060708/event/up"),
            R"({"deviceInfo":{"devEui":"0102030405060708"},"data":"AQID"})"));
        QVERIFY(packetSpy->wait(WAIT_MS));
        QCOMPARE(packet(0).devEui, QStringLiteral("0102030405060708"));
    }

    void tlsWithTheBrokersCaConnectsAndAnotherCaIsRefused_data()
    {
        QTest::addColumn<bool>("delayed");
        QTest::newRow("direct") << false;
        QTest::newRow("handshake after the connect call") << true;
    }

    void tlsWithTheBrokersCaConnectsAndAnotherCaIsRefused()
    {
        QFETCH(bool, delayed);
        QVERIFY(makeCa(QStringLiteral("ca")));
        QVERIFY(makeCa(QStringLiteral("other-ca")));
        QVERIFY(GatewayTest::writeFile(
            work.filePath(QStringLiteral("server.ext")), "subjectAltName=IP:127.0.0.1,DNS:localhost\n"));
        QVERIFY(runOpenSsl({ "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
            "server.key", "-out", "server.csr", "-subj", "/CN=127.0.0.1" }));
        QVERIFY(runOpenSsl({ "x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile", "server.ext" }));
        QVERIFY2(broker->start(work.path(),
                     { QStringLiteral("allow_anonymous true"), QStringLiteral("cafile ") + work.filePath("ca.crt"),
                         QStringLiteral("certfile ") + work.filePath("server.crt"),
                         QStringLiteral("keyfile ") + work.filePath("server.key") }),
            qPrintable(broker->error));

        SMqttSettings tls = settings(EServerKind::eChirpStack);
        DelayingProxy proxy;
        if (delayed) {
            QVERIFY(proxy.start(broker->port));
            tls.port = proxy.port();
        }
        tls.tls = true;
        tls.caFile = work.filePath(QStringLiteral("ca.crt"));
        QVERIFY(connectLink(tls));

        statusSpy->clear();
        tls.caFile = work.filePath(QStringLiteral("other-ca.crt"));
        link->connectSlot(tls);
        QVERIFY(QTest::qWaitFor([this] { return statuses().size() >= 3; }, WAIT_MS));
        QCOMPARE(statuses().mid(0, 3), (Statuses { COMM::eDisconnected, COMM::eAuthWaiting, COMM::eDisconnected }));
        QVERIFY(logContains(QStringLiteral("certificate verify failed")));
        QVERIFY(!statuses().contains(COMM::eSuccess));
        // Refused certificates are retried like any failed connection.
        QVERIFY(QTest::qWaitFor([this] { return statuses().size() >= 4; }, WAIT_MS));
        QCOMPARE(statuses().at(3), COMM::eAuthWaiting);
    }
};

QTEST_GUILESS_MAIN(TestMqttLink)
#include "tst_mqttlink.moc"
