#pragma once

#include <QSqlDatabase>
#include <QString>

// One write transaction on a connection: started with BEGIN IMMEDIATE so that a
// second writer waits on the busy time-out at the start, not halfway through;
// rolled back on destruction unless committed.
class CSqlTransaction
{
public:
    explicit CSqlTransaction(const QSqlDatabase &_db);
    ~CSqlTransaction();
    CSqlTransaction(const CSqlTransaction &) = delete;
    CSqlTransaction &operator=(const CSqlTransaction &) = delete;

    // Both write their failure to the log, naming _origin ("[CDataBaseHandler::...]").
    bool begin(const QString &_origin);
    bool commit(const QString &_origin);

private:
    bool run(const QString &_statement, const QString &_origin);

    QSqlDatabase db;
    bool open = false;
};
