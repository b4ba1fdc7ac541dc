#include "ui/cgatewaystartup.h"

#include <cstdio>

#include "app/clogfile.h"
#include "store/storecolumns.h"
#include "ui/cusernotice.h"
#include "ui/mainwindow.h"

namespace {

void reportStoreFailure(const QString &_reason)
{
    const QString message = QStringLiteral("CRITICAL_ERROR: [CGatewayStartup::start] Register store \"%1\" cannot be "
                                           "opened: %2. Kelvara stops.")
                                .arg(DB_FILE_NAME, _reason);
    CLogFile::addLog(message);
    std::fprintf(stderr, "%s\n", qPrintable(message));
    CUserNotice::notify(nullptr, QMessageBox::Critical,
                        QObject::tr("The register store \"%1\" cannot be opened.").arg(DB_FILE_NAME), _reason);
}

} // namespace

CGatewayStartup::CGatewayStartup(const SGatewayConfig &_config)
    : core(std::make_unique<CGateway>(_config))
{
}

CGatewayStartup::~CGatewayStartup()
{
    // The window goes before the gateway it is a client of.
    mainWindow.reset();
    core.reset();
}

bool CGatewayStartup::start()
{
    QString reason;
    if (!core->start(&reason)) {
        reportStoreFailure(reason);
        return false;
    }
    mainWindow = std::make_unique<MainWindow>(core.get());
    return true;
}
