#pragma once

// Checks for the outside programs tests talk to. A missing peer fails the test with the
// Debian package to install, never a skip.

#include <QProcess>
#include <QStandardPaths>
#include <QString>

namespace PeerTest {

// Empty when _program is on PATH; otherwise what to install.
inline QString missingProgram(const QString &_program, const QString &_package)
{
    if (!QStandardPaths::findExecutable(_program).isEmpty())
        return QString();
    return QStringLiteral("%1 not found: install the Debian package %2 (apt-get install %2)").arg(_program, _package);
}

// Empty when Debian's Python imports _module; otherwise Python's complaint and what to install.
inline QString missingPythonModule(const QString &_module, const QString &_packages)
{
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), QStringLiteral("import ") + _module });
    if (python.waitForFinished(20000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0)
        return QString();
    const QStringList errorLines
        = QString::fromLocal8Bit(python.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    const QString reason = python.error() == QProcess::FailedToStart ? QStringLiteral("/usr/bin/python3 is missing")
        : errorLines.isEmpty()                                       ? QStringLiteral("no answer")
                                                                     : errorLines.last();
    return QStringLiteral("/usr/bin/python3 cannot import %1 (%2): install the Debian packages %3")
        .arg(_module, reason, _packages);
}

} // namespace PeerTest
