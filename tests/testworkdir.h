#pragma once

#include <QDir>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

#include "app/clogfile.h"
#include "app/globaltables.h"

// A test's own working directory, entered the way the program starts: the
// shared tables filled and the log open there. The previous working directory
// comes back when the object goes.
class CTestWorkDir
{
public:
    ~CTestWorkDir()
    {
        if (!previous.isEmpty())
            QDir::setCurrent(previous);
    }

    bool enter()
    {
        static bool tablesFilled = false;
        if (!tablesFilled) {
            fillGlobalTables();
            tablesFilled = true;
        }
        if (!dir.isValid())
            return false;
        previous = QDir::currentPath();
        if (!QDir::setCurrent(dir.path()))
            return false;
        CLogFile::getInstance(QStringLiteral("history.log"));
        return true;
    }

    QString path() const { return dir.path(); }
    QString filePath(const QString &name) const { return dir.filePath(name); }

private:
    QTemporaryDir dir;
    QString previous;
};

// The lines a spy on the log's signal caught that contain _part.
inline QStringList logLinesContaining(const QSignalSpy &_log, const QString &_part)
{
    QStringList lines;
    for (const QList<QVariant> &line : _log) {
        if (line.at(0).toString().contains(_part))
            lines << line.at(0).toString();
    }
    return lines;
}
