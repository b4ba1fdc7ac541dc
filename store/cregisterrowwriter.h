#pragma once

#include <QSqlDatabase>
#include <QString>

struct sqlite3;
struct sqlite3_stmt;

// Writes one register row's value, full value and time through SQLite's own prepared
// statement on the store's connection. An uplink writes a row per register, thousands
// a second: Qt's query layer costs several times what SQLite does per row.
class CRegisterRowWriter
{
public:
    CRegisterRowWriter() = default;
    ~CRegisterRowWriter();
    CRegisterRowWriter(const CRegisterRowWriter &) = delete;
    CRegisterRowWriter &operator=(const CRegisterRowWriter &) = delete;

    // Prepares the UPDATE on _db's connection; false with SQLite's text in *_error.
    bool prepare(const QSqlDatabase &_db, const QString &_sql, QString *_error);
    // Drops the statement, so the connection can close.
    void finish();

    // An empty _fullValue is written as NULL. False with SQLite's text and extended code.
    bool write(const QString &_value, const QString &_fullValue, qint64 _timeMs, uint32_t _deviceId, qint64 _regAddr,
               QString *_error, QString *_code);

private:
    sqlite3 *connection = nullptr;
    sqlite3_stmt *statement = nullptr;
};
