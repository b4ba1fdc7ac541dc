#include "app/clogfile.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>

#include "app/constants.h"

CLogFile *CLogFile::instance = nullptr;

namespace {

const QIODevice::OpenMode LOG_OPEN_MODE = QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text;

} // namespace

CLogFile::CLogFile(const QString &fileName, QObject *parent)
    : QObject(parent)
{
    file.setFileName(QStringLiteral("./") + fileName);
    // Append even to a file made now: every entry then lands at the end, after another
    // writer's lines and without a hole once the file was truncated from outside.
    if (!file.open(LOG_OPEN_MODE)) {
        qDebug() << "[CLogFile] Invalid file opening!";
        return;
    }
    // A log of an older version ends without its newline: the next line starts on a line of its own.
    if (file.size() > 0) {
        QFile tail(file.fileName());
        if (tail.open(QIODevice::ReadOnly) && tail.seek(tail.size() - 1) && tail.read(1) != "\n") {
            file.write("\n");
            file.flush();
        }
    }
}

void CLogFile::startSession()
{
    addLogMetod(QStringLiteral("*****************************************************************"));
    addLogMetod(QStringLiteral("**                      New session                            **"));
}

void CLogFile::setChangesOnly(bool _changesOnly)
{
    QMutexLocker locker(&mutex);
    changesOnly = _changesOnly;
}

void CLogFile::addChangeLog(const QString &str)
{
    getInstance(QString())->writeEntry(str, true);
}

CLogFile *CLogFile::getInstance(const QString &fileName)
{
    if (!instance)
        instance = new CLogFile(fileName);
    return instance;
}

void CLogFile::addLog(const QString &str)
{
    getInstance(QString())->addLogMetod(str);
}

void CLogFile::addLogMetod(QString logStr)
{
    writeEntry(logStr, false);
}

void CLogFile::writeEntry(const QString &_text, bool _change)
{
    QMutexLocker locker(&mutex);
    const QString time = QDateTime::currentDateTime().toString(REGISTER_TIME_FORMAT);
    QString entry = QStringLiteral("[") + time + QStringLiteral("]") + _text;
    if (!changesOnly || _change) {
        const QByteArray bytes = entry.toUtf8() + '\n';
        // The size is the file's, so another writer's lines count as well.
        if (file.isOpen() && file.size() > 0 && file.size() + bytes.size() > rotateSize)
            rotate();
        if (file.isOpen()) {
            file.write(bytes);
            file.flush();
        } else {
            qDebug() << "[CLogFile::addLogMetod] File is closed!";
        }
    }
    entry.remove(QLatin1Char('\n'));
    entry.remove(QLatin1Char('\r'));
    emit addLogSignal(entry);
}

void CLogFile::setRotateSize(qint64 _bytes)
{
    QMutexLocker locker(&mutex);
    rotateSize = _bytes;
}

void CLogFile::rotate()
{
    const QString name = file.fileName();
    const auto oldName = [&name](int _number) { return name + QLatin1Char('.') + QString::number(_number); };
    file.close();
    QFile::remove(oldName(KEPT_OLD_FILES));
    // Missing older files are no error: the renames of those fail and the rest move up.
    for (int number = KEPT_OLD_FILES - 1; number >= 1; --number)
        QFile::rename(oldName(number), oldName(number + 1));
    // Should the rename fail, the same file is reopened and grows on.
    if (!QFile::rename(name, oldName(1)))
        qDebug() << "[CLogFile::rotate] Log file is not renamed!";
    if (!file.open(LOG_OPEN_MODE))
        qDebug() << "[CLogFile] Invalid file opening!";
}
