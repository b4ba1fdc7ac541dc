#include "modbus/clogthrottle.h"

#include <utility>

#include "app/logsink.h"

CLogThrottle::CLogThrottle(qint64 _intervalMs, CClock *_clock, CLogSink *_log, LeftOutLine _leftOutLine)
    : intervalMs(_intervalMs)
    , clock(_clock)
    , log(_log ? _log : CLogSink::discard())
    , leftOutLine(std::move(_leftOutLine))
{ }

void CLogThrottle::addLog(const QString &_line)
{
    const qint64 now = clock->nowMs();
    if (anyWritten && now - lastWritten < intervalMs) {
        ++leftOut;
        return;
    }
    anyWritten = true;
    lastWritten = now;
    log->addLine(_line);
    if (leftOut > 0) {
        log->addLine(leftOutLine(leftOut));
        leftOut = 0;
    }
}
