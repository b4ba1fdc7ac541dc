#include "modbus/modbuslimits.h"

#include <QString>

#include <cerrno>
#include <cstring>
#include <limits>
#include <sys/resource.h>

#include "app/logsink.h"

bool raiseOpenFileLimit(CLogSink *_log)
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        _log->addLine(QStringLiteral("WARNING: [raiseOpenFileLimit] Open files limit is not read! Error_text[%1]")
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    const rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        _log->addLine(QStringLiteral("WARNING: [raiseOpenFileLimit] Open files limit stays [%1]! Error_text[%2]")
                          .arg(previous)
                          .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    _log->addLine(
        QStringLiteral("INFO: [raiseOpenFileLimit] Open files limit raised from [%1] to [%2]")
            .arg(previous)
            .arg(limit.rlim_max == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(limit.rlim_max)));
    return true;
}
