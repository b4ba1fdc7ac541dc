#include "modbus/clogthrottle.h"

#include <utility>

#include "app/clogfile.h"

CLogThrottle::CLogThrottle(qint64 _intervalMs, MODBUS::Clock _clock, LeftOutLine _leftOutLine)
    : intervalMs(_intervalMs)
    , clock(std::move(_clock))
    , leftOutLine(std::move(_leftOutLine))
{ }

void CLogThrottle::addLog(const QString &_line)
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
