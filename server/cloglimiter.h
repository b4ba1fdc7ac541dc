#pragma once

#include <QHash>
#include <QString>

#include <functional>

// Lets one log line a minute through per key and counts the events it held
// back, so one device sending garbage cannot flood the log.
class CLogLimiter
{
public:
    // Milliseconds from any fixed start; tests hand in a clock they advance.
    using Clock = std::function<qint64()>;

    static constexpr qint64 INTERVAL_MS = 60000;
    // Keys beyond this many share one count, so the table stays bounded.
    static constexpr int MAX_KEYS = 1000;

    explicit CLogLimiter(Clock _clock = Clock(), int _maxKeys = MAX_KEYS);

    // Records one event under the key. Returns how many events to report now
    // (this one and those held back since the key's last report), or 0 while
    // the key's minute runs.
    int record(const QString &_key) { return record(_key, clock(), nullptr); }
    // The same at _nowMs. *_shared (when given) tells whether the table was full and the
    // event went to the count the keys beyond the bound share. A clock set back counts as
    // a minute passed rather than silencing the key.
    int record(const QString &_key, qint64 _nowMs, bool *_shared);

private:
    struct SEntry
    {
        qint64 reportedAtMs = 0;
        int heldBack = 0;
    };

    Clock clock;
    int maxKeys;
    QHash<QString, SEntry> entries;
};
