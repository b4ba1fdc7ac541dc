#include <QFile>
#include <QHostInfo>
#include <QSettings>
#include <QtTest>

#include "gateway/settingsfile.h"
#include "server/mqttsettings.h"
#include "testworkdir.h"

// [server] kind and the [mqtt] group of settings.conf, with their defaults.
class TestMqttSettings : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;

    QString readLog() const
    {
        QFile file(dir.filePath(QStringLiteral("history.log")));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private slots:
    void initTestCase() { QVERIFY(dir.enter()); }

    void read_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("serverKind");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("tls");
        QTest::addColumn<QString>("clientId");
        QTest::addColumn<QString>("topic");
        QTest::addColumn<QString>("username");
        QTest::addColumn<QString>("logged");

        const QString ownId = QStringLiteral("kelvara-") + QHostInfo::localHostName();
        const QString csTopic = QStringLiteral("application/+/device/+/event/up");
        const QString ttsTopic = QStringLiteral("v3/+/devices/+/up");

        QTest::newRow("no kind is the websocket server")
            << QByteArray("[server]\nip=10.0.0.1\n") << int(EServerKind::eWebSocket) << int(EServerKind::eChirpStack)
            << QString() << 1883 << false << ownId << csTopic << QString() << QString();
        QTest::newRow("chirpstack defaults")
            << QByteArray("[server]\nkind=chirpstack\n[mqtt]\nhost=broker.lan\n") << int(EServerKind::eChirpStack)
            << int(EServerKind::eChirpStack) << "broker.lan" << 1883 << false << ownId << csTopic << QString()
            << QString();
        QTest::newRow("tts with TLS takes 8883")
            << QByteArray("[server]\nkind=tts\n[mqtt]\nhost=eu1.cloud.thethings.network\ntls=true\n"
                          "username=kelvara-pumps@ttn\n")
            << int(EServerKind::eTts) << int(EServerKind::eTts) << "eu1.cloud.thethings.network" << 8883 << true
            << ownId << ttsTopic << "kelvara-pumps@ttn" << QString();
        QTest::newRow("everything given")
            << QByteArray("[server]\nkind=tts\n[mqtt]\nhost=h\nport=1884\ntls=true\nclient_id=gw-7\n"
                          "topic=v3/app@ttn/devices/+/up\n")
            << int(EServerKind::eTts) << int(EServerKind::eTts) << "h" << 1884 << true << "gw-7"
            << "v3/app@ttn/devices/+/up" << QString() << QString();
        QTest::newRow("bad port logged, default kept")
            << QByteArray("[server]\nkind=chirpstack\n[mqtt]\nhost=h\nport=70000\n") << int(EServerKind::eChirpStack)
            << int(EServerKind::eChirpStack) << "h" << 1883 << false << ownId << csTopic << QString()
            << "[CSettings::readMqttSettings] Invalid port [70000], using 1883";
        QTest::newRow("unknown kind logged, websocket")
            << QByteArray("[server]\nkind=loriot\n") << int(EServerKind::eWebSocket) << int(EServerKind::eChirpStack)
            << QString() << 1883 << false << ownId << csTopic << QString()
            << "[CSettings::readServerKind] Unknown server kind [loriot], using websocket";
    }

    void read()
    {
        QFETCH(QByteArray, ini);
        QFETCH(QString, logged);
        const QString path = dir.filePath(QStringLiteral("%1.conf").arg(QTest::currentDataTag()));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(ini), ini.size());
        file.close();

        const QSettings settings(path, QSettings::IniFormat);
        QTEST(int(MQTT::readServerKind(settings)), "serverKind");
        const SMqttSettings mqtt = MQTT::readMqttSettings(settings);
        QTEST(int(mqtt.kind), "kind");
        QTEST(mqtt.host, "host");
        QTEST(int(mqtt.port), "port");
        QTEST(mqtt.tls, "tls");
        QTEST(mqtt.clientId, "clientId");
        QTEST(mqtt.topic, "topic");
        QTEST(mqtt.username, "username");
        if (!logged.isEmpty())
            QVERIFY2(readLog().contains(logged), qPrintable(readLog()));
    }

    void writtenEntriesReadBack_data()
    {
        QTest::addColumn<SMqttSettings>("written");
        SMqttSettings chirpStack;
        chirpStack.kind = EServerKind::eChirpStack;
        chirpStack.host = QStringLiteral("broker.lan");
        chirpStack.port = 1884;
        chirpStack.username = QStringLiteral("kelvara");
        chirpStack.password = QStringLiteral(" pass word ");
        chirpStack.clientId = QStringLiteral("gw-1");
        chirpStack.topic = QStringLiteral("application/7/device/+/event/up");
        QTest::newRow("chirpstack without TLS") << chirpStack;
        SMqttSettings tts;
        tts.kind = EServerKind::eTts;
        tts.host = QStringLiteral("eu1.cloud.thethings.network");
        tts.port = 8883;
        tts.tls = true;
        tts.caFile = QStringLiteral("/etc/kelvara/ca.pem");
        tts.certFile = QStringLiteral("/etc/kelvara/client.pem");
        tts.keyFile = QStringLiteral("/etc/kelvara/client.key");
        tts.username = QStringLiteral("app@ttn");
        tts.password = QStringLiteral("NNSXS.KEY");
        tts.clientId = QStringLiteral("gw-2");
        tts.topic = QStringLiteral("v3/app@ttn/devices/+/up");
        QTest::newRow("tts with TLS files") << tts;
    }
    void writtenEntriesReadBack()
    {
        QFETCH(SMqttSettings, written);
        const QString path = dir.filePath(QStringLiteral("written-%1.conf").arg(QTest::currentDataTag()));
        {
            QSettings settings(path, QSettings::IniFormat);
            for (const auto &entry : MQTT::mqttEntries(written))
                settings.setValue(entry.first, entry.second);
        }
        const QSettings settings(path, QSettings::IniFormat);
        QCOMPARE(int(MQTT::readServerKind(settings)), int(written.kind));
        const SMqttSettings read = MQTT::readMqttSettings(settings);
        QCOMPARE(int(read.kind), int(written.kind));
        QCOMPARE(read.host, written.host);
        QCOMPARE(read.port, written.port);
        QCOMPARE(read.tls, written.tls);
        QCOMPARE(read.caFile, written.caFile);
        QCOMPARE(read.certFile, written.certFile);
        QCOMPARE(read.keyFile, written.keyFile);
        QCOMPARE(read.username, written.username);
        QCOMPARE(read.password, written.password);
        QCOMPARE(read.clientId, written.clientId);
        QCOMPARE(read.topic, written.topic);
    }

    void kindEntryReadsBack_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("websocket") << int(EServerKind::eWebSocket);
        QTest::newRow("chirpstack") << int(EServerKind::eChirpStack);
        QTest::newRow("tts") << int(EServerKind::eTts);
    }
    void kindEntryReadsBack()
    {
        QFETCH(int, kind);
        const QString path = dir.filePath(QStringLiteral("kind-%1.conf").arg(QTest::currentDataTag()));
        {
            QSettings settings(path, QSettings::IniFormat);
            // A kind saved before is replaced.
            settings.setValue(QStringLiteral("server/kind"), QStringLiteral("tts"));
            const auto entry = MQTT::kindEntry(EServerKind(kind));
            settings.setValue(entry.first, entry.second);
        }
        QCOMPARE(int(MQTT::readServerKind(QSettings(path, QSettings::IniFormat))), kind);
    }
};

QTEST_GUILESS_MAIN(TestMqttSettings)
#include "tst_mqttsettings.moc"
