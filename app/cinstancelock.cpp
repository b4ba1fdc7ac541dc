#include "app/cinstancelock.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <csignal>

namespace {

std::unique_ptr<QLockFile> makeLock(const QString &_path)
{
    auto lock = std::make_unique<QLockFile>(_path);
    // Only a dead holder frees the lock, however long the gateway has run.
    lock->setStaleLockTime(0);
    return lock;
}

// The pid in the lock file when that process lives; 0 otherwise.
qint64 livingHolder(const QString &_path)
{
    QLockFile probe(_path);
    qint64 pid = 0;
    QString host;
    QString application;
    if (!probe.getLockInfo(&pid, &host, &application) || pid <= 0)
        return 0;
    // A lock left by a process that died names nobody.
    return ::kill(pid_t(pid), 0) == 0 ? pid : 0;
}

} // namespace

CInstanceLock::CInstanceLock(const QString &_dir)
    : dir(_dir)
{
}

QString CInstanceLock::fallbackPath(const QString &_dir)
{
    const QString canonical = QFileInfo(_dir).canonicalFilePath();
    const QByteArray hash = QCryptographicHash::hash((canonical.isEmpty() ? _dir : canonical).toUtf8(),
                                                     QCryptographicHash::Sha1)
                                .toHex()
                                .left(16);
    return QDir(QDir::tempPath()).filePath(QStringLiteral("kelvara-%1.lock").arg(QString::fromLatin1(hash)));
}

bool CInstanceLock::acquire(qint64 *_holder)
{
    for (const QString &path : { QDir(dir).filePath(QLatin1String(FILE_NAME)), fallbackPath(dir) }) {
        lock = makeLock(path);
        if (lock->tryLock(0))
            return true;
        if (lock->error() == QLockFile::LockFailedError) {
            qint64 pid = 0;
            QString host;
            QString application;
            *_holder = lock->getLockInfo(&pid, &host, &application) ? pid : 0;
            lock.reset();
            return false;
        }
        // No lock file can be made here: the next place.
    }
    lock.reset();
    return true;
}

qint64 CInstanceLock::runningPid(const QString &_dir)
{
    const qint64 pid = livingHolder(QDir(_dir).filePath(QLatin1String(FILE_NAME)));
    return pid ? pid : livingHolder(fallbackPath(_dir));
}
