#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibrary>
#include <QTextStream>

#include "app/cinstancelock.h"
#include "app/commandline.h"
#include "gateway/cheadlessservice.h"
#include "gateway/cprovisioning.h"
#include "gateway/historycommand.h"
#include "gateway/startupconfig.h"
#include "web/cwebusers.h"

namespace {

// The window lives in a module beside the program (build folder) or in lib/kelvara.
int runWindow(int _argc, char **_argv)
{
    const QDir programDir = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(QLatin1Char('/'), 0, -2);
    const QStringList candidates = { programDir.filePath(QStringLiteral("kelvara-window.so")),
                                     programDir.filePath(QStringLiteral("../lib/kelvara/kelvara-window.so")) };
    QString problems;
    for (const QString &path : candidates) {
        // A module that is there but cannot be read (a folder others may not enter) says why.
        if (::access(QFile::encodeName(path).constData(), R_OK) != 0) {
            if (errno != ENOENT)
                problems += QStringLiteral(" %1 cannot be read: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            continue;
        }
        QLibrary window(path);
        using WindowMain = int (*)(int, char **);
        const auto windowMain = reinterpret_cast<WindowMain>(window.resolve("kelvaraWindowMain"));
        if (windowMain)
            return windowMain(_argc, _argv);
        problems += QStringLiteral(" %1: %2").arg(path, window.errorString());
    }
    std::fprintf(stderr, "kelvara: the window (kelvara-window.so) cannot be loaded:%s; run with --headless\n",
                 problems.isEmpty() ? " not installed" : qPrintable(problems));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const SCommandLine commandLine = parseCommandLine(arguments);
    const int exitCode = settleCommandLine(commandLine, QProcessEnvironment::systemEnvironment());
    if (exitCode >= 0)
        return exitCode;

    if (commandLine.action == SCommandLine::eCommand) {
        QCoreApplication application(argc, argv);
        openWorkingDirectory(ERun::eCommand);
        if (commandLine.command.value(0) == QLatin1String("web"))
            return runWebCommand(commandLine.command, stdin, stdout, stderr);
        QTextStream out(stdout);
        QTextStream err(stderr);
        if (commandLine.command.value(0) == QLatin1String("history"))
            return runHistoryCommand(commandLine.command, QDateTime::currentMSecsSinceEpoch(), out, err);
        return CProvisioning(out, err).run(commandLine.command);
    }

    CInstanceLock lock(QDir::currentPath());
    qint64 holder = 0;
    if (!lock.acquire(&holder)) {
        std::fprintf(stderr, "another Kelvara is running in %s (pid %lld)\n", qPrintable(QDir::currentPath()),
                     static_cast<long long>(holder));
        return 1;
    }

    if (!commandLine.headless)
        return runWindow(argc, argv);

    QCoreApplication application(argc, argv);
    openWorkingDirectory(ERun::eHeadless);
    SGatewayConfig config;
    if (!readGatewayConfig(&config))
        return 1;
    return CHeadlessService(config).run();
}
