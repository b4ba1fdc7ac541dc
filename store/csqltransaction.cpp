#include "store/csqltransaction.h"

#include <QSqlError>
#include <QSqlQuery>

#include "app/logsink.h"

CSqlTransaction::CSqlTransaction(const QSqlDatabase &_db, CLogSink *_log)
    : db(_db)
    , log(_log)
{
}

CSqlTransaction::~CSqlTransaction()
{
    if (open)
        run(QStringLiteral("ROLLBACK;"), QStringLiteral("[CSqlTransaction]"));
}

bool CSqlTransaction::begin(const QString &_origin)
{
    open = run(QStringLiteral("BEGIN IMMEDIATE;"), _origin);
    return open;
}

bool CSqlTransaction::commit(const QString &_origin)
{
    if (!open || !run(QStringLiteral("COMMIT;"), _origin))
        return false;
    open = false;
    return true;
}

bool CSqlTransaction::run(const QString &_statement, const QString &_origin)
{
    QSqlQuery query(db);
    if (query.exec(_statement))
        return true;
    lastErrorText = query.lastError().databaseText();
    lastErrorCode = query.lastError().nativeErrorCode();
    if (log)
        log->addLine(QStringLiteral("ERROR: %1 Transaction failed [%2] Error_text[%3]")
                         .arg(_origin, _statement, query.lastError().text()));
    return false;
}
