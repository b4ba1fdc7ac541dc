#include "gateway/cheadlessservice.h"

#include <cstdio>

#include "app/clogfile.h"
#include "app/logpriority.h"
#include "gateway/cgatewaylifecycle.h"

CHeadlessService::CHeadlessService(const SGatewayConfig &_config, QObject *_parent)
    : QObject(_parent)
    , gateway(_config)
    , forJournal(qEnvironmentVariableIsSet("JOURNAL_STREAM"))
{
    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, &CHeadlessService::echoLogLine);
}

void CHeadlessService::echoLogLine(const QString &_line) const
{
    const QString text = forJournal ? journalLine(_line) : _line;
    std::fprintf(stderr, "%s\n", qPrintable(text));
    std::fflush(stderr);
}

int CHeadlessService::run()
{
    QString reason;
    if (!gateway.start(&reason)) {
        CLogFile::addLog(QStringLiteral("CRITICAL_ERROR: [CHeadlessService::run] Register store cannot be opened: %1. "
                                        "Kelvara stops.")
                             .arg(reason));
        return 1;
    }
    CLogFile::addLog(QStringLiteral("INFO: [CHeadlessService] Running headless, Modbus on ports %1")
                         .arg([this] {
                             QStringList ports;
                             for (uint16_t port : gateway.openPorts())
                                 ports << QString::number(port);
                             return ports.isEmpty() ? QStringLiteral("(none yet)") : ports.join(QLatin1Char(' '));
                         }()));
    gateway.connectToSavedServer();
    return CGatewayLifecycle(gateway, QStringLiteral("CHeadlessService")).exec();
}
