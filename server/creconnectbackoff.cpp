#include "server/creconnectbackoff.h"

#include <algorithm>

CReconnectBackoff::CReconnectBackoff(int _firstDelayMs)
    : firstDelayMs(std::clamp(_firstDelayMs, 1, MAX_DELAY_MS))
    , delayMs(firstDelayMs)
{
}

int CReconnectBackoff::nextDelayMs()
{
    const int current = delayMs;
    delayMs = std::min(delayMs * 2, MAX_DELAY_MS);
    return current;
}

void CReconnectBackoff::reset()
{
    delayMs = firstDelayMs;
}
