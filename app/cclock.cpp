#include "app/cclock.h"

CClock *CClock::system()
{
    static CSystemClock *instance = new CSystemClock();
    return instance;
}

CClockTimer::CClockTimer(CClock *_clock, QObject *_parent)
    : QObject(_parent)
    , clock(_clock)
{
    timer.setSingleShot(true);
    connect(&timer, &QTimer::timeout, this, &CClockTimer::timeout);
    if (clock->isManual())
        connect(clock, &CClock::advanced, this, &CClockTimer::checkDue);
}

void CClockTimer::start(int _ms)
{
    if (clock->isManual())
        dueMs = clock->nowMs() + _ms;
    else
        timer.start(_ms);
}

void CClockTimer::stop()
{
    dueMs = -1;
    timer.stop();
}

bool CClockTimer::isActive() const
{
    return clock->isManual() ? dueMs >= 0 : timer.isActive();
}

void CClockTimer::checkDue()
{
    if (dueMs < 0 || clock->nowMs() < dueMs)
        return;
    dueMs = -1;
    emit timeout();
}
