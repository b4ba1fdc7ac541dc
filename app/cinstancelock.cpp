#include "app/cinstancelock.h"

#include <QDir>

#include <csignal>

CInstanceLock::CInstanceLock(const QString &_dir)
    : lock(QDir(_dir).filePath(QLatin1String(FILE_NAME)))
{
    // Only a dead holder frees the lock, however long the gateway has run.
    lock.setStaleLockTime(0);
}

bool CInstanceLock::acquire(qint64 *_holder)
{
    if (lock.tryLock(0) || lock.error() != QLockFile::LockFailedError)
        return true;
    qint64 pid = 0;
    QString host;
    QString application;
    *_holder = lock.getLockInfo(&pid, &host, &application) ? pid : 0;
    return false;
}

qint64 CInstanceLock::runningPid(const QString &_dir)
{
    QLockFile probe(QDir(_dir).filePath(QLatin1String(FILE_NAME)));
    qint64 pid = 0;
    QString host;
    QString application;
    if (!probe.getLockInfo(&pid, &host, &application) || pid <= 0)
        return 0;
    // A lock left by a process that died names nobody.
    return ::kill(pid_t(pid), 0) == 0 ? pid : 0;
}
