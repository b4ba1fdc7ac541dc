#pragma once

#include <QDir>
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
