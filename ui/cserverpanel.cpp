#include "ui/cserverpanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegExpValidator>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/clogfile.h"
#include "app/csettings.h"
#include "gateway/cgateway.h"
#include "gateway/settingsfile.h"

namespace {

const QString GOOD_CONNECTION_ICON = QStringLiteral(":/connectionGoodIco.png");
const QString FAIL_CONNECTION_ICON = QStringLiteral(":/connectionFailIco.png");

QHBoxLayout *row(std::initializer_list<QWidget *> _widgets)
{
    auto *layout = new QHBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    for (QWidget *widget : _widgets)
        layout->addWidget(widget);
    return layout;
}

} // namespace

CServerPanel::CServerPanel(CGateway *_gateway, QWidget *_parent)
    : QWidget(_parent)
    , gateway(_gateway)
    , kindCombo(new QComboBox(this))
    , webSocketFields(new QWidget(this))
    , mqttFields(new QWidget(this))
    , protocolCombo(new QComboBox(this))
    , ipEdit(new QLineEdit(this))
    , portEdit(new QLineEdit(this))
    , loginEdit(new QLineEdit(this))
    , passwordEdit(new QLineEdit(this))
    , hostEdit(new QLineEdit(this))
    , mqttPortSpin(new QSpinBox(this))
    , tlsCheck(new QCheckBox(tr("TLS"), this))
    , caFileEdit(new QLineEdit(this))
    , certFileEdit(new QLineEdit(this))
    , keyFileEdit(new QLineEdit(this))
    , usernameEdit(new QLineEdit(this))
    , mqttPasswordEdit(new QLineEdit(this))
    , clientIdEdit(new QLineEdit(this))
    , topicEdit(new QLineEdit(this))
    , connectionStateLabel(new QLabel(tr("Connection state..."), this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    kindCombo->addItem(tr("WebSocket"), int(EServerKind::eWebSocket));
    kindCombo->addItem(tr("ChirpStack"), int(EServerKind::eChirpStack));
    kindCombo->addItem(tr("The Things Stack"), int(EServerKind::eTts));
    kindCombo->setToolTip(tr("Where the uplinks come from"));
    layout->addWidget(kindCombo);
    layout->addWidget(buildWebSocketFields());
    layout->addWidget(buildMqttFields());
    layout->addWidget(connectionStateLabel);
    auto *connectButton = new QPushButton(tr("Connect"), this);
    connectButton->setObjectName(QStringLiteral("blueBtn"));
    connectButton->setFixedSize(75, 25);
    connect(connectButton, &QPushButton::clicked, this, &CServerPanel::connectChosen);
    layout->addWidget(connectButton, 0, Qt::AlignHCenter);
    connect(kindCombo, QOverload<int>::of(&QComboBox::currentIndexChanged), this, [this] { showKindFields(); });
    showKindFields();
}

QWidget *CServerPanel::buildWebSocketFields()
{
    auto *layout = new QVBoxLayout(webSocketFields);
    layout->setContentsMargins(0, 0, 0, 0);
    protocolCombo->addItems({ QStringLiteral("ws"), QStringLiteral("wss") });
    protocolCombo->setCurrentIndex(0);
    // The style sheet's font needs more than 90 + 35 px for an address and a port:
    // the port gets a row of its own and the address the rest of the first.
    ipEdit->setMinimumWidth(90);
    ipEdit->setValidator(new QRegExpValidator(
        QRegExp(QStringLiteral("[0-9]{1,3}.[0-9]{1,3}.[0-9]{1,3}.[0-9]{1,3}"), Qt::CaseSensitive), ipEdit));
    portEdit->setFixedWidth(70);
    portEdit->setValidator(new QRegExpValidator(QRegExp(QStringLiteral("[0-9]{5}")), portEdit));
    layout->addLayout(row({ protocolCombo, new QLabel(QStringLiteral("://"), webSocketFields), ipEdit }));
    QHBoxLayout *portRow = row({ new QLabel(QStringLiteral(":"), webSocketFields), portEdit });
    portRow->addStretch();
    layout->addLayout(portRow);
    layout->addLayout(row({ new QLabel(tr("Login:"), webSocketFields), loginEdit }));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    layout->addLayout(row({ new QLabel(tr("Password:"), webSocketFields), passwordEdit }));
    return webSocketFields;
}

QWidget *CServerPanel::buildMqttFields()
{
    auto *grid = new QGridLayout(mqttFields);
    grid->setContentsMargins(0, 0, 0, 0);
    // Fields take what the labels leave of the panel's width, however long their text.
    grid->setColumnStretch(1, 1);
    const auto addRow = [&](const QString &_label, QWidget *_field) {
        auto *label = new QLabel(_label, mqttFields);
        label->setBuddy(_field);
        const int at = grid->rowCount();
        grid->addWidget(label, at, 0);
        grid->addWidget(_field, at, 1);
        return label;
    };
    for (QLineEdit *edit :
        { hostEdit, caFileEdit, certFileEdit, keyFileEdit, usernameEdit, mqttPasswordEdit, clientIdEdit, topicEdit })
        edit->setMinimumWidth(0);
    addRow(tr("Host:"), hostEdit);
    mqttPortSpin->setRange(1, 65535);
    mqttPortSpin->setValue(MQTT::DEFAULT_PORT);
    addRow(tr("Port:"), mqttPortSpin);
    grid->addWidget(tlsCheck, grid->rowCount(), 1);
    caFileEdit->setPlaceholderText(tr("system's"));
    for (const auto &file : { qMakePair(tr("CA file:"), caFileEdit), qMakePair(tr("Cert file:"), certFileEdit),
             qMakePair(tr("Key file:"), keyFileEdit) })
        tlsRowWidgets << addRow(file.first, file.second) << file.second;
    addRow(tr("User:"), usernameEdit);
    mqttPasswordEdit->setEchoMode(QLineEdit::Password);
    mqttPasswordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    addRow(tr("Password:"), mqttPasswordEdit);
    clientIdEdit->setPlaceholderText(MQTT::defaultClientId());
    addRow(tr("Client id:"), clientIdEdit);
    addRow(tr("Topic:"), topicEdit);
    connect(tlsCheck, &QCheckBox::toggled, this, &CServerPanel::showTlsFields);
    showTlsFields(false);
    return mqttFields;
}

void CServerPanel::readSettings()
{
    const SServerLogin login = SServerLogin::fromSettings();
    ipEdit->setText(login.host);
    portEdit->setText(login.port);
    loginEdit->setText(login.login);
    passwordEdit->setText(login.password);
    const CSettings *settings = CSettings::getInstance(QString());
    if (!settings)
        return;
    // The broker fields show the saved values, or the defaults the gateway would use.
    const SMqttSettings mqtt = MQTT::readMqttSettings(*settings);
    hostEdit->setText(mqtt.host);
    tlsCheck->setChecked(mqtt.tls);
    mqttPortSpin->setValue(mqtt.port);
    caFileEdit->setText(mqtt.caFile);
    certFileEdit->setText(mqtt.certFile);
    keyFileEdit->setText(mqtt.keyFile);
    usernameEdit->setText(mqtt.username);
    mqttPasswordEdit->setText(mqtt.password);
    clientIdEdit->setText(mqtt.clientId);
    topicEdit->setText(mqtt.topic);
    kindCombo->setCurrentIndex(kindCombo->findData(int(MQTT::readServerKind(*settings))));
}

EServerKind CServerPanel::chosenKind() const
{
    return EServerKind(kindCombo->currentData().toInt());
}

void CServerPanel::showKindFields()
{
    const EServerKind kind = chosenKind();
    webSocketFields->setVisible(kind == EServerKind::eWebSocket);
    mqttFields->setVisible(kind != EServerKind::eWebSocket);
    const QString topic = topicEdit->text().trimmed();
    if (kind != EServerKind::eWebSocket
        && (topic.isEmpty() || topic == MQTT::defaultTopic(EServerKind::eChirpStack)
            || topic == MQTT::defaultTopic(EServerKind::eTts)))
        topicEdit->setText(MQTT::defaultTopic(kind));
}

void CServerPanel::showTlsFields(bool _tls)
{
    for (QWidget *widget : tlsRowWidgets)
        widget->setVisible(_tls);
    if (_tls && mqttPortSpin->value() == MQTT::DEFAULT_PORT)
        mqttPortSpin->setValue(MQTT::DEFAULT_TLS_PORT);
    else if (!_tls && mqttPortSpin->value() == MQTT::DEFAULT_TLS_PORT)
        mqttPortSpin->setValue(MQTT::DEFAULT_PORT);
}

void CServerPanel::connectChosen()
{
    if (chosenKind() == EServerKind::eWebSocket)
        connectToWebSocket();
    else
        connectToMqtt();
}

void CServerPanel::connectToWebSocket()
{
    const QList<QPair<QLineEdit *, QString>> required = {
        { ipEdit, QStringLiteral("[main] IP is empty") },
        { portEdit, QStringLiteral("[main] PORT is empty") },
        { loginEdit, QStringLiteral("[main] LOGIN is empty") },
        { passwordEdit, QStringLiteral("[main] PASSWORD is empty") },
    };
    for (const auto &field : required) {
        if (field.first->text().isEmpty()) {
            CLogFile::addLog(field.second);
            return;
        }
    }
    SServerLogin login;
    login.scheme = protocolCombo->currentText();
    login.host = ipEdit->text();
    login.port = portEdit->text();
    login.login = loginEdit->text();
    login.password = passwordEdit->text();
    gateway->connectToServer(login, true);
}

void CServerPanel::connectToMqtt()
{
    SMqttSettings settings;
    settings.kind = chosenKind();
    settings.host = hostEdit->text().trimmed();
    if (settings.host.isEmpty()) {
        CLogFile::addLog(QStringLiteral("[main] MQTT host is empty"));
        return;
    }
    settings.port = static_cast<quint16>(mqttPortSpin->value());
    settings.tls = tlsCheck->isChecked();
    settings.caFile = caFileEdit->text().trimmed();
    settings.certFile = certFileEdit->text().trimmed();
    settings.keyFile = keyFileEdit->text().trimmed();
    settings.username = usernameEdit->text();
    settings.password = mqttPasswordEdit->text();
    // Empty fields mean the defaults, and the fields show what is used.
    if (clientIdEdit->text().trimmed().isEmpty())
        clientIdEdit->setText(MQTT::defaultClientId());
    if (topicEdit->text().trimmed().isEmpty())
        topicEdit->setText(MQTT::defaultTopic(settings.kind));
    settings.clientId = clientIdEdit->text().trimmed();
    settings.topic = topicEdit->text().trimmed();
    gateway->connectToMqtt(settings, true);
}

void CServerPanel::showServerStatus(COMM::EServerStatus _status)
{
    QString text;
    switch (_status) {
    case COMM::eSuccess: text = tr("SUCCESS"); break;
    case COMM::ePingWaiting: text = tr("PING WAITING"); break;
    case COMM::eInvalidPing: text = tr("INVALID PING"); break;
    case COMM::eAuthWaiting: text = tr("AUTH WAITING"); break;
    case COMM::eInvalidAuth: text = tr("INVALID AUTH"); break;
    case COMM::eDisconnected: text = tr("DISCONNECTED"); break;
    default: return;
    }
    connectionStateLabel->setText(text);
    emit connectionIconChanged(QIcon(_status == COMM::eSuccess ? GOOD_CONNECTION_ICON : FAIL_CONNECTION_ICON));
}
