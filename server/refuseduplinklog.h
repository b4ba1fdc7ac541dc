#pragma once

#include <QString>

#include "server/cloglimiter.h"

// Warns about refused uplinks at most once a minute per device, each warning carrying
// the number of refusals since the device's last one. The caller gives the time, so a
// test can step through minutes without waiting.
// Bound: MAX_DEVICES devices are remembered; beyond them new devices share one entry.
class CRefusedUplinkLog
{
public:
    static constexpr int MAX_DEVICES = 4096;

    // The warning line for this refusal, or an empty text while the device's minute runs.
    QString refused(const QString &_devEui, const QString &_reason, qint64 _nowMs);

private:
    CLogLimiter limiter { CLogLimiter::Clock(), MAX_DEVICES };
};
