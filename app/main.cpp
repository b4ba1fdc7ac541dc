#include <clocale>

#include <QApplication>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "modbus/modbuslimits.h"
#include "ui/cgatewaystartup.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

int main(int argc, char *argv[])
{
    setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    application.setStyleSheet(loadThemeStyleSheet());
    fillGlobalTables();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile::getInstance(QStringLiteral("history.log"));
    raiseOpenFileLimit();

    CGatewayStartup startup;
    if (!startup.start())
        return 1;
    startup.window()->show();
    return application.exec();
}
