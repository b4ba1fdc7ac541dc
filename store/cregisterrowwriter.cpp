#include "store/cregisterrowwriter.h"

#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

CRegisterRowWriter::~CRegisterRowWriter()
{
    finish();
}

bool CRegisterRowWriter::prepare(const QSqlDatabase &_db, const QString &_sql, QString *_error)
{
    finish();
    const QVariant handle = _db.driver() ? _db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        *_error = QStringLiteral("no SQLite connection");
        return false;
    }
    connection = *static_cast<sqlite3 *const *>(handle.constData());
    const QByteArray sql = _sql.toUtf8();
    if (!connection || sqlite3_prepare_v2(connection, sql.constData(), sql.size() + 1, &statement, nullptr) != SQLITE_OK) {
        *_error = connection ? QString::fromUtf8(sqlite3_errmsg(connection)) : QStringLiteral("no SQLite connection");
        statement = nullptr;
        return false;
    }
    return true;
}

void CRegisterRowWriter::finish()
{
    if (statement)
        sqlite3_finalize(statement);
    statement = nullptr;
    connection = nullptr;
}

bool CRegisterRowWriter::write(const QString &_value, const QString &_fullValue, qint64 _timeMs, uint32_t _deviceId,
                               qint64 _regAddr, QString *_error, QString *_code)
{
    if (!statement) {
        *_error = QStringLiteral("the UPDATE is not prepared");
        *_code = QString();
        return false;
    }
    // Texts as UTF-16, as Qt holds them: no conversion; SQLite copies them.
    const auto bindText = [this](int _index, const QString &_text) {
        return sqlite3_bind_text16(statement, _index, _text.utf16(), int(_text.size() * sizeof(QChar)),
                                   SQLITE_TRANSIENT);
    };
    int result = bindText(1, _value);
    if (result == SQLITE_OK)
        result = _fullValue.isEmpty() ? sqlite3_bind_null(statement, 2) : bindText(2, _fullValue);
    if (result == SQLITE_OK)
        result = sqlite3_bind_int64(statement, 3, _timeMs);
    if (result == SQLITE_OK)
        result = sqlite3_bind_int64(statement, 4, _deviceId);
    if (result == SQLITE_OK)
        result = sqlite3_bind_int64(statement, 5, _regAddr);
    if (result == SQLITE_OK)
        result = sqlite3_step(statement) == SQLITE_DONE ? SQLITE_OK : sqlite3_extended_errcode(connection);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    if (result == SQLITE_OK)
        return true;
    *_error = QString::fromUtf8(sqlite3_errmsg(connection));
    *_code = QString::number(result);
    return false;
}
