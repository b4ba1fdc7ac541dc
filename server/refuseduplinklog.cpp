#include "server/refuseduplinklog.h"

namespace {

// The shared entry of devices that find the table full.
const QString OTHER_DEVICES = QStringLiteral("other devices");

} // namespace

QString CRefusedUplinkLog::refused(const QString &_devEui, const QString &_reason, qint64 _nowMs)
{
    QString key = _devEui;
    if (!devices.contains(key) && devices.size() >= MAX_DEVICES) {
        for (auto it = devices.begin(); it != devices.end();) {
            if (_nowMs - it->lastWarningMs >= WARNING_INTERVAL_MS)
                it = devices.erase(it);
            else
                ++it;
        }
        if (devices.size() >= MAX_DEVICES)
            key = OTHER_DEVICES;
    }
    const auto found = devices.find(key);
    // A clock set back counts as a minute passed rather than silencing the device.
    if (found != devices.end() && _nowMs >= found->lastWarningMs
        && _nowMs - found->lastWarningMs < WARNING_INTERVAL_MS) {
        ++found->uncounted;
        return QString();
    }
    const int count = (found != devices.end() ? found->uncounted : 0) + 1;
    devices.insert(key, SDeviceRefusals { _nowMs, 0 });
    return QStringLiteral("WARNING: [CServerHandler::textMessageReceivedSlot] Uplink of device [%1] refused: %2. "
                          "Refused since the last warning: [%3]")
        .arg(key == OTHER_DEVICES ? key : _devEui, _reason)
        .arg(count);
}
