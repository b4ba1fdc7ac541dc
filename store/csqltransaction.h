#pragma once

#include <QSqlDatabase>
#include <QString>

class CLogSink;

// One write transaction on a connection: started with BEGIN IMMEDIATE so that a
// second writer waits on the busy time-out at the start, not halfway through;
// rolled back on destruction unless committed.
class CSqlTransaction
{
public:
    // Failures go to _log; without one the caller reports errorText() its own way.
    CSqlTransaction(const QSqlDatabase &_db, CLogSink *_log);
    ~CSqlTransaction();
    CSqlTransaction(const CSqlTransaction &) = delete;
    CSqlTransaction &operator=(const CSqlTransaction &) = delete;

    // Both write their failure to the log, naming _origin ("[CDataBaseHandler::...]").
    bool begin(const QString &_origin);
    bool commit(const QString &_origin);
    // SQLite's text and code of the last failure.
    QString errorText() const { return lastErrorText; }
    QString errorCode() const { return lastErrorCode; }

private:
    bool run(const QString &_statement, const QString &_origin);

    QSqlDatabase db;
    CLogSink *log;
    bool open = false;
    QString lastErrorText;
    QString lastErrorCode;
};
