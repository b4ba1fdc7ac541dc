#pragma once

#include <QHash>
#include <QMutex>
#include <QString>

#include <deque>

class CClock;

// The console's log-ins: a random session id per log-in with its own CSRF token, ended by
// log-out or by 12 hours without use, and the failed log-ins of each address: five within a
// minute make it wait a minute. Safe to use from any thread; timed on the gateway's clock.
class CSessions
{
public:
    static constexpr qint64 IDLE_LIMIT_MS = 12LL * 3600 * 1000;
    static constexpr int FAILURES_ALLOWED = 5;
    static constexpr qint64 FAILURE_WINDOW_MS = 60 * 1000;
    static constexpr qint64 LOCKOUT_MS = 60 * 1000;
    // Sessions kept at most; the longest unused goes first.
    static constexpr int MAX_SESSIONS = 1000;

    struct SSession
    {
        QString user;
        bool admin = false;
        QString csrf;
        qint64 lastUseMs = 0;
    };

    explicit CSessions(CClock *_clock);

    // A new session's id.
    QString open(const QString &_user, bool _admin);
    // The live session of that id, its use noted; false when unknown or expired.
    bool find(const QString &_id, SSession *_session);
    void close(const QString &_id);

    // Milliseconds the address must still wait before it may try again; 0 when it may.
    qint64 lockedFor(const QString &_address);
    void noteFailure(const QString &_address);
    void noteSuccess(const QString &_address);

    // 32 random bytes as hexadecimal.
    static QString randomText();

private:
    CClock *clock;
    QMutex mutex;
    QHash<QString, SSession> sessions;
    struct SFailures
    {
        std::deque<qint64> times;
        qint64 lockedUntilMs = 0;
    };
    QHash<QString, SFailures> failures;
};
