#include "server/refuseduplinklog.h"

QString CRefusedUplinkLog::refused(const QString &_devEui, const QString &_reason, qint64 _nowMs)
{
    bool shared = false;
    const int count = limiter.record(_devEui, _nowMs, &shared);
    if (count == 0)
        return QString();
    return QStringLiteral("WARNING: [CServerHandler::textMessageReceivedSlot] Uplink of device [%1] refused: %2. "
                          "Refused since the last warning: [%3]")
        .arg(shared ? QStringLiteral("other devices") : _devEui, _reason)
        .arg(count);
}
