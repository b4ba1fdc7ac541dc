#include "web/csessions.h"

#include <QMutexLocker>

#include <sodium.h>

#include "app/cclock.h"

CSessions::CSessions(CClock *_clock)
    : clock(_clock)
{
}

QString CSessions::randomText()
{
    unsigned char bytes[32];
    if (sodium_init() < 0)
        return QString();
    randombytes_buf(bytes, sizeof bytes);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(bytes), sizeof bytes).toHex());
}

QString CSessions::open(const QString &_user, bool _admin)
{
    const QString id = randomText();
    QMutexLocker locker(&mutex);
    if (sessions.size() >= MAX_SESSIONS) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
            if (it->lastUseMs < oldest->lastUseMs)
                oldest = it;
        }
        sessions.erase(oldest);
    }
    sessions.insert(id, { _user, _admin, randomText(), clock->nowMs() });
    return id;
}

bool CSessions::find(const QString &_id, SSession *_session)
{
    QMutexLocker locker(&mutex);
    const auto found = sessions.find(_id);
    if (found == sessions.end())
        return false;
    const qint64 now = clock->nowMs();
    if (now - found->lastUseMs >= IDLE_LIMIT_MS) {
        sessions.erase(found);
        return false;
    }
    found->lastUseMs = now;
    *_session = *found;
    return true;
}

void CSessions::close(const QString &_id)
{
    QMutexLocker locker(&mutex);
    sessions.remove(_id);
}

qint64 CSessions::lockedFor(const QString &_address)
{
    QMutexLocker locker(&mutex);
    const auto found = failures.constFind(_address);
    if (found == failures.constEnd())
        return 0;
    return std::max<qint64>(0, found->lockedUntilMs - clock->nowMs());
}

void CSessions::noteFailure(const QString &_address)
{
    QMutexLocker locker(&mutex);
    const qint64 now = clock->nowMs();
    SFailures &kept = failures[_address];
    kept.times.push_back(now);
    while (!kept.times.empty() && kept.times.front() <= now - FAILURE_WINDOW_MS)
        kept.times.pop_front();
    if (int(kept.times.size()) >= FAILURES_ALLOWED) {
        kept.lockedUntilMs = now + LOCKOUT_MS;
        kept.times.clear();
    }
    // Addresses whose failures are all past forget them, so the table stays small.
    for (auto it = failures.begin(); it != failures.end();) {
        const bool stale = it->lockedUntilMs <= now
            && (it->times.empty() || it->times.back() <= now - FAILURE_WINDOW_MS);
        it = stale && it.key() != _address ? failures.erase(it) : std::next(it);
    }
}

void CSessions::noteSuccess(const QString &_address)
{
    QMutexLocker locker(&mutex);
    failures.remove(_address);
}
