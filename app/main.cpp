#include <clocale>

#include <QApplication>
#include <QMainWindow>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "ui/theme.h"

int main(int argc, char *argv[])
{
    setlocale(LC_ALL, "");
    QApplication application(argc, argv);
    application.setStyleSheet(loadThemeStyleSheet());
    fillGlobalTables();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile::getInstance(QStringLiteral("history.log"));

    QMainWindow window;
    window.setWindowTitle(QStringLiteral("%1").arg(APPLICATION_NAME));
    window.setWindowIcon(QIcon(QStringLiteral(":/korv-a_logo5_gradient.png")));
    window.setGeometry(10, 30, 1000, 640);
    window.show();
    return application.exec();
}
