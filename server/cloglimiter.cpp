#include "server/cloglimiter.h"

#include <QElapsedTimer>

#include <memory>

CLogLimiter::CLogLimiter(Clock _clock, int _maxKeys)
    : clock(std::move(_clock))
    , maxKeys(_maxKeys)
{
    if (!clock) {
        auto timer = std::make_shared<QElapsedTimer>();
        timer->start();
        clock = [timer] { return timer->elapsed(); };
    }
}

int CLogLimiter::record(const QString &_key, qint64 _nowMs, bool *_shared)
{
    const qint64 now = _nowMs;
    QString key = _key;
    if (!entries.contains(key) && entries.size() >= maxKeys) {
        // Keys whose minute has passed hold nothing back worth keeping a row for.
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->heldBack == 0 && now - it->reportedAtMs >= INTERVAL_MS)
                it = entries.erase(it);
            else
                ++it;
        }
        if (entries.size() >= maxKeys)
            key = QString();
    }
    if (_shared)
        *_shared = key.isNull() && !_key.isNull();
    auto it = entries.find(key);
    if (it == entries.end()) {
        entries.insert(key, SEntry { now, 0 });
        return 1;
    }
    if (now >= it->reportedAtMs && now - it->reportedAtMs < INTERVAL_MS) {
        ++it->heldBack;
        return 0;
    }
    const int count = it->heldBack + 1;
    it->reportedAtMs = now;
    it->heldBack = 0;
    return count;
}
