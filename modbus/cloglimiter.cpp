#include "modbus/cloglimiter.h"

#include <utility>

#include "app/clogfile.h"

CLogLimiter::CLogLimiter(qint64 _intervalMs, MODBUS::Clock _clock, LeftOutLine _leftOutLine)
    : intervalMs(_intervalMs)
    , clock(std::move(_clock))
    , leftOutLine(std::move(_leftOutLine))
{ }

void CLogLimiter::addLog(const QString &_line)
{
    const qint64 now = clock();
    if (anyWritten && now - lastWritten < intervalMs) {
        ++leftOut;
        return;
    }
    anyWritten = true;
    lastWritten = now;
    CLogFile::addLog(_line);
    if (leftOut > 0) {
        CLogFile::addLog(leftOutLine(leftOut));
        leftOut = 0;
    }
}
