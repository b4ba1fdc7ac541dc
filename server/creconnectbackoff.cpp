#include "server/creconnectbackoff.h"

#include <algorithm>

int CReconnectBackoff::nextDelayMs()
{
    const int current = delayMs;
    delayMs = std::min(delayMs * 2, MAX_DELAY_MS);
    return current;
}

void CReconnectBackoff::reset()
{
    delayMs = FIRST_DELAY_MS;
}
