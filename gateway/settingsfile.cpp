#include "gateway/settingsfile.h"

#include <QSettings>

#include <limits>

#include "app/clogfile.h"
#include "app/constants.h"

QString settingsKey(const QString &_key)
{
    return SETTINGS_GROUP_SERVER + _key;
}

namespace {

const QString KEY_IDLE_TIMEOUT = QStringLiteral("modbus/idle_timeout");
const QString KEY_MAX_CONNECTIONS = QStringLiteral("modbus/max_connections");

// A whole number in [_minimum, _maximum], written with or without spaces around it.
bool wholeNumberIn(const QString &_text, int _minimum, int _maximum, int *_number)
{
    bool ok = false;
    *_number = _text.trimmed().toInt(&ok);
    return ok && *_number >= _minimum && *_number <= _maximum;
}

// The key's whole number when it lies in [_minimum, _maximum], otherwise _default.
int readNumber(const QSettings &_settings, const QString &_key, int _minimum, int _maximum, int _default)
{
    const QVariant value = _settings.value(_key);
    if (!value.isValid())
        return _default;
    int number = 0;
    if (wholeNumberIn(value.toString(), _minimum, _maximum, &number))
        return number;
    CLogFile::addLog(QStringLiteral("WARNING: [readModbusLimits] Invalid value [%1] of [%2]; [%3] is used")
                         .arg(value.toString(), _key)
                         .arg(_default));
    return _default;
}

} // namespace

SModbusLimits readModbusLimits(const QSettings &_settings)
{
    SModbusLimits limits;
    const int maxSeconds = std::numeric_limits<int>::max() / 1000;
    limits.idleTimeoutMs = 1000 * readNumber(_settings, KEY_IDLE_TIMEOUT, 0, maxSeconds, limits.idleTimeoutMs / 1000);
    limits.maxConnections = readNumber(_settings, KEY_MAX_CONNECTIONS, 1, std::numeric_limits<int>::max(), limits.maxConnections);
    return limits;
}

namespace MQTT {

namespace {

const QString KEY_KIND = QStringLiteral("server/kind");
const QString KIND_WEBSOCKET = QStringLiteral("websocket");
const QString KIND_CHIRPSTACK = QStringLiteral("chirpstack");
const QString KIND_TTS = QStringLiteral("tts");

const QString GROUP = QStringLiteral("mqtt/");
const QString KEY_HOST = QStringLiteral("host");
const QString KEY_PORT = QStringLiteral("port");
const QString KEY_TLS = QStringLiteral("tls");
const QString KEY_CA_FILE = QStringLiteral("ca_file");
const QString KEY_CERT_FILE = QStringLiteral("cert_file");
const QString KEY_KEY_FILE = QStringLiteral("key_file");
const QString KEY_USERNAME = QStringLiteral("username");
const QString KEY_PASSWORD = QStringLiteral("password");
const QString KEY_CLIENT_ID = QStringLiteral("client_id");
const QString KEY_TOPIC = QStringLiteral("topic");

QString text(const QSettings &_settings, const QString &_key)
{
    return _settings.value(GROUP + _key).toString().trimmed();
}

} // namespace

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
    settings.host = text(_settings, KEY_HOST);
    const QString tls = text(_settings, KEY_TLS).toLower();
    settings.tls = tls == QStringLiteral("true") || tls == QStringLiteral("1") || tls == QStringLiteral("yes");
    settings.port = settings.tls ? DEFAULT_TLS_PORT : DEFAULT_PORT;
    const QString portText = text(_settings, KEY_PORT);
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (ok && port > 0 && port <= 65535)
        settings.port = static_cast<quint16>(port);
    else if (!portText.isEmpty())
        CLogFile::addLog(QStringLiteral("[CSettings::readMqttSettings] Invalid port [%1], using %2")
                             .arg(portText)
                             .arg(settings.port));
    settings.caFile = text(_settings, KEY_CA_FILE);
    settings.certFile = text(_settings, KEY_CERT_FILE);
    settings.keyFile = text(_settings, KEY_KEY_FILE);
    settings.username = _settings.value(GROUP + KEY_USERNAME).toString();
    settings.password = _settings.value(GROUP + KEY_PASSWORD).toString();
    settings.clientId = text(_settings, KEY_CLIENT_ID);
    if (settings.clientId.isEmpty())
        settings.clientId = defaultClientId();
    settings.topic = text(_settings, KEY_TOPIC);
    if (settings.topic.isEmpty())
        settings.topic = defaultTopic(settings.kind);
    return settings;
}

QPair<QString, QVariant> kindEntry(EServerKind _kind)
{
    switch (_kind) {
    case EServerKind::eChirpStack:
        return { KEY_KIND, KIND_CHIRPSTACK };
    case EServerKind::eTts:
        return { KEY_KIND, KIND_TTS };
    case EServerKind::eWebSocket:
        break;
    }
    return { KEY_KIND, KIND_WEBSOCKET };
}

QList<QPair<QString, QVariant>> mqttEntries(const SMqttSettings &_settings)
{
    return {
        kindEntry(_settings.kind),
        { GROUP + KEY_HOST, _settings.host },
        { GROUP + KEY_PORT, QString::number(_settings.port) },
        { GROUP + KEY_TLS, _settings.tls ? QStringLiteral("true") : QStringLiteral("false") },
        { GROUP + KEY_CA_FILE, _settings.caFile },
        { GROUP + KEY_CERT_FILE, _settings.certFile },
        { GROUP + KEY_KEY_FILE, _settings.keyFile },
        { GROUP + KEY_USERNAME, _settings.username },
        { GROUP + KEY_PASSWORD, _settings.password },
        { GROUP + KEY_CLIENT_ID, _settings.clientId },
        { GROUP + KEY_TOPIC, _settings.topic },
    };
}

} // namespace MQTT

namespace {

// [history]: a whole number from _lowest to _highest; an absent key keeps *_value.
bool readHistoryNumber(const QSettings &_settings, const QString &_key, int _lowest, int _highest, int *_value,
                       QString *_error)
{
    const QString text = _settings.value(QStringLiteral("history/") + _key).toString().trimmed();
    if (text.isEmpty())
        return true;
    int number = 0;
    if (!wholeNumberIn(text, _lowest, _highest, &number)) {
        *_error = QStringLiteral("[history] %1=%2 is not a whole number from %3 to %4")
                      .arg(_key, text)
                      .arg(_lowest)
                      .arg(_highest);
        return false;
    }
    *_value = number;
    return true;
}

} // namespace

bool readHistorySettings(const QSettings &_settings, SHistorySettings *_history, QString *_error)
{
    SHistorySettings history;
    if (!readHistoryNumber(_settings, QStringLiteral("keep_days"), 0, 3650, &history.keepDays, _error)
        || !readHistoryNumber(_settings, QStringLiteral("max_mb"), 1, 1024 * 1024, &history.maxMb, _error))
        return false;
    *_history = history;
    return true;
}
