#include "app/clogfile.h"

#include <QDateTime>
#include <QDebug>
#include <QMutexLocker>

#include "app/constants.h"

CLogFile *CLogFile::instance = nullptr;

CLogFile::CLogFile(const QString &fileName, QObject *parent)
    : QObject(parent)
{
    file.setFileName(QStringLiteral("./") + fileName);
    // Append even to a file made now: every entry then lands at the end, after another
    // writer's lines and without a hole once the file was truncated from outside.
    if (!file.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Text)) {
        qDebug() << "[CLogFile] Invalid file opening!";
        return;
    }
    addLogMetod(QStringLiteral("*****************************************************************"));
    addLogMetod(QStringLiteral("**                      New session                            **"));
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
    QMutexLocker locker(&mutex);
    const QString time = QDateTime::currentDateTime().toString(REGISTER_TIME_FORMAT);
    QString entry = QStringLiteral("\n[") + time + QStringLiteral("]") + logStr;
    if (file.isOpen()) {
        file.write(entry.toUtf8());
        file.flush();
    } else {
        qDebug() << "[CLogFile::addLogMetod] File is closed!";
    }
    entry.remove(QLatin1Char('\n'));
    entry.remove(QLatin1Char('\r'));
    emit addLogSignal(entry);
}
