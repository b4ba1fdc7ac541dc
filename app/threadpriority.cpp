#include "app/threadpriority.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ThreadPriority {

namespace {

QString errnoText(int _error)
{
    return QString::fromLocal8Bit(std::strerror(_error));
}

} // namespace

bool raiseThisThread(int _nice, QString *_why)
{
    // PRIO_PROCESS with a thread id sets that thread alone.
    if (setpriority(PRIO_PROCESS, id_t(gettid()), _nice) == 0)
        return true;
    const int error = errno;
    rlimit limit {};
    const QString now = getrlimit(RLIMIT_NICE, &limit) == 0 ? QString::number(qulonglong(limit.rlim_cur))
                                                             : QStringLiteral("unknown");
    *_why = QStringLiteral("%1 (nice %2 needs CAP_SYS_NICE or a nice limit, RLIMIT_NICE or systemd's LimitNICE=, "
                           "of at least %3; it is %4)")
                .arg(errnoText(error))
                .arg(_nice)
                .arg(20 - _nice)
                .arg(now);
    return false;
}

bool batchThisThread(QString *_why)
{
    sched_param param {};
    param.sched_priority = 0;
    if (sched_setscheduler(0, SCHED_BATCH, &param) == 0)
        return true;
    *_why = errnoText(errno);
    return false;
}

} // namespace ThreadPriority
