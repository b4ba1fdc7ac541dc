#include "ui/cgatewaystartup.h"

#include <QStringList>
#include <QThread>

#include <cstdio>

#include "app/clogfile.h"
#include "app/constants.h"
#include "devices/calldevicehandler.h"
#include "server/cserverhandler.h"
#include "store/cdatabasehandler.h"
#include "ui/caddnewdeviceform.h"
#include "ui/ceditdeviceform.h"
#include "ui/cusernotice.h"
#include "ui/mainwindow.h"

namespace {

// Opens the store, keeping what it reports meanwhile: the reason, should it fail.
CDataBaseHandler *openStore(QStringList &_reports)
{
    const QMetaObject::Connection listening = QObject::connect(
        CLogFile::getInstance(QString()), &CLogFile::addLogSignal, [&_reports](QString _line) { _reports << _line; });
    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    QObject::disconnect(listening);
    return store;
}

void reportStoreFailure(const QStringList &_reports)
{
    const QString reason = _reports.isEmpty() ? QStringLiteral("unknown error") : _reports.join(QLatin1Char('\n'));
    const QString message = QStringLiteral("CRITICAL_ERROR: [CGatewayStartup::start] Register store \"%1\" cannot be "
                                           "opened: %2. Kelvara stops.")
                                .arg(DB_FILE_NAME, reason);
    CLogFile::addLog(message);
    std::fprintf(stderr, "%s\n", qPrintable(message));
    CUserNotice::notify(nullptr, QMessageBox::Critical,
                        QObject::tr("The register store \"%1\" cannot be opened.").arg(DB_FILE_NAME), reason);
}

} // namespace

CGatewayStartup::CGatewayStartup() = default;

CGatewayStartup::~CGatewayStartup()
{
    mainWindow.reset();
    if (storeThread) {
        storeThread->quit();
        storeThread->wait();
        delete storeThread;
    }
}

bool CGatewayStartup::start()
{
    CServerHandler *server = CServerHandler::getInstance();

    QStringList reports;
    CDataBaseHandler *store = openStore(reports);
    if (!store) {
        reportStoreFailure(reports);
        return false;
    }
    storeThread = new QThread();
    store->moveToThread(storeThread);
    storeThread->start(QThread::InheritPriority);

    CAllDeviceHandler *registry = CAllDeviceHandler::getInstance();
    QObject::connect(server, &CServerHandler::newPacketReceived, registry, &CAllDeviceHandler::newPacketReceivedSlot,
                     Qt::QueuedConnection);
    QObject::connect(server, &CServerHandler::getDevicesListResp, CAddNewDeviceForm::getInstance(),
                     &CAddNewDeviceForm::getDevicesListRespSlot, Qt::QueuedConnection);
    CEditDeviceForm::getInstance();

    mainWindow.reset(new MainWindow());
    return true;
}
