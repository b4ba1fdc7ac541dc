#include "gateway/cgatewaylifecycle.h"

#include <QCoreApplication>

#include "app/clogfile.h"
#include "app/cunixsignals.h"
#include "gateway/cgateway.h"

CGatewayLifecycle::CGatewayLifecycle(CGateway &_gateway, const QString &_origin, QObject *_parent)
    : QObject(_parent)
    , gateway(_gateway)
    , origin(_origin)
{
}

int CGatewayLifecycle::exec()
{
    CUnixSignals signals_;
    if (!signals_.isValid())
        CLogFile::addLog(QStringLiteral("WARNING: [%1] Signals cannot be caught: SIGTERM stops without a word")
                             .arg(origin));
    connect(&signals_, &CUnixSignals::stopRequested, this, [this](int _signal) {
        CLogFile::addLog(QStringLiteral("INFO: [%1] Signal %2: stopping").arg(origin).arg(_signal));
        QCoreApplication::exit(0);
    });
    connect(&signals_, &CUnixSignals::reloadRequested, this, [this] {
        if (!gateway.reload())
            CLogFile::addLog(QStringLiteral("ERROR: [%1] Reload failed; serving what was loaded before").arg(origin));
    });
    const int code = QCoreApplication::exec();
    // Every uplink taken from the loop so far is decoded; those waiting for their batch are committed now.
    gateway.flushUplinks();
    CLogFile::addLog(QStringLiteral("INFO: [%1] stopped").arg(origin));
    return code;
}
