#pragma once

#include <QLockFile>
#include <QString>

#include <memory>

// One gateway per working directory: a lock file there, held while the gateway runs.
// Tools that change the device list read it to find the running gateway. Where no lock
// file can be made in the folder (read-only, another user's), the lock is kept in the
// system's temporary folder instead, under a name made from the folder's path.
class CInstanceLock
{
public:
    static constexpr const char *FILE_NAME = "kelvara.lock";

    explicit CInstanceLock(const QString &_dir);

    // False when a live process holds the lock; *_holder is then its pid (0 if unknown). True
    // also when no lock file can be made anywhere: the caller finds out itself what it cannot
    // write.
    bool acquire(qint64 *_holder);

    // Pid of the gateway running in _dir; 0 when none.
    static qint64 runningPid(const QString &_dir);

    // The lock file used for _dir when none can be made in it.
    static QString fallbackPath(const QString &_dir);

private:
    QString dir;
    std::unique_ptr<QLockFile> lock;
};
