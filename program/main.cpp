#include <clocale>

#include <QApplication>

#include "app/clogfile.h"
#include "app/commandline.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "ui/cgatewaystartup.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

int main(int argc, char *argv[])
{
    setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const int exitCode = settleCommandLine(parseCommandLine(arguments), QProcessEnvironment::systemEnvironment());
    if (exitCode >= 0)
        return exitCode;
    QApplication application(argc, argv);
    application.setStyleSheet(loadThemeStyleSheet());
    fillGlobalTables();
    loadThemeIcons();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile::getInstance(QStringLiteral("history.log"));

    SGatewayConfig config;
    config.workDir = QStringLiteral(".");
    CGatewayStartup startup(config);
    if (!startup.start())
        return 1;
    startup.window()->show();
    return application.exec();
}
