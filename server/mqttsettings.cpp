#include "server/mqttsettings.h"

#include <QHostInfo>
#include <QSettings>

#include "app/clogfile.h"

namespace MQTT {

namespace {

const QString KEY_KIND = QStringLiteral("server/kind");
const QString KIND_WEBSOCKET = QStringLiteral("websocket");
const QString KIND_CHIRPSTACK = QStringLiteral("chirpstack");
const QString KIND_TTS = QStringLiteral("tts");

const QString GROUP = QStringLiteral("mqtt/");

QString text(const QSettings &_settings, const QString &_key)
{
    return _settings.value(GROUP + _key).toString().trimmed();
}

} // namespace

QString defaultTopic(EServerKind _kind)
{
    if (_kind == EServerKind::eTts)
        return QStringLiteral("v3/+/devices/+/up");
    return QStringLiteral("application/+/device/+/event/up");
}

EServerKind readServerKind(const QSettings &_settings)
{
    const QString kind = _settings.value(KEY_KIND).toString().trimmed().toLower();
    if (kind == KIND_CHIRPSTACK)
        return EServerKind::eChirpStack;
    if (kind == KIND_TTS)
        return EServerKind::eTts;
    if (!kind.isEmpty() && kind != KIND_WEBSOCKET)
        CLogFile::addLog(
            QStringLiteral("[CSettings::readServerKind] Unknown server kind [%1], using websocket").arg(kind));
    return EServerKind::eWebSocket;
}

SMqttSettings readMqttSettings(const QSettings &_settings)
{
    SMqttSettings settings;
    const EServerKind kind = readServerKind(_settings);
    settings.kind = kind == EServerKind::eTts ? EServerKind::eTts : EServerKind::eChirpStack;
    settings.host = text(_settings, QStringLiteral("host"));
    const QString tls = text(_settings, QStringLiteral("tls")).toLower();
    settings.tls = tls == QStringLiteral("true") || tls == QStringLiteral("1") || tls == QStringLiteral("yes");
    settings.port = settings.tls ? DEFAULT_TLS_PORT : DEFAULT_PORT;
    const QString portText = text(_settings, QStringLiteral("port"));
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        settings.port = static_cast<quint16>(port);
    else if (!portText.isEmpty())
        CLogFile::addLog(QStringLiteral("[CSettings::readMqttSettings] Invalid port [%1], using %2")
                             .arg(portText)
                             .arg(settings.port));
    settings.caFile = text(_settings, QStringLiteral("ca_file"));
    settings.certFile = text(_settings, QStringLiteral("cert_file"));
    settings.keyFile = text(_settings, QStringLiteral("key_file"));
    settings.username = _settings.value(GROUP + QStringLiteral("username")).toString();
    settings.password = _settings.value(GROUP + QStringLiteral("password")).toString();
    settings.clientId = text(_settings, QStringLiteral("client_id"));
    if (settings.clientId.isEmpty())
        settings.clientId = QStringLiteral("kelvara-") + QHostInfo::localHostName();
    settings.topic = text(_settings, QStringLiteral("topic"));
    if (settings.topic.isEmpty())
        settings.topic = defaultTopic(settings.kind);
    return settings;
}

} // namespace MQTT
