#pragma once

#include <QDebug>
#include <QSqlError>
#include <QString>
#include <QStringList>

#include "app/globaltables.h"
#include "app/logsink.h"
#include "store/storecolumns.h"

// The small text helpers every SQL statement of the store is built with.
namespace StoreSql {

inline QString deviceColumn(int _column) { return devicesColumns.at(_column); }
inline QString registerColumn(int _column) { return devDataColumns.at(_column); }
inline QString addedColumn(int _column)
{
    return QString::fromLatin1(DEVICE_ADDED_COLUMNS[_column - DEV_COL_UNIT_ID].name);
}
inline QString writableColumn() { return QString::fromLatin1(DEVICE_WRITABLE_COLUMN); }
inline QString param(const QString &_column) { return QStringLiteral(":") + _column; }

// Fills %1, %2, ... in order, each in all its occurrences.
inline QString sqlText(QString _format, const QStringList &_names)
{
    for (const QString &name : _names)
        _format = _format.arg(name);
    return _format;
}

// SQLite's own words for the failure, without the driver's "Unable to execute statement".
inline QString sqliteText(const QSqlError &_error)
{
    return _error.databaseText().isEmpty() ? _error.text() : _error.databaseText();
}

// An empty text is stored as '', not NULL.
inline QString textOrEmpty(const QString &_text) { return _text.isNull() ? QStringLiteral("") : _text; }

// Why the store refuses its file goes to the debug output as well: a tool run on a bad file shows it there.
inline void logBoth(CLogSink *_log, const QString &_message)
{
    qDebug().noquote() << _message;
    _log->addLine(_message);
}

} // namespace StoreSql
