#pragma once

#include <QString>

#include <functional>

#include "app/cclock.h"

class CLogSink;

// Lets one noisy source write at most one log line per interval. Lines in between are
// only counted; the count follows the next line that is written.
class CLogThrottle
{
public:
    // The line that reports how many lines were left out.
    using LeftOutLine = std::function<QString(int _count)>;

    // Lines go to _log (nowhere when none); the interval is measured on _clock.
    CLogThrottle(qint64 _intervalMs, CClock *_clock, CLogSink *_log, LeftOutLine _leftOutLine);

    void addLog(const QString &_line);

private:
    qint64 intervalMs;
    CClock *clock;
    CLogSink *log;
    LeftOutLine leftOutLine;
    bool anyWritten = false;
    qint64 lastWritten = 0;
    int leftOut = 0;
};
