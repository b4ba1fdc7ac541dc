#pragma once

#include <QStringList>
#include <QTextStream>

#include "store/chistoryreader.h"

// The rows as "kelvara history" writes them: CSV (time,value_name,value,unit) or a JSON array.
QString historyText(const QVector<SHistorySample> &_samples, bool _json);

// "kelvara history --dev-eui EUI [--value NAME] [--since 24h | --from T1 --to T2]
// [--format csv|json] [FILE]" on the working directory's history.db, which it only reads:
// a gateway running there goes on writing. _nowMs is the time --since counts back from.
// The exit code: 0 written, 1 refused, 2 usage.
int runHistoryCommand(const QStringList &_command, qint64 _nowMs, QTextStream &_out, QTextStream &_err);
