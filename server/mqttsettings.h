#pragma once

#include <QList>
#include <QMetaType>
#include <QPair>
#include <QString>
#include <QVariant>

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

} // namespace MQTT

Q_DECLARE_METATYPE(SMqttSettings)
