#include "store/cstoreschema.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QVariant>

#include <algorithm>

#include "app/logsink.h"
#include "store/storecolumns.h"
#include "store/storesql.h"

using namespace StoreSql;

namespace {

// Enough to tell what is damaged; the whole list of a badly damaged file helps nobody.
const int INTEGRITY_PROBLEMS_SHOWN = 5;

// One of the columns added to the tables of earlier versions' files at open, after the original ones.
bool isAddedColumn(const QString &_column)
{
    if (_column == writableColumn())
        return true;
    for (const SAddedColumn &column : DEVICE_ADDED_COLUMNS) {
        if (_column == QLatin1String(column.name))
            return true;
    }
    return false;
}

} // namespace

CStoreSchema::CStoreSchema(const QSqlDatabase &_db, const QString &_fileName, CLogSink *_log)
    : db(_db)
    , fileName(_fileName)
    , log(_log)
{
}

bool CStoreSchema::checkWritable(const QString &_fileName, QString *_reason)
{
    const QFileInfo file(_fileName);
    QTemporaryFile probe(file.absolutePath() + QStringLiteral("/.server-db-probe-XXXXXX"));
    if (!probe.open()) {
        *_reason = QStringLiteral("CRITICAL_ERROR! Folder \"%1\" of the data base cannot be written: %2.")
                       .arg(file.absolutePath(), probe.errorString());
        return false;
    }
    QFile existing(_fileName);
    if (file.isFile() && !existing.open(QIODevice::ReadWrite)) {
        *_reason = QStringLiteral("CRITICAL_ERROR! Data base \"%1\" cannot be written: %2.")
                       .arg(file.absoluteFilePath(), existing.errorString());
        return false;
    }
    return true;
}

bool CStoreSchema::createTables()
{
    if (!createTable(DB_TABLE_DEVICES, devicesColumns, DEV_COLUMN_COUNT,
                     QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                                    "UNIQUE, %3 TEXT, %4 TEXT, %5 TEXT, %6 INTEGER, %7 INTEGER ); ")))
        return false;
    if (!addDeviceColumns())
        return false;
    if (!createTable(DB_TABLE_DEV_DATA, devDataColumns, REG_COLUMN_COUNT,
                     QStringLiteral("CREATE TABLE IF NOT EXISTS %1 ( %2 INTEGER NOT NULL, %3 INTEGER, %4 INTEGER, "
                                    "%5 INTEGER, %6 INTEGER, %7 INTEGER, %8 TEXT, %9 TEXT DEFAULT NULL, %10 TEXT "
                                    "DEFAULT NULL, %11 INTEGER DEFAULT NULL, %12 TEXT DEFAULT NULL, %13 TEXT DEFAULT "
                                    "NULL, %14 INTEGER, %15 INTEGER ); ")))
        return false;
    if (!addWritableColumn()) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Column \"%1\" is not added! Error_text[%2]. DataBaseHandler is not "
                               "running!")
                    .arg(writableColumn(), db.lastError().text()));
        return false;
    }
    // Modbus reads select by (port, reg_addr), uplinks and edits write by (device, reg_addr).
    // Adding a device looks its DevEUI up in any letter case: without an index, importing
    // thousands of devices reads the whole table for each.
    const QString pair = QStringLiteral("%1, %2");
    if (!createIndex(QStringLiteral("dev_data_port_reg_addr"), DB_TABLE_DEV_DATA,
                     pair.arg(registerColumn(REG_COL_PORT), registerColumn(REG_COL_REG_ADDR)))
        || !createIndex(QStringLiteral("dev_data_device_reg_addr"), DB_TABLE_DEV_DATA,
                        pair.arg(registerColumn(REG_COL_DEVICE), registerColumn(REG_COL_REG_ADDR)))
        || !createIndex(QStringLiteral("devices_dev_eui"), DB_TABLE_DEVICES,
                        deviceColumn(DEV_COL_DEV_EUI) + QStringLiteral(" COLLATE NOCASE")))
        return false;
    useWriteAheadLog();
    return true;
}

bool CStoreSchema::checkIntact()
{
    // The quick check reads every page (not the indexes' agreement with their tables),
    // so a damaged page or a file that is no database at all shows here, before any write.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA quick_check(%1);").arg(INTEGRITY_PROBLEMS_SHOWN))) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" cannot be checked! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, sqliteText(query.lastError())));
        return false;
    }
    QStringList problems;
    while (query.next())
        problems << query.value(0).toString().simplified();
    if (query.lastError().isValid())
        problems << sqliteText(query.lastError());
    if (problems == QStringList(QStringLiteral("ok")))
        return true;
    logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is damaged! Error_text[%2]. "
                           "DataBaseHandler is not running!")
                .arg(fileName, problems.join(QStringLiteral("; "))));
    return false;
}

