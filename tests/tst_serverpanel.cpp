#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegExpValidator>
#include <QSettings>
#include <QSpinBox>
#include <QtTest>

#include <functional>

#include <memory>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "brokertestsupport.h"
#include "gatewaytestsupport.h"
#include "gateway/settingsfile.h"
#include "server/mqttsettings.h"
#include "testworkdir.h"
#include "ui/cabstractpanelbutton.h"
#include "ui/cgatewaystartup.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

using namespace GatewayTest;

namespace {

// Links retry this fast here, so many retry periods pass in a fraction of a second.
const int FIRST_RETRY_MS = 20;
const int WAIT_MS = 5000;

const QString BROKER_USER = QStringLiteral("gateway");
const QString BROKER_PASSWORD = QStringLiteral("br0ker");
const QString CLIENT_ID = QStringLiteral("kelvara-panel-test");

// The server panel's widgets, found by what they show: the broker fields by their labels.
struct SPanel
{
    CAbstractPanelButton *button = nullptr;
    QComboBox *kind = nullptr;
    QLineEdit *wsIp = nullptr;
    QLineEdit *wsPort = nullptr;
    QLineEdit *wsLogin = nullptr;
    QLineEdit *wsPassword = nullptr;
    QMap<QString, QWidget *> broker;
    QLabel *state = nullptr;
    QPushButton *connect = nullptr;

    explicit SPanel(MainWindow *_window)
    {
        button = _window->findChild<CAbstractPanelButton *>();
        for (QComboBox *combo : _window->findChildren<QComboBox *>())
            if (combo->findText(QStringLiteral("ChirpStack")) >= 0)
                kind = combo;
        for (QLineEdit *edit : _window->findChildren<QLineEdit *>()) {
            const auto *validator = qobject_cast<const QRegExpValidator *>(edit->validator());
            if (validator && validator->regExp().pattern().contains(QStringLiteral("{1,3}")))
                wsIp = edit;
        }
        for (QObject *sibling : wsIp->parent()->children()) {
            auto *edit = qobject_cast<QLineEdit *>(sibling);
            if (!edit || edit == wsIp)
                continue;
            if (edit->validator())
                wsPort = edit;
            else if (edit->echoMode() == QLineEdit::Password)
                wsPassword = edit;
            else
                wsLogin = edit;
        }
        for (QLabel *label : _window->findChildren<QLabel *>())
            if (label->buddy())
                broker.insert(label->text(), label->buddy());
        for (QPushButton *pushButton : _window->findChildren<QPushButton *>())
            if (pushButton->text() == QStringLiteral("Connect"))
                connect = pushButton;
        for (QObject *sibling : connect->parent()->children())
            if (auto *label = qobject_cast<QLabel *>(sibling))
                state = label;
    }

    QLineEdit *edit(const QString &_label) const { return qobject_cast<QLineEdit *>(broker.value(_label)); }
    QSpinBox *port() const { return qobject_cast<QSpinBox *>(broker.value(QStringLiteral("Port:"))); }
    QCheckBox *tls() const { return button->findChild<QCheckBox *>(); }

    void choose(const QString &_kind) { kind->setCurrentIndex(kind->findText(_kind)); }

    void fillBroker(quint16 _port, const QString &_password)
    {
        edit(QStringLiteral("Host:"))->setText(QStringLiteral("127.0.0.1"));
        port()->setValue(_port);
        edit(QStringLiteral("User:"))->setText(BROKER_USER);
        edit(QStringLiteral("Password:"))->setText(_password);
        edit(QStringLiteral("Client id:"))->setText(CLIENT_ID);
    }
};

} // namespace

