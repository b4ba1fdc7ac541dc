#pragma once

#include <QHash>
#include <QList>
#include <QString>

#include "store/storerecords.h"

struct sqlite3;
struct sqlite3_stmt;

// A register value decoded but not yet in the file.
struct SStagedRegister
{
    uint32_t deviceId;
    qint64 regAddr;
    QString value;
    QString fullValue;
    uint16_t word;
    qint64 timeMs;
};

// What one write puts into the file: register rows and device counters.
struct SStagedWrite
{
    QList<SStagedRegister> registers;
    QHash<uint32_t, SDeviceCounters> counters;
};

// Writes register rows and device counters in one transaction through SQLite's own
// prepared statements. An uplink writes a row per register, thousands a second: Qt's
// query layer costs several times what SQLite does per row. Not thread-aware: the
// store calls it with the connection to itself.
class CRegisterWriter
{
public:
    CRegisterWriter() = default;
    ~CRegisterWriter();
    CRegisterWriter(const CRegisterWriter &) = delete;
    CRegisterWriter &operator=(const CRegisterWriter &) = delete;

    // Prepares both UPDATEs on _connection: _rowSql binds value, full value, time, device,
    // address; _countersSql uplinks, lost, errors, last frame counter, last uplink, device.
    // False with SQLite's text in *_error.
    bool prepare(sqlite3 *_connection, const QString &_rowSql, const QString &_countersSql, QString *_error);
    // Drops the statements, so the connection can close.
    void finish();

    // All of _write or nothing. False with SQLite's text and extended result code; after a
    // full disk the write-ahead log is also emptied, so that the room an operator frees lets
    // saving resume.
    bool write(const SStagedWrite &_write, QString *_error, int *_code);

private:
    bool writeRow(const SStagedRegister &_reg);
    bool writeCounters(uint32_t _deviceId, const SDeviceCounters &_counters);
    bool run(const char *_sql);

    sqlite3 *connection = nullptr;
    sqlite3_stmt *rowStatement = nullptr;
    sqlite3_stmt *countersStatement = nullptr;
};
