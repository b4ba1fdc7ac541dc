#include "server/mqttsettings.h"

#include <QHostInfo>

namespace MQTT {

QString defaultClientId()
{
    return QStringLiteral("kelvara-") + QHostInfo::localHostName();
}

QString defaultTopic(EServerKind _kind)
{
    if (_kind == EServerKind::eTts)
        return QStringLiteral("v3/+/devices/+/up");
    return QStringLiteral("application/+/device/+/event/up");
}

} // namespace MQTT