bool CStoreSchema::checkSchema()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%';"))) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, sqliteText(query.lastError())));
        return false;
    }
    QStringList tables;
    while (query.next())
        tables << query.value(0).toString();
    const auto has = [&tables](const QString &_table) { return tables.contains(_table, Qt::CaseInsensitive); };
    if (!tables.isEmpty() && !has(DB_TABLE_DEVICES) && !has(DB_TABLE_DEV_DATA)) {
        logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" belongs to another program: it has the tables "
                               "[%2] and none of ours. It is left unchanged. DataBaseHandler is not running!")
                    .arg(fileName, tables.join(QStringLiteral(", "))));
        return false;
    }
    // Rows are read by column position: a table of ours with other columns would be misread.
    const QList<QPair<QString, QStringList>> ours
        = {{DB_TABLE_DEVICES, devicesColumns}, {DB_TABLE_DEV_DATA, devDataColumns}};
    for (const auto &table : ours) {
        if (!has(table.first))
            continue;
        QSqlQuery columns(db);
        if (!columns.exec(QStringLiteral("PRAGMA table_info(%1);").arg(table.first))) {
            logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
                                   "DataBaseHandler is not running!")
                        .arg(fileName, sqliteText(columns.lastError())));
            return false;
        }
        QStringList found;
        while (columns.next())
            found << columns.value(1).toString().toLower();
        // Our columns first, then only those later versions add at open.
        const QStringList added = found.mid(table.second.size());
        const bool ourColumns = found.mid(0, table.second.size()) == table.second
            && std::all_of(added.cbegin(), added.cend(),
                           [](const QString &_column) { return isAddedColumn(_column); });
        if (!ourColumns) {
            logBoth(log, QStringLiteral("CRITICAL_ERROR! Data base \"%1\" has another schema: table \"%2\" has the "
                                   "columns [%3], expected [%4]. It is left unchanged. DataBaseHandler is not running!")
                        .arg(fileName, table.first, found.join(QStringLiteral(", ")),
                             table.second.join(QStringLiteral(", "))));
            return false;
        }
    }
    return true;
}

bool CStoreSchema::addWritableColumn()
{
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("PRAGMA table_info(%1);"), {DB_TABLE_DEVICES})))
        return false;
    const int nameField = query.record().indexOf(QStringLiteral("name"));
    while (query.next()) {
        if (query.value(nameField).toString() == writableColumn())
            return true;
    }
    return query.exec(sqlText(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 INTEGER NOT NULL DEFAULT 0;"),
                              {DB_TABLE_DEVICES, writableColumn()}));
}

// Commits then append to the log file instead of rewriting pages under a
// journal, and sync only at checkpoints: an uplink costs no disk flush of its
// own. A committed uplink survives a crash of the program; a power cut may
// lose the last moments, which the next uplinks rewrite anyway.
void CStoreSchema::useWriteAheadLog()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL;")) || !query.next()
        || query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        logBoth(log, QStringLiteral("WARNING: [CDataBaseHandler] Write-ahead log is not available, "
                               "every write waits for the disk"));
        return;
    }
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL;")))
        logBoth(log, QStringLiteral("WARNING: [CDataBaseHandler] Synchronous mode is not set"));
    if (!query.exec(QStringLiteral("PRAGMA journal_size_limit=%1;").arg(JOURNAL_SIZE_LIMIT_BYTES)))
        logBoth(log, QStringLiteral("WARNING: [CDataBaseHandler] Write-ahead log size limit is not set"));
}

bool CStoreSchema::createTable(const QString &_table, const QStringList &_columns, int _expected,
                               const QString &_format)
{
    if (_columns.size() != _expected) {
        logBoth(log, QStringLiteral("ERROR! Invalid size of colums in table \"%1\"! DataBaseHandler is not running!")
                    .arg(_table));
        return false;
    }
    QSqlQuery query(db);
    if (query.exec(sqlText(_format, QStringList(_table) + _columns)))
        return true;
    logBoth(log, QStringLiteral("CRITICAL_ERROR! Table \"%1\" is not created! Error_text[%2]. DataBaseHandler is not "
                           "running!")
                .arg(_table, sqliteText(query.lastError())));
    return false;
}

bool CStoreSchema::createIndex(const QString &_name, const QString &_table, const QString &_columns)
{
    QSqlQuery query(db);
    if (query.exec(sqlText(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 ( %3 );"), {_name, _table, _columns})))
        return true;
    logBoth(log, QStringLiteral("CRITICAL_ERROR! Index \"%1\" is not created! Error_text[%2]. DataBaseHandler is not "
                           "running!")
                .arg(_name, sqliteText(query.lastError())));
    return false;
}

bool CStoreSchema::addDeviceColumns()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA table_info(%1);").arg(DB_TABLE_DEVICES))) {
        logBoth(log, QStringLiteral("ERROR! Columns of table \"%1\" are not readable!").arg(DB_TABLE_DEVICES));
        return false;
    }
    QStringList present;
    while (query.next())
        present << query.value(1).toString();
    query.finish();
    for (const SAddedColumn &column : DEVICE_ADDED_COLUMNS) {
        const QString name = QString::fromLatin1(column.name);
        if (present.contains(name))
            continue;
        if (!query.exec(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3;")
                            .arg(DB_TABLE_DEVICES, name, QString::fromLatin1(column.declaration)))) {
            logBoth(log, QStringLiteral("ERROR! Column \"%1\" is not added to table \"%2\"! Error_text[%3]")
                        .arg(name, DB_TABLE_DEVICES, query.lastError().text()));
            return false;
        }
    }
    return true;
}
