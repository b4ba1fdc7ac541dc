#pragma once

#include <QString>

// The syslog priority of a log line, from the level word it carries: 3 for errors,
// 4 for warnings, 6 for everything else.
int logPriority(const QString &_line);

// The line as journald reads it from a service's stderr: "<priority>line".
QString journalLine(const QString &_line);
