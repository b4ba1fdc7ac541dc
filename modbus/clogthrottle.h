#pragma once

#include <QString>

#include <functional>

#include "modbus/modbuslimits.h"

// Lets one noisy source write at most one log line per interval. Lines in between are
// only counted; the count follows the next line that is written.
class CLogThrottle
{
public:
    // The line that reports how many lines were left out.
    using LeftOutLine = std::function<QString(int _count)>;

    CLogThrottle(qint64 _intervalMs, MODBUS::Clock _clock, LeftOutLine _leftOutLine);

    void addLog(const QString &_line);

private:
    qint64 intervalMs;
    MODBUS::Clock clock;
    LeftOutLine leftOutLine;
    bool anyWritten = false;
    qint64 lastWritten = 0;
    int leftOut = 0;
};
