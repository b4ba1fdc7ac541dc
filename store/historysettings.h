#pragma once

#include <QString>

class QSettings;

// The [history] group of settings.conf: how long and how much of the decoded values is kept.
struct SHistorySettings
{
    // Days of values kept; 0 keeps none and writes no history.db.
    int keepDays = 7;
    // The file's size, beyond which the oldest values go first.
    int maxMb = 1024;

    bool enabled() const { return keepDays > 0; }
};

// Reads and checks [history]; false with a message naming the key when a value cannot be used.
bool readHistorySettings(const QSettings &_settings, SHistorySettings *_history, QString *_error);
