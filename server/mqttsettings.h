#pragma once

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QVariant>

class QSettings;

// Which network server the gateway takes its uplinks from.
enum class EServerKind { eWebSocket, eChirpStack, eTts };

// How to reach the MQTT broker of a ChirpStack or The Things Stack server.
struct SMqttSettings
{
    EServerKind kind = EServerKind::eChirpStack;
    QString host;
    quint16 port = 0;
    bool tls = false;
    QString caFile;
    QString certFile;
    QString keyFile;
    QString username;
    QString password;
    QString clientId;
    QString topic;
};

namespace MQTT {

inline constexpr quint16 DEFAULT_PORT = 1883;
inline constexpr quint16 DEFAULT_TLS_PORT = 8883;

// The client id of this machine, when the settings name none.
QString defaultClientId();

// The uplink topic of every device of every application the account may see.
QString defaultTopic(EServerKind _kind);

// [server] kind: absent is the WebSocket server; an unknown text is logged and
// read as absent.
EServerKind readServerKind(const QSettings &_settings);

// The [mqtt] group with its defaults filled in; `kind` comes from [server] kind.
SMqttSettings readMqttSettings(const QSettings &_settings);

// [server] kind as a settings key and value that readServerKind reads back as _kind.
QPair<QString, QVariant> kindEntry(EServerKind _kind);

// [server] kind and every key of the [mqtt] group, as settings keys and values that
// readServerKind and readMqttSettings read back as _settings.
QList<QPair<QString, QVariant>> mqttEntries(const SMqttSettings &_settings);

} // namespace MQTT

Q_DECLARE_METATYPE(SMqttSettings)
