#pragma once

#include <QString>

// How long and how much of the decoded values is kept: the [history] group of settings.conf,
// read by the gateway (gateway/settingsfile) and handed to the store.
struct SHistorySettings
{
    // Days of values kept; 0 keeps none and writes no history.db.
    int keepDays = 7;
    // The file's size, beyond which the oldest values go first.
    int maxMb = 1024;

    bool enabled() const { return keepDays > 0; }
};
