#pragma once

// Delays between attempts to restore a lost connection: 1 s, doubling up to
// 60 s, so a server that is down for long is not hammered.
class CReconnectBackoff
{
public:
    static constexpr int FIRST_DELAY_MS = 1000;
    static constexpr int MAX_DELAY_MS = 60000;

    // Tests start from a shorter first delay so a reconnection costs them no seconds.
    explicit CReconnectBackoff(int _firstDelayMs = FIRST_DELAY_MS);

    // The delay before the next attempt; each call doubles the one after.
    int nextDelayMs();
    void reset();

private:
    int firstDelayMs;
    int delayMs;
};
