// The window, built as a module of its own: `kelvara --headless` and the commands never load
// Qt's GUI libraries, only the window does.

#include <QApplication>

#include "gateway/cgatewaylifecycle.h"
#include "gateway/startupconfig.h"
#include "ui/cgatewaystartup.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

extern "C" Q_DECL_EXPORT int kelvaraWindowMain(int _argc, char **_argv)
{
    QApplication application(_argc, _argv);
    application.setStyleSheet(loadThemeStyleSheet());
    loadThemeIcons();
    openWorkingDirectory(ERun::eWindow);
    SGatewayConfig config;
    if (!readGatewayConfig(&config))
        return 1;
    CGatewayStartup startup(config);
    if (!startup.start())
        return 1;
    startup.window()->show();
    return CGatewayLifecycle(*startup.gateway(), QStringLiteral("MainWindow")).exec();
}
