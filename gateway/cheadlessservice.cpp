#include "gateway/cheadlessservice.h"

#include <QCoreApplication>

#include <cstdio>

#include "app/clogfile.h"
#include "app/cunixsignals.h"
#include "app/logpriority.h"

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
    CUnixSignals signals_;
    if (!signals_.isValid())
        CLogFile::addLog(QStringLiteral("WARNING: [CHeadlessService::run] Signals cannot be caught: SIGTERM stops "
                                        "without a word"));
    QString reason;
    if (!gateway.start(&reason)) {
        CLogFile::addLog(QStringLiteral("CRITICAL_ERROR: [CHeadlessService::run] Register store cannot be opened: %1. "
                                        "Kelvara stops.")
                             .arg(reason));
        return 1;
    }
    connect(&signals_, &CUnixSignals::stopRequested, this, [](int _signal) {
        CLogFile::addLog(QStringLiteral("INFO: [CHeadlessService] Signal %1: stopping").arg(_signal));
        QCoreApplication::exit(0);
    });
    connect(&signals_, &CUnixSignals::reloadRequested, this, [this] {
        if (!gateway.reload())
            CLogFile::addLog(QStringLiteral("ERROR: [CHeadlessService] Reload failed; serving what was loaded before"));
    });
    CLogFile::addLog(QStringLiteral("INFO: [CHeadlessService] Running headless, Modbus on ports %1")
                         .arg([this] {
                             QStringList ports;
                             for (uint16_t port : gateway.openPorts())
                                 ports << QString::number(port);
                             return ports.isEmpty() ? QStringLiteral("(none yet)") : ports.join(QLatin1Char(' '));
                         }()));
    gateway.connectToSavedServer();
    const int code = QCoreApplication::exec();
    // Every uplink taken from the loop so far is decoded; those waiting for their batch are committed now.
    gateway.flushUplinks();
    CLogFile::addLog(QStringLiteral("INFO: [CHeadlessService] stopped"));
    return code;
}
