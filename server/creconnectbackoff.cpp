#include "server/creconnectbackoff.h"

#include <algorithm>

int CReconnectBackoff::nextDelayMs()
{
    const int current = delayMs;
    delayMs = std::min(delayMs * 2, maxDelayMs);
    return current;
}

void CReconnectBackoff::reset()
{
    delayMs = firstDelayMs;
}
