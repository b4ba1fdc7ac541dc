#include "store/cregisterwriter.h"

#include <sqlite3.h>

namespace {

// Texts as UTF-16, as Qt holds them; SQLite copies them.
int bindText(sqlite3_stmt *_statement, int _index, const QString &_text)
{
    return sqlite3_bind_text16(_statement, _index, _text.utf16(), int(_text.size() * sizeof(QChar)),
                               SQLITE_TRANSIENT);
}

// Steps a bound statement once and makes it ready for the next binding.
bool stepOnce(sqlite3_stmt *_statement, int _bound)
{
    const bool done = _bound == SQLITE_OK && sqlite3_step(_statement) == SQLITE_DONE;
    sqlite3_reset(_statement);
    sqlite3_clear_bindings(_statement);
    return done;
}

sqlite3_stmt *prepared(sqlite3 *_connection, const QString &_sql)
{
    const QByteArray sql = _sql.toUtf8();
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(_connection, sql.constData(), sql.size() + 1, &statement, nullptr) != SQLITE_OK)
        return nullptr;
    return statement;
}

} // namespace

CRegisterWriter::~CRegisterWriter()
{
    finish();
}

bool CRegisterWriter::prepare(sqlite3 *_connection, const QString &_rowSql, const QString &_countersSql,
                              QString *_error)
{
    finish();
    if (!_connection) {
        *_error = QStringLiteral("no SQLite connection");
        return false;
    }
    rowStatement = prepared(_connection, _rowSql);
    countersStatement = rowStatement ? prepared(_connection, _countersSql) : nullptr;
    if (!countersStatement) {
        *_error = QString::fromUtf8(sqlite3_errmsg(_connection));
        finish();
        return false;
    }
    connection = _connection;
    return true;
}

void CRegisterWriter::finish()
{
    sqlite3_finalize(rowStatement);
    sqlite3_finalize(countersStatement);
    rowStatement = nullptr;
    countersStatement = nullptr;
    connection = nullptr;
}

bool CRegisterWriter::write(const SStagedWrite &_write, QString *_error, int *_code)
{
    if (!connection) {
        *_error = QStringLiteral("the UPDATE is not prepared");
        *_code = 0;
        return false;
    }
    // BEGIN IMMEDIATE: a second process writing the file makes us wait at the start, not halfway.
    bool written = run("BEGIN IMMEDIATE;");
    QString where;
    if (written) {
        for (auto it = _write.counters.cbegin(); written && it != _write.counters.cend(); ++it) {
            written = writeCounters(it.key(), it.value());
            if (!written)
                where = QStringLiteral(" (counters of deviceId[%1])").arg(it.key());
        }
        for (int i = 0; written && i < _write.registers.size(); ++i) {
            written = writeRow(_write.registers.at(i));
            if (!written)
                where = QStringLiteral(" (deviceId[%1], regAddr[%2])")
                            .arg(_write.registers.at(i).deviceId)
                            .arg(_write.registers.at(i).regAddr);
        }
        written = written && run("COMMIT;");
    }
    if (written)
        return true;
    *_error = QString::fromUtf8(sqlite3_errmsg(connection)) + where;
    *_code = sqlite3_extended_errcode(connection);
    // The write is whole or not at all.
    if (!sqlite3_get_autocommit(connection))
        run("ROLLBACK;");
    if ((*_code & 0xff) == SQLITE_FULL)
        run("PRAGMA wal_checkpoint(TRUNCATE);");
    return false;
}

bool CRegisterWriter::writeRow(const SStagedRegister &_reg)
{
    int bound = bindText(rowStatement, 1, _reg.value);
    if (bound == SQLITE_OK)
        bound = _reg.fullValue.isEmpty() ? sqlite3_bind_null(rowStatement, 2) : bindText(rowStatement, 2, _reg.fullValue);
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(rowStatement, 3, _reg.timeMs);
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(rowStatement, 4, _reg.deviceId);
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(rowStatement, 5, _reg.regAddr);
    return stepOnce(rowStatement, bound);
}

bool CRegisterWriter::writeCounters(uint32_t _deviceId, const SDeviceCounters &_counters)
{
    int bound = sqlite3_bind_int64(countersStatement, 1, sqlite3_int64(_counters.uplinks));
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(countersStatement, 2, sqlite3_int64(_counters.lost));
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(countersStatement, 3, sqlite3_int64(_counters.errors));
    if (bound == SQLITE_OK)
        bound = _counters.hasFcnt ? sqlite3_bind_int64(countersStatement, 4, _counters.lastFcnt)
                                  : sqlite3_bind_null(countersStatement, 4);
    if (bound == SQLITE_OK)
        bound = _counters.lastUplinkMs >= 0 ? sqlite3_bind_int64(countersStatement, 5, _counters.lastUplinkMs)
                                            : sqlite3_bind_null(countersStatement, 5);
    if (bound == SQLITE_OK)
        bound = sqlite3_bind_int64(countersStatement, 6, _deviceId);
    return stepOnce(countersStatement, bound);
}

bool CRegisterWriter::run(const char *_sql)
{
    return sqlite3_exec(connection, _sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}
