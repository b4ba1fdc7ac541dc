#pragma once

#include <QString>

// Times as the history's readers take and give them: ms since 1970 inside, text outside.

// "2026-12-09T13:45:00Z", "2026-12-09T14:45:00+01:00", "2026-12-09T13:45:00.250Z", or seconds
// since 1970 ("1765287900", fractions allowed); a time without a zone is UTC. False for anything else.
bool parseTimeText(const QString &_text, qint64 *_ms);
// "90s", "30m", "24h", "7d" (a whole number and its unit). False for anything else.
bool parseDurationText(const QString &_text, qint64 *_ms);
// ISO 8601 in UTC with milliseconds: "2026-12-09T13:45:00.250Z".
QString isoTimeText(qint64 _ms);