// The window's server panel against Debian's mosquitto with a password file and the
// network-server simulator: choosing the kind, connecting, saving, switching link.
class TestServerPanel : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    TestBroker broker;
    QStringList brokerLines;
    QProcess simulator;
    quint16 simulatorPort = 0;
    std::unique_ptr<CGatewayStartup> startup;
    std::unique_ptr<QSignalSpy> logSpy;
    // The gateway's clock: it moves on while a case waits, and by whole retry periods where a case
    // shows that nothing retries.
    CManualClock clock;

    SPanel panel() const { return SPanel(startup->window()); }

    void startWindow(const SGatewayConfig &_config)
    {
        startup.reset(new CGatewayStartup(_config));
        QVERIFY(startup->start());
        startup->window()->show();
        QVERIFY(QTest::qWaitForWindowExposed(startup->window()));
        panel().button->setChecked(true);
    }

    SGatewayConfig fastConfig()
    {
        SGatewayConfig config;
        config.workDir = QDir::currentPath();
        config.clock = &clock;
        config.mqttFirstRetryMs = FIRST_RETRY_MS;
        config.serverTimings.firstRetryMs = FIRST_RETRY_MS;
        return config;
    }

    // Presses Connect and waits until the window shows the status this connect reaches.
    bool connectAndAwait(const QString &_text)
    {
        SPanel ui = panel();
        QStringList shown;
        const QMetaObject::Connection watching = connect(
            startup->gateway(), &CGateway::serverStatusChanged, this, [&] { shown << ui.state->text(); },
            Qt::QueuedConnection);
        QTest::mouseClick(ui.connect, Qt::LeftButton);
        // The label may still show the last connection's status: wait for a fresh one.
        const bool reached = waitFor([&] { return shown.contains(_text); });
        disconnect(watching);
        return reached && ui.state->text() == _text;
    }

    // Waits for _done while the gateway's clock moves on with the waiting.
    bool waitFor(const std::function<bool()> &_done)
    {
        return QTest::qWaitFor(
            [&] {
                clock.advance(FIRST_RETRY_MS / 4);
                return _done();
            },
            WAIT_MS);
    }

    // Moves the gateway's clock over _periods retry periods, each one's timers run.
    void passRetryPeriods(int _periods)
    {
        for (int i = 0; i < _periods; ++i) {
            clock.advance(FIRST_RETRY_MS);
            QCoreApplication::processEvents();
        }
    }

    int logLinesWith(const QString &_text) const
    {
        int count = 0;
        for (const QList<QVariant> &line : *logSpy)
            count += line.at(0).toString().contains(_text) ? 1 : 0;
        return count;
    }

    static QString savedText(const QString &_key)
    {
        return QSettings(SETTINGS_FILE_NAME, QSettings::IniFormat).value(_key).toString();
    }

    // Every visible widget of the panel lies inside it.
    static QString outsideThePanel(const SPanel &_ui)
    {
        const QRect inside = _ui.button->rect();
        for (QWidget *widget : _ui.button->findChildren<QWidget *>()) {
            if (!widget->isVisible() || !widget->parentWidget()->isVisible())
                continue;
            const QRect at(widget->mapTo(_ui.button, QPoint(0, 0)), widget->size());
            if (!inside.contains(at))
                return QStringLiteral("%1 \"%2\" at %3,%4 %5x%6 in a panel of %7 px")
                    .arg(QLatin1String(widget->metaObject()->className()), widget->property("text").toString())
                    .arg(at.x())
                    .arg(at.y())
                    .arg(at.width())
                    .arg(at.height())
                    .arg(inside.width());
        }
        return QString();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QFile::exists(simulatorProgram()));
        QVERIFY(workDir.enter());
        qApp->setStyleSheet(loadThemeStyleSheet());
        loadThemeIcons();
        CSettings::getInstance(SETTINGS_FILE_NAME);
        logSpy.reset(new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal));
        QVERIFY(installTemplates(QDir(workDir.path())));

        const QString passwords = workDir.filePath(QStringLiteral("passwords"));
        const QString program = TestBroker::findProgram(QStringLiteral("mosquitto_passwd"));
        QVERIFY2(!program.isEmpty(), "mosquitto_passwd not found: install the Debian package mosquitto");
        QProcess passwd;
        passwd.start(program, { QStringLiteral("-c"), QStringLiteral("-b"), passwords, BROKER_USER, BROKER_PASSWORD });
        QVERIFY(passwd.waitForFinished(WAIT_MS) && passwd.exitCode() == 0);
        brokerLines
            = QStringList { QStringLiteral("allow_anonymous false"), QStringLiteral("password_file ") + passwords };
        QVERIFY2(broker.start(workDir.path(), brokerLines), qPrintable(broker.error));

        QVERIFY(writeFile(QStringLiteral("devices.json"),
            QStringLiteral(R"([{"devEui":"70B3D5E75E000001","devName":"boiler TH","appEui":"%1"}])")
                .arg(TH_APP_EUI)
                .toUtf8()));
        simulatorPort = startSimulator(simulator,
            { QStringLiteral("--devices"), QStringLiteral("devices.json"), QStringLiteral("--duration"),
                QStringLiteral("280") });
        QVERIFY(simulatorPort);

        QVERIFY(!QFile::exists(SETTINGS_FILE_NAME));
        startWindow(fastConfig());
    }

    void cleanupTestCase()
    {
        startup.reset();
        stopProcess(simulator);
        broker.stop();
    }

    void panelShowsTheFieldsOfTheChosenKind_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("webSocket");
        QTest::addColumn<QString>("topic");
        QTest::newRow("The Things Stack") << "The Things Stack" << false << "v3/+/devices/+/up";
        QTest::newRow("ChirpStack") << "ChirpStack" << false << "application/+/device/+/event/up";
        QTest::newRow("WebSocket") << "WebSocket" << true << QString();
    }
    void panelShowsTheFieldsOfTheChosenKind()
    {
        QFETCH(QString, kind);
        QFETCH(bool, webSocket);
        SPanel ui = panel();
        // Nothing saved yet: the panel opens on the WebSocket server.
        QCOMPARE(ui.kind->currentText(), QStringLiteral("WebSocket"));
        ui.choose(kind);
        QApplication::processEvents();
        QCOMPARE(ui.wsIp->isVisible(), webSocket);
        QCOMPARE(ui.wsPassword->isVisible(), webSocket);
        for (const QString &label : QStringList { "Host:", "Port:", "User:", "Password:", "Client id:", "Topic:" })
            QVERIFY2(ui.broker.value(label)->isVisible() == !webSocket, qPrintable(label));
        QCOMPARE(ui.tls()->isVisible(), !webSocket);
        // The TLS files only with TLS.
        for (const QString &label : QStringList { "CA file:", "Cert file:", "Key file:" })
            QVERIFY2(!ui.broker.value(label)->isVisible(), qPrintable(label));
        if (!webSocket) {
            QTEST(ui.edit(QStringLiteral("Topic:"))->text(), "topic");
            QCOMPARE(ui.port()->value(), 1883);
            QCOMPARE(ui.edit(QStringLiteral("Client id:"))->text(), MQTT::defaultClientId());
        }
        const QString outside = outsideThePanel(ui);
        QVERIFY2(outside.isEmpty(), qPrintable(outside));
        ui.choose(QStringLiteral("WebSocket"));
    }

    void tlsShowsItsFilesAndItsPort()
    {
        SPanel ui = panel();
        ui.choose(QStringLiteral("The Things Stack"));
        ui.tls()->setChecked(true);
        QApplication::processEvents();
        QCOMPARE(ui.port()->value(), 8883);
        for (const QString &label : QStringList { "CA file:", "Cert file:", "Key file:" })
            QVERIFY2(ui.broker.value(label)->isVisible(), qPrintable(label));
        const QString outside = outsideThePanel(ui);
        QVERIFY2(outside.isEmpty(), qPrintable(outside));
        QVERIFY(QDir().mkpath(QStringLiteral(KELVARA_BINARY_DIR "/screenshots")));
        QVERIFY(startup->window()->grab().save(QStringLiteral(KELVARA_BINARY_DIR "/screenshots/server_panel_tls.png")));
        // A port of the operator's own stays when TLS changes; the default follows it.
        ui.port()->setValue(1884);
        ui.tls()->setChecked(false);
        QCOMPARE(ui.port()->value(), 1884);
        ui.tls()->setChecked(true);
        QCOMPARE(ui.port()->value(), 1884);
        ui.port()->setValue(8883);
        ui.tls()->setChecked(false);
        QCOMPARE(ui.port()->value(), 1883);
        for (const QString &label : QStringList { "CA file:", "Cert file:", "Key file:" })
            QVERIFY2(!ui.broker.value(label)->isVisible(), qPrintable(label));
        ui.choose(QStringLiteral("WebSocket"));
    }

    void wrongBrokerPasswordShowsInvalidAuthAndSavesNothing()
    {
        SPanel ui = panel();
        ui.choose(QStringLiteral("ChirpStack"));
        ui.fillBroker(broker.port, QStringLiteral("guess"));
        QVERIFY(connectAndAwait(QStringLiteral("INVALID AUTH")));
        QVERIFY(!QFile::exists(SETTINGS_FILE_NAME));
        QVERIFY(waitFor([&] { return broker.readOutput().contains("disconnected, not authorised"); }));
    }

    void chirpStackConnectShowsSuccessAndSavesWhatWasUsed()
    {
        SPanel ui = panel();
        ui.choose(QStringLiteral("ChirpStack"));
        ui.fillBroker(broker.port, BROKER_PASSWORD);
        QSignalSpy icons(startup->window(), &MainWindow::setConnectStatusIco);
        QVERIFY(connectAndAwait(QStringLiteral("SUCCESS")));
        QVERIFY(!icons.isEmpty());
        QCOMPARE(icons.last().at(0).value<QIcon>().pixmap(16, 16).toImage(),
            QIcon(QStringLiteral(":/connectionGoodIco.png")).pixmap(16, 16).toImage());
        QCOMPARE(int(startup->gateway()->serverKind()), int(EServerKind::eChirpStack));
        QVERIFY(startup->gateway()->listsHeardDevices());
        // The broker saw the fields' client id and user.
        QVERIFY(waitFor([&] {
            return broker.readOutput().contains(
                QStringLiteral("as %1 (p2, c1, k30, u'%2')").arg(CLIENT_ID, BROKER_USER).toUtf8());
        }));

        const QMap<QString, QString> expected = {
            { "server/kind", "chirpstack" },
            { "mqtt/host", "127.0.0.1" },
            { "mqtt/port", QString::number(broker.port) },
            { "mqtt/tls", "false" },
            { "mqtt/ca_file", "" },
            { "mqtt/cert_file", "" },
            { "mqtt/key_file", "" },
            { "mqtt/username", BROKER_USER },
            { "mqtt/password", BROKER_PASSWORD },
            { "mqtt/client_id", CLIENT_ID },
            { "mqtt/topic", "application/+/device/+/event/up" },
        };
        QSettings saved(SETTINGS_FILE_NAME, QSettings::IniFormat);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
            QVERIFY2(saved.contains(it.key()), qPrintable(it.key()));
            QCOMPARE(saved.value(it.key()).toString(), it.value());
        }
        // It holds the broker password: the owner's alone.
        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile(SETTINGS_FILE_NAME).permissions() & others, QFileDevice::Permissions());
    }

    void reconnectionSavesNothing()
    {
        // Changed behind the gateway's back: a save on reconnection would write it back.
        {
            QSettings edited(SETTINGS_FILE_NAME, QSettings::IniFormat);
            edited.setValue(QStringLiteral("mqtt/topic"), QStringLiteral("edited"));
        }
        SPanel ui = panel();
        QStringList shown;
        const QMetaObject::Connection watching = connect(
            startup->gateway(), &CGateway::serverStatusChanged, this, [&] { shown << ui.state->text(); },
            Qt::QueuedConnection);
        const quint16 port = broker.port;
        broker.stop();
        QVERIFY(waitFor([&] { return shown.contains(QStringLiteral("DISCONNECTED")); }));
        QVERIFY2(broker.start(workDir.path(), brokerLines, port), qPrintable(broker.error));
        QVERIFY(waitFor([&] { return shown.endsWith(QStringLiteral("SUCCESS")); }));
        disconnect(watching);
        QCOMPARE(savedText(QStringLiteral("mqtt/topic")), QStringLiteral("edited"));

        QSettings restored(SETTINGS_FILE_NAME, QSettings::IniFormat);
        restored.setValue(QStringLiteral("mqtt/topic"), MQTT::defaultTopic(EServerKind::eChirpStack));
    }

    void webSocketConnectStopsTheMqttLink()
    {
        SPanel ui = panel();
        ui.choose(QStringLiteral("WebSocket"));
        ui.wsIp->setText(QStringLiteral("127.0.0.1"));
        ui.wsPort->setText(QString::number(simulatorPort));
        ui.wsLogin->setText(LOGIN);
        ui.wsPassword->setText(PASSWORD);
        QVERIFY(connectAndAwait(QStringLiteral("SUCCESS")));
        QCOMPARE(int(startup->gateway()->serverKind()), int(EServerKind::eWebSocket));
        QVERIFY(!startup->gateway()->listsHeardDevices());
        const QByteArray goodbye = QStringLiteral("Client %1 disconnected.").arg(CLIENT_ID).toUtf8();
        QVERIFY(waitFor([&] { return broker.readOutput().contains(goodbye); }));
        // Many retry periods later the broker has not seen it again, and the window still shows the server.
        const QByteArray hello = QStringLiteral("as %1 ").arg(CLIENT_ID).toUtf8();
        const int connects = broker.readOutput().count(hello);
        const int retries = logLinesWith(QStringLiteral("[CMqttLink::reconnectSlot]"));
        passRetryPeriods(15);
        QCOMPARE(logLinesWith(QStringLiteral("[CMqttLink::reconnectSlot]")), retries);
        QCOMPARE(broker.readOutput().count(hello), connects);
        QCOMPARE(ui.state->text(), QStringLiteral("SUCCESS"));

        // The WebSocket log-in and kind are saved; the broker's values stay for the next switch.
        QCOMPARE(savedText(QStringLiteral("server/kind")), QStringLiteral("websocket"));
        QCOMPARE(savedText(QStringLiteral("server/port")), QString::number(simulatorPort));
        QCOMPARE(savedText(QStringLiteral("mqtt/client_id")), CLIENT_ID);
    }

    void mqttConnectStopsTheWebSocketLink()
    {
        SPanel ui = panel();
        ui.choose(QStringLiteral("ChirpStack"));
        QVERIFY(connectAndAwait(QStringLiteral("SUCCESS")));
        QCOMPARE(logLinesWith(QStringLiteral("[CServerHandler::disconnectSlot] Disconnecting from")), 1);
        QCOMPARE(savedText(QStringLiteral("server/kind")), QStringLiteral("chirpstack"));
        // A WebSocket link still armed would see the server go and try again.
        stopProcess(simulator);
        passRetryPeriods(15);
        QCOMPARE(logLinesWith(QStringLiteral("[CServerHandler::scheduleReconnect]")), 0);
        QCOMPARE(logLinesWith(QStringLiteral("[CServerHandler::reconnectSlot]")), 0);
        QCOMPARE(ui.state->text(), QStringLiteral("SUCCESS"));
        QCOMPARE(startup->gateway()->serverStatus(), COMM::eSuccess);
    }

    void startShowsTheSavedKindAndConnects()
    {
        startup.reset();
        CSettings::getInstance(QString())->sync();
        // As the program reads its configuration.
        SGatewayConfig config = fastConfig();
        config.serverKind = MQTT::readServerKind(*CSettings::getInstance(QString()));
        config.mqtt = MQTT::readMqttSettings(*CSettings::getInstance(QString()));
        const QDateTime savedAt = QFileInfo(SETTINGS_FILE_NAME).lastModified();
        logSpy->clear();
        startWindow(config);
        SPanel ui = panel();
        QCOMPARE(ui.kind->currentText(), QStringLiteral("ChirpStack"));
        QVERIFY(!ui.wsIp->isVisible());
        QCOMPARE(ui.edit(QStringLiteral("Host:"))->text(), QStringLiteral("127.0.0.1"));
        QCOMPARE(ui.port()->value(), int(broker.port));
        QVERIFY(!ui.tls()->isChecked());
        QCOMPARE(ui.edit(QStringLiteral("User:"))->text(), BROKER_USER);
        QCOMPARE(ui.edit(QStringLiteral("Password:"))->text(), BROKER_PASSWORD);
        QCOMPARE(ui.edit(QStringLiteral("Client id:"))->text(), CLIENT_ID);
        QCOMPARE(ui.edit(QStringLiteral("Topic:"))->text(), QStringLiteral("application/+/device/+/event/up"));
        QVERIFY(waitFor([&] { return ui.state->text() == QStringLiteral("SUCCESS"); }));
        QCOMPARE(logLinesWith(QStringLiteral("[main] IP is empty")), 0);
        QCOMPARE(QFileInfo(SETTINGS_FILE_NAME).lastModified(), savedAt);
    }
};

QTEST_MAIN(TestServerPanel)
#include "tst_serverpanel.moc"
