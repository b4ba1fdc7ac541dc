#include "modbus/modbuslimits.h"

#include <QString>
#include <QVariant>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <limits>
#include <sys/resource.h>

#include "app/clogfile.h"
#include <QSettings>

namespace {

const QString KEY_IDLE_TIMEOUT = QStringLiteral("modbus/idle_timeout");
const QString KEY_MAX_CONNECTIONS = QStringLiteral("modbus/max_connections");

// The key's whole number when it lies in [_minimum, _maximum], otherwise _default.
int readNumber(const QSettings &_settings, const QString &_key, int _minimum, int _maximum, int _default)
{
    const QVariant value = _settings.value(_key);
    if (!value.isValid())
        return _default;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    if (ok && number >= _minimum && number <= _maximum)
        return number;
    CLogFile::addLog(QStringLiteral("WARNING: [readModbusLimits] Invalid value [%1] of [%2]; [%3] is used")
                         .arg(value.toString(), _key)
                         .arg(_default));
    return _default;
}

} // namespace

SModbusLimits readModbusLimits(const QSettings &_settings)
{
    SModbusLimits limits;
    const int maxSeconds = std::numeric_limits<int>::max() / 1000;
    limits.idleTimeoutMs = 1000 * readNumber(_settings, KEY_IDLE_TIMEOUT, 0, maxSeconds, limits.idleTimeoutMs / 1000);
    limits.maxConnections = readNumber(_settings, KEY_MAX_CONNECTIONS, 1, std::numeric_limits<int>::max(), limits.maxConnections);
    return limits;
}

bool raiseOpenFileLimit()
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        CLogFile::addLog(QStringLiteral("WARNING: [raiseOpenFileLimit] Open files limit is not read! Error_text[%1]")
                             .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max)
        return true;
    const rlim_t previous = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        CLogFile::addLog(QStringLiteral("WARNING: [raiseOpenFileLimit] Open files limit stays [%1]! Error_text[%2]")
                             .arg(previous)
                             .arg(QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    CLogFile::addLog(
        QStringLiteral("INFO: [raiseOpenFileLimit] Open files limit raised from [%1] to [%2]")
            .arg(previous)
            .arg(limit.rlim_max == RLIM_INFINITY ? QStringLiteral("unlimited") : QString::number(limit.rlim_max)));
    return true;
}

namespace MODBUS {

Clock steadyClock()
{
    return [] {
        return qint64(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count());
    };
}

} // namespace MODBUS
