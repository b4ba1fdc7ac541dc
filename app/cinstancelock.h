#pragma once

#include <QLockFile>
#include <QString>

// One gateway per working directory: a lock file there, held while the gateway runs.
// Tools that change the device list read it to find the running gateway.
class CInstanceLock
{
public:
    static constexpr const char *FILE_NAME = "kelvara.lock";

    explicit CInstanceLock(const QString &_dir);

    // False when a live process holds the lock; *_holder is then its pid (0 if unknown). A folder
    // where no lock file can be made is not held by anyone: true, and the caller finds out itself
    // what it cannot write there.
    bool acquire(qint64 *_holder);

    // Pid of the gateway running in _dir; 0 when none.
    static qint64 runningPid(const QString &_dir);

private:
    QLockFile lock;
};
