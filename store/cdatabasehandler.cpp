#include "store/cdatabasehandler.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>
#include <QSqlDriver>
#include <QSqlError>
#include <QTemporaryFile>
#include <QUrl>
#include <QSqlRecord>
#include <QVariant>

#include <algorithm>

#include <sqlite3.h>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "store/cgatewaycounters.h"
#include "store/csqltransaction.h"
#include "store/registerword.h"
#include "store/storecolumns.h"

namespace {

const int REGISTER_BITS = 16;
// After each write the writer rests this many times as long as the write took, at most
// MAX_WRITER_REST_NS.
const qint64 WRITER_REST_FACTOR = 3;
const qint64 MAX_WRITER_REST_NS = 500 * 1000 * 1000;
// Register words a write puts into the image before it lets a poll in.
const int PUBLISH_SLICE = 256;
// Enough to tell what is damaged; the whole list of a badly damaged file helps nobody.
const int INTEGRITY_PROBLEMS_SHOWN = 5;

QString dev(int _column) { return devicesColumns.at(_column); }
// Kept apart from the column list: files of earlier versions get it added at open.
const QString WRITABLE_COLUMN = QStringLiteral("writable");
QString data(int _column) { return devDataColumns.at(_column); }
QString param(const QString &_column) { return QStringLiteral(":") + _column; }
QString added(int _column) { return QString::fromLatin1(DEVICE_ADDED_COLUMNS[_column - DEV_COL_UNIT_ID].name); }

// One of the columns added to the tables of earlier versions' files at open, after the original ones.
bool isAddedColumn(const QString &_column)
{
    if (_column == WRITABLE_COLUMN)
        return true;
    for (const SAddedColumn &column : DEVICE_ADDED_COLUMNS) {
        if (_column == QLatin1String(column.name))
            return true;
    }
    return false;
}

// Fills %1, %2, ... in order, each in all its occurrences.
QString sqlText(QString _format, const QStringList &_names)
{
    for (const QString &name : _names)
        _format = _format.arg(name);
    return _format;
}

// LIKE pattern for "name contains _text", with % and _ taken literally (ESCAPE '\').
QString containsPattern(QString _text)
{
    _text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    _text.replace(QLatin1Char('%'), QStringLiteral("\\%"));
    _text.replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return QLatin1Char('%') + _text + QLatin1Char('%');
}

// SQLite's own words for the failure, without the driver's "Unable to execute statement".
QString sqliteText(const QSqlError &_error)
{
    return _error.databaseText().isEmpty() ? _error.text() : _error.databaseText();
}

void logBoth(const QString &_message)
{
    qDebug().noquote() << _message;
    CLogFile::addLog(_message);
}

// The first store keeps the name it always had; later ones (tests, tools) get their own.
QString nextConnectionName()
{
    static QAtomicInt created;
    const int number = created.fetchAndAddOrdered(1);
    return number == 0 ? DB_CONNECTION_NAME : QStringLiteral("%1-%2").arg(DB_CONNECTION_NAME).arg(number);
}

// An empty text is stored as '', not NULL.
QString textOrEmpty(const QString &_text) { return _text.isNull() ? QStringLiteral("") : _text; }

} // namespace

CDataBaseHandler *CDataBaseHandler::instance = nullptr;

CDataBaseHandler::CDataBaseHandler(const QString &_fileName, int _busyTimeoutMs, CClock *_clock)
    : fileName(_fileName)
    , busyTimeoutMs(_busyTimeoutMs)
    , clock(_clock)
    , connectionName(nextConnectionName())
{
}

CDataBaseHandler::~CDataBaseHandler()
{
    stopWriting();
    registerWriter.finish();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(connectionName);
}

CDataBaseHandler *CDataBaseHandler::getInstance()
{
    if (!instance) {
        auto *created = new CDataBaseHandler(DB_FILE_NAME);
        if (!created->open()) {
            delete created;
            return nullptr;
        }
        instance = created;
    }
    return instance;
}

bool CDataBaseHandler::open(QString *_error)
{
    // Every failure below is logged; the caller gets the lines as the reason.
    QStringList reasons;
    const QMetaObject::Connection listening = QObject::connect(
        CLogFile::getInstance(QString()), &CLogFile::addLogSignal, [&reasons](QString _line) { reasons << _line; });
    const bool opened = openTables();
    QObject::disconnect(listening);
    if (!opened && _error)
        *_error = reasons.isEmpty() ? QStringLiteral("unknown error") : reasons.join(QLatin1Char('\n'));
    return opened;
}

bool CDataBaseHandler::openConnection(bool _readOnly)
{
    if (!db.isValid())
        db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
    if (!_readOnly) {
        db.setDatabaseName(fileName);
        // A second process writing the same file makes us wait instead of fail.
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyTimeoutMs));
    } else if (QFileInfo(fileName).isFile()) {
        // Nothing may be created beside the file, not even the write-ahead log's index.
        db.setDatabaseName(QUrl::fromLocalFile(QFileInfo(fileName).absoluteFilePath()).toString()
                           + QStringLiteral("?immutable=1"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
    } else {
        db.setDatabaseName(QStringLiteral(":memory:"));
        db.setConnectOptions(QString());
    }
    if (db.open())
        return true;
    logBoth(QStringLiteral("CRITICAL_ERROR! Data base hasn't been created/opened! Error_text[%1]. "
                           "DataBaseHandler is not running!")
                .arg(db.lastError().text()));
    return false;
}

bool CDataBaseHandler::isReadOnly()
{
    QMutexLocker locker(&mutex);
    return readOnly;
}

bool CDataBaseHandler::openTables()
{
    QString reason;
    if (!checkWritable(&reason)) {
        if (!readOnlyFallback) {
            logBoth(reason + QStringLiteral(" Nothing could be saved. DataBaseHandler is not running!"));
            return false;
        }
        readOnly = true;
        readOnlyReason = reason;
        logBoth(QStringLiteral("ERROR: [CDataBaseHandler] %1 Serving the stored values; new values are served from "
                               "memory and nothing is saved until the folder can be written again")
                    .arg(reason));
    }
    if (!openConnection(readOnly))
        return false;
    // Nothing is written before the file has proved to be an intact store of ours:
    // a damaged page would otherwise be served as zeros, another program's database changed.
    if (!checkIntact() || !checkSchema())
        return false;
    // A file that cannot be written is served as it is.
    const bool fileAsItIs = readOnly && QFileInfo(fileName).isFile();
    if (!fileAsItIs && !createTables())
        return false;
    QString loadError;
    QMutexLocker imageLocker(&imageMutex);
    if (!image.load(db, &loadError)) {
        logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, loadError));
        return false;
    }
    QString prepareError;
    if (!prepareRegisterWriter(&prepareError)) {
        logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not writable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, prepareError));
        return false;
    }
    startWriting();
    return true;
}

bool CDataBaseHandler::regainWriting()
{
    QString reason;
    if (!checkWritable(&reason)) {
        readOnlyReason = reason;
        return false;
    }
    registerWriter.finish();
    db.close();
    QString error;
    if (!openConnection(false) || !checkIntact() || !checkSchema() || !createTables()
        || !prepareRegisterWriter(&error)) {
        // Back to what served so far.
        registerWriter.finish();
        db.close();
        openConnection(true);
        prepareRegisterWriter(&error);
        return false;
    }
    readOnly = false;
    CLogFile::addLog(QStringLiteral("INFO: [CDataBaseHandler] \"%1\" can be written again").arg(fileName));
    return true;
}

bool CDataBaseHandler::writingWorks()
{
    if (!readOnly)
        return true;
    const qint64 now = clock->nowMs();
    if (now - lastRegainMs < REGAIN_INTERVAL_MS)
        return false;
    lastRegainMs = now;
    return regainWriting();
}

bool CDataBaseHandler::createTables()
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
        logBoth(QStringLiteral("CRITICAL_ERROR! Column \"%1\" is not added! Error_text[%2]. DataBaseHandler is not "
                               "running!")
                    .arg(WRITABLE_COLUMN, db.lastError().text()));
        return false;
    }
    // Modbus reads select by (port, reg_addr), uplinks and edits write by (device, reg_addr).
    // Adding a device looks its DevEUI up in any letter case: without an index, importing
    // thousands of devices reads the whole table for each.
    const QString pair = QStringLiteral("%1, %2");
    if (!createIndex(QStringLiteral("dev_data_port_reg_addr"), DB_TABLE_DEV_DATA,
                     pair.arg(data(REG_COL_PORT), data(REG_COL_REG_ADDR)))
        || !createIndex(QStringLiteral("dev_data_device_reg_addr"), DB_TABLE_DEV_DATA,
                        pair.arg(data(REG_COL_DEVICE), data(REG_COL_REG_ADDR)))
        || !createIndex(QStringLiteral("devices_dev_eui"), DB_TABLE_DEVICES,
                        dev(DEV_COL_DEV_EUI) + QStringLiteral(" COLLATE NOCASE")))
        return false;
    useWriteAheadLog();
    return true;
}

bool CDataBaseHandler::checkWritable(QString *_reason) const
{
    const QFileInfo file(fileName);
    QTemporaryFile probe(file.absolutePath() + QStringLiteral("/.server-db-probe-XXXXXX"));
    if (!probe.open()) {
        *_reason = QStringLiteral("CRITICAL_ERROR! Folder \"%1\" of the data base cannot be written: %2.")
                       .arg(file.absolutePath(), probe.errorString());
        return false;
    }
    QFile existing(fileName);
    if (file.isFile() && !existing.open(QIODevice::ReadWrite)) {
        *_reason = QStringLiteral("CRITICAL_ERROR! Data base \"%1\" cannot be written: %2.")
                       .arg(file.absoluteFilePath(), existing.errorString());
        return false;
    }
    return true;
}

bool CDataBaseHandler::checkIntact()
{
    // The quick check reads every page (not the indexes' agreement with their tables),
    // so a damaged page or a file that is no database at all shows here, before any write.
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA quick_check(%1);").arg(INTEGRITY_PROBLEMS_SHOWN))) {
        logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" cannot be checked! Error_text[%2]. "
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
    logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is damaged! Error_text[%2]. "
                           "DataBaseHandler is not running!")
                .arg(fileName, problems.join(QStringLiteral("; "))));
    return false;
}

bool CDataBaseHandler::checkSchema()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite%';"))) {
        logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
                               "DataBaseHandler is not running!")
                    .arg(fileName, sqliteText(query.lastError())));
        return false;
    }
    QStringList tables;
    while (query.next())
        tables << query.value(0).toString();
    const auto has = [&tables](const QString &_table) { return tables.contains(_table, Qt::CaseInsensitive); };
    if (!tables.isEmpty() && !has(DB_TABLE_DEVICES) && !has(DB_TABLE_DEV_DATA)) {
        logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" belongs to another program: it has the tables "
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
            logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" is not readable! Error_text[%2]. "
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
            logBoth(QStringLiteral("CRITICAL_ERROR! Data base \"%1\" has another schema: table \"%2\" has the "
                                   "columns [%3], expected [%4]. It is left unchanged. DataBaseHandler is not running!")
                        .arg(fileName, table.first, found.join(QStringLiteral(", ")),
                             table.second.join(QStringLiteral(", "))));
            return false;
        }
    }
    return true;
}

bool CDataBaseHandler::addWritableColumn()
{
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("PRAGMA table_info(%1);"), {DB_TABLE_DEVICES})))
        return false;
    const int nameField = query.record().indexOf(QStringLiteral("name"));
    while (query.next()) {
        if (query.value(nameField).toString() == WRITABLE_COLUMN)
            return true;
    }
    return query.exec(sqlText(QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 INTEGER NOT NULL DEFAULT 0;"),
                              {DB_TABLE_DEVICES, WRITABLE_COLUMN}));
}

bool CDataBaseHandler::isDeviceWritable(const QString &_devEui)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, WRITABLE_COLUMN, dev(DEV_COL_DEV_EUI)}));
    query.bindValue(param(dev(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec()) {
        CLogFile::addLog(QStringLiteral("[CDataBaseHandler::isDeviceWritable] Invalid SQL request [1]"));
        return false;
    }
    return query.next() && query.value(0).toInt() != 0;
}

bool CDataBaseHandler::setDeviceWritable(const QString &_devEui, bool _writable)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, WRITABLE_COLUMN, dev(DEV_COL_DEV_EUI)}));
    query.bindValue(param(WRITABLE_COLUMN), _writable ? 1 : 0);
    query.bindValue(param(dev(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec() || query.numRowsAffected() != 1) {
        CLogFile::addLog(QStringLiteral("ERROR: [CDataBaseHandler::setDeviceWritable] Device [%1] is not changed")
                             .arg(_devEui));
        return false;
    }
    return true;
}

// Commits then append to the log file instead of rewriting pages under a
// journal, and sync only at checkpoints: an uplink costs no disk flush of its
// own. A committed uplink survives a crash of the program; a power cut may
// lose the last moments, which the next uplinks rewrite anyway.
void CDataBaseHandler::useWriteAheadLog()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL;")) || !query.next()
        || query.value(0).toString().compare(QLatin1String("wal"), Qt::CaseInsensitive) != 0) {
        logBoth(QStringLiteral("WARNING: [CDataBaseHandler] Write-ahead log is not available, "
                               "every write waits for the disk"));
        return;
    }
    if (!query.exec(QStringLiteral("PRAGMA synchronous=NORMAL;")))
        logBoth(QStringLiteral("WARNING: [CDataBaseHandler] Synchronous mode is not set"));
    if (!query.exec(QStringLiteral("PRAGMA journal_size_limit=%1;").arg(JOURNAL_SIZE_LIMIT_BYTES)))
        logBoth(QStringLiteral("WARNING: [CDataBaseHandler] Write-ahead log size limit is not set"));
}

bool CDataBaseHandler::prepareRegisterWriter(QString *_error)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) {
        *_error = QStringLiteral("no SQLite connection");
        return false;
    }
    return registerWriter.prepare(
        *static_cast<sqlite3 *const *>(handle.constData()),
        sqlText(QStringLiteral("UPDATE %1 SET %2=?1, %3=?2, %4=?3 WHERE %5=?4 AND %6=?5;"),
                {DB_TABLE_DEV_DATA, data(REG_COL_VALUE), data(REG_COL_FULL_VALUE), data(REG_COL_TIME),
                 data(REG_COL_DEVICE), data(REG_COL_REG_ADDR)}),
        sqlText(QStringLiteral("UPDATE %1 SET %2=?1, %3=?2, %4=?3, %5=?4, %6=?5 WHERE %7=?6;"),
                {DB_TABLE_DEVICES, added(DEV_COL_UPLINKS), added(DEV_COL_LOST), added(DEV_COL_ERRORS),
                 added(DEV_COL_LAST_FCNT), added(DEV_COL_LAST_UPLINK), dev(DEV_COL_DEVICE)}),
        _error);
}

bool CDataBaseHandler::createTable(const QString &_table, const QStringList &_columns, int _expected,
                                   const QString &_format)
{
    if (_columns.size() != _expected) {
        logBoth(QStringLiteral("ERROR! Invalid size of colums in table \"%1\"! DataBaseHandler is not running!")
                    .arg(_table));
        return false;
    }
    QSqlQuery query(db);
    if (query.exec(sqlText(_format, QStringList(_table) + _columns)))
        return true;
    logBoth(QStringLiteral("CRITICAL_ERROR! Table \"%1\" is not created! Error_text[%2]. DataBaseHandler is not "
                           "running!")
                .arg(_table, sqliteText(query.lastError())));
    return false;
}

bool CDataBaseHandler::createIndex(const QString &_name, const QString &_table, const QString &_columns)
{
    QSqlQuery query(db);
    if (query.exec(sqlText(QStringLiteral("CREATE INDEX IF NOT EXISTS %1 ON %2 ( %3 );"), {_name, _table, _columns})))
        return true;
    logBoth(QStringLiteral("CRITICAL_ERROR! Index \"%1\" is not created! Error_text[%2]. DataBaseHandler is not "
                           "running!")
                .arg(_name, sqliteText(query.lastError())));
    return false;
}

bool CDataBaseHandler::addDeviceColumns()
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("PRAGMA table_info(%1);").arg(DB_TABLE_DEVICES))) {
        logBoth(QStringLiteral("ERROR! Columns of table \"%1\" are not readable!").arg(DB_TABLE_DEVICES));
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
            logBoth(QStringLiteral("ERROR! Column \"%1\" is not added to table \"%2\"! Error_text[%3]")
                        .arg(name, DB_TABLE_DEVICES, query.lastError().text()));
            return false;
        }
    }
    return true;
}

bool CDataBaseHandler::findDeviceId(const QString &_devEui, uint32_t *_id, bool *_found)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, dev(DEV_COL_DEVICE), dev(DEV_COL_DEV_EUI)}));
    query.bindValue(param(dev(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec())
        return false;
    *_found = query.next();
    *_id = *_found ? query.value(0).toUInt() : 0;
    return true;
}

bool CDataBaseHandler::registerNewDevice(const DB::SDeviceRegMapDescription &_info, const uint16_t &_port)
{
    return registerNewDevices({ { _info, _port } });
}

bool CDataBaseHandler::registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::registerNewDevice]");
    for (const auto &device : _devices) {
        if (device.first.registers.isEmpty()) {
            CLogFile::addLog(QStringLiteral("ERROR: %1 Device [%2] has no registers!").arg(origin, device.first.devEui));
            return false;
        }
    }
    CSqlTransaction transaction(db);
    if (!transaction.begin(origin))
        return false;
    QList<QList<QPair<qint64, SRegisterParam>>> rows;
    QList<uint32_t> ids;
    for (const auto &device : _devices) {
        rows.append(QList<QPair<qint64, SRegisterParam>>());
        ids.append(0);
        if (!insertDevice(device.first, device.second, &rows.last(), &ids.last()))
            return false;
    }
    if (!transaction.commit(origin))
        return false;
    for (int i = 0; i < _devices.size(); ++i)
        addToImage(ids.at(i), _devices.at(i).first, _devices.at(i).second, rows.at(i));
    return true;
}

void CDataBaseHandler::addToImage(uint32_t _deviceId, const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                                  const QList<QPair<qint64, SRegisterParam>> &_rows)
{
    QMutexLocker imageLocker(&imageMutex);
    image.addDevice(_deviceId, _info.devEui, _port, _info);
    for (const auto &row : _rows) {
        image.addRegister(_deviceId, row.first, row.second);
        image.setDeviceWord(_deviceId, row.first, 0);
    }
}

bool CDataBaseHandler::reload()
{
    QMutexLocker locker(&mutex);
    QString error;
    QMutexLocker imageLocker(&imageMutex);
    if (image.load(db, &error))
        return true;
    logBoth(QStringLiteral("ERROR: [CDataBaseHandler::reload] Data base \"%1\" is not readable! Error_text[%2]")
                .arg(fileName, error));
    return false;
}

bool CDataBaseHandler::insertDevice(const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                                    QList<QPair<qint64, SRegisterParam>> *_rows, uint32_t *_deviceId)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::registerNewDevice]");

    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2=:%2 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, dev(DEV_COL_DEV_EUI)}));
    query.bindValue(param(dev(DEV_COL_DEV_EUI)), _info.devEui);
    if (!query.exec() || !query.next()) {
        CLogFile::addLog(origin + QStringLiteral(" Invalid SQL request [1]"));
        return false;
    }
    if (query.value(0).toInt() != 0) {
        CLogFile::addLog(QStringLiteral("ERROR: %1 Device [%2] already exist!").arg(origin, _info.devEui));
        return false;
    }
    query.finish();

    query.prepare(sqlText(QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10) VALUES "
                                         "(:%2, :%3, :%4, :%5, :%6, :%7, :%8, :%9, :%10);"),
                          {DB_TABLE_DEVICES, dev(DEV_COL_NAME), dev(DEV_COL_APP_EUI), dev(DEV_COL_DEV_EUI), dev(DEV_COL_PORT),
                           dev(DEV_COL_START_ADDR), added(DEV_COL_UNIT_ID), added(DEV_COL_WORD_ORDER),
                           added(DEV_COL_STALE_AFTER), added(DEV_COL_STALE_POLICY)}));
    query.bindValue(param(added(DEV_COL_UNIT_ID)), _info.unitId);
    query.bindValue(param(added(DEV_COL_WORD_ORDER)), wordOrderName(_info.wordOrder));
    query.bindValue(param(added(DEV_COL_STALE_AFTER)), _info.staleAfter);
    query.bindValue(param(added(DEV_COL_STALE_POLICY)), stalePolicyName(_info.stalePolicy));
    query.bindValue(param(dev(DEV_COL_NAME)), textOrEmpty(_info.name));
    query.bindValue(param(dev(DEV_COL_APP_EUI)), textOrEmpty(_info.appEui));
    query.bindValue(param(dev(DEV_COL_DEV_EUI)), textOrEmpty(_info.devEui));
    query.bindValue(param(dev(DEV_COL_PORT)), _port);
    query.bindValue(param(dev(DEV_COL_START_ADDR)), _info.startAddr);
    if (!query.exec()) {
        CLogFile::addLog(origin + QStringLiteral(" Invalid SQL request [2]"));
        return false;
    }

    if (_info.writable) {
        query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=1 WHERE %3=:%3;"),
                              {DB_TABLE_DEVICES, WRITABLE_COLUMN, dev(DEV_COL_DEV_EUI)}));
        query.bindValue(param(dev(DEV_COL_DEV_EUI)), textOrEmpty(_info.devEui));
        if (!query.exec()) {
            CLogFile::addLog(origin + QStringLiteral(" Invalid SQL request [5]"));
            return false;
        }
    }

    uint32_t deviceId = 0;
    bool found = false;
    if (!findDeviceId(_info.devEui, &deviceId, &found)) {
        CLogFile::addLog(origin + QStringLiteral(" Invalid SQL request [3]"));
        return false;
    }
    if (!found) {
        CLogFile::addLog(QStringLiteral("ERROR: %1 Device [%2] is not created!").arg(origin, _info.devEui));
        return false;
    }
    if (deviceId == 0) {
        CLogFile::addLog(QStringLiteral("ERROR: %1 Device [%2] is not created [NULL ID]!").arg(origin, _info.devEui));
        return false;
    }

    query.prepare(sqlText(QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12) VALUES "
                                         "(:%2, :%3, :%4, :%5, :%6, :%7, :%8, :%9, :%10, :%11, :%12);"),
                          {DB_TABLE_DEV_DATA, data(REG_COL_DEVICE), data(REG_COL_PORT), data(REG_COL_REG_ADDR),
                           data(REG_COL_START_VALUE), data(REG_COL_GRATING_PERIOD), data(REG_COL_BIT_SIZE),
                           data(REG_COL_DATA_TYPE), data(REG_COL_NAME), data(REG_COL_PARENT), data(REG_COL_SOURCE),
                           data(REG_COL_UNIT)}));
    QList<QPair<qint64, SRegisterParam>> &insertedRows = *_rows;
    *_deviceId = deviceId;
    const auto insertRow = [&](qint64 _addr, const SRegisterDescription &_reg, bool _parent) {
        query.bindValue(param(data(REG_COL_DEVICE)), deviceId);
        query.bindValue(param(data(REG_COL_PORT)), _port);
        query.bindValue(param(data(REG_COL_REG_ADDR)), _addr);
        query.bindValue(param(data(REG_COL_START_VALUE)), _parent ? _reg.startValue : 0);
        query.bindValue(param(data(REG_COL_GRATING_PERIOD)), _parent ? _reg.gratingPeriod : 1);
        query.bindValue(param(data(REG_COL_BIT_SIZE)), _reg.bitSize);
        query.bindValue(param(data(REG_COL_DATA_TYPE)), textOrEmpty(_reg.dataType));
        query.bindValue(param(data(REG_COL_NAME)), _parent ? QVariant(textOrEmpty(_reg.name)) : QVariant(QVariant::String));
        query.bindValue(param(data(REG_COL_PARENT)), _parent ? 1 : 0);
        query.bindValue(param(data(REG_COL_SOURCE)), _parent ? _reg.source : 0);
        query.bindValue(param(data(REG_COL_UNIT)), _parent ? QVariant(textOrEmpty(_reg.unit)) : QVariant(QVariant::String));
        if (query.exec()) {
            insertedRows.append({_addr, SRegisterParam{qint32(_addr), _parent ? _reg.startValue : 0,
                                                       _parent ? _reg.gratingPeriod : 1,
                                                       _parent ? textOrEmpty(_reg.unit) : QString()}});
            return true;
        }
        CLogFile::addLog(origin + QStringLiteral(" Invalid SQL request [4]"));
        CLogFile::addLog(query.lastQuery() + QStringLiteral(" Error_text[") + query.lastError().text()
                         + QStringLiteral("]"));
        return false;
    };

    QSet<qint64> parentAddresses;
    for (const SRegisterDescription &reg : _info.registers) {
        const qint64 addr = qint64(_info.startAddr) + reg.offset;
        if (parentAddresses.contains(addr)) {
            CLogFile::addLog(QStringLiteral("WARNING: %1 Register [0x%2] for device [%3] already exist!")
                                 .arg(origin, QStringLiteral("%1").arg(addr, 4, 16, QLatin1Char('0')), _info.devEui));
            continue;
        }
        parentAddresses.insert(addr);
        if (!insertRow(addr, reg, true))
            return false;
        const int continuations = reg.bitSize > REGISTER_BITS ? (reg.bitSize - 17) / REGISTER_BITS + 1 : 0;
        for (int k = 1; k <= continuations; ++k) {
            if (!insertRow(addr + k, reg, false))
                return false;
        }
    }
    return true;
}

bool CDataBaseHandler::saveRegisterData(const SDeviceRegData &_data)
{
    return saveRegisterBatch({ _data });
}

bool CDataBaseHandler::saveRegisterBatch(const QList<SDeviceRegData> &_batch)
{
    const quint64 ticket = stageRegisterBatch(_batch);
    return ticket != 0 && waitForWrite(ticket);
}

quint64 CDataBaseHandler::stageRegisterBatch(const QList<SDeviceRegData> &_batch)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::saveRegisterData]");
    const qint64 timeMs = QDateTime::currentMSecsSinceEpoch();
    QMutexLocker imageLocker(&imageMutex);
    QMutexLocker stageLocker(&stageMutex);
    bool any = false;
    for (const SDeviceRegData &data : _batch) {
        if (data.registers.isEmpty()) {
            CLogFile::addLog(QStringLiteral("INFO: %1 Empty input data").arg(origin));
            continue;
        }
        uint32_t deviceId = 0;
        if (!image.findDevice(data.devEui, &deviceId) || deviceId == 0) {
            CLogFile::addLog(QStringLiteral("ERROR: %1 Uncknown DevEUI [%2]").arg(origin, data.devEui));
            continue;
        }
        bool uplinkStaged = false;
        // Only registers that have a row take a value.
        for (const SRegisterValue &reg : data.registers) {
            const qint64 regAddr = qint64(data.startAddr) + reg.regOffset;
            if (!image.param(deviceId, regAddr))
                continue;
            staged.insert({ deviceId, regAddr },
                          SStagedRegister { deviceId, regAddr, textOrEmpty(reg.value), reg.fullValue, reg.word, timeMs });
            uplinkStaged = true;
        }
        stagedUplinks += uplinkStaged ? 1 : 0;
        any = any || uplinkStaged;
    }
    if (!any)
        return 0;
    stagedMore.wakeOne();
    return ++stagedTicket;
}

bool CDataBaseHandler::waitForWrite(quint64 _ticket)
{
    QMutexLocker stageLocker(&stageMutex);
    ++waiters;
    stagedMore.wakeOne();
    while (writtenTicket < _ticket && writer.joinable())
        writeOver.wait(&stageMutex);
    --waiters;
    return savedTicket >= _ticket;
}

void CDataBaseHandler::startWriting()
{
    stopping = false;
    writer = std::thread(&CDataBaseHandler::writeStaged, this);
}

void CDataBaseHandler::stopWriting()
{
    if (!writer.joinable())
        return;
    {
        // What is staged is written before the thread ends.
        QMutexLocker stageLocker(&stageMutex);
        stopping = true;
        stagedMore.wakeOne();
    }
    writer.join();
}

void CDataBaseHandler::writeStaged()
{
    QMutexLocker stageLocker(&stageMutex);
    // After each write the writer rests three times as long as the write took: under a heavy
    // load it gathers more into each write instead of taking a whole core from decoding and
    // polls, and the rows of a busy device are written once for many of its uplinks. Light
    // loads, whose writes take a fraction of a millisecond, hardly wait at all.
    QDeadlineTimer rested;
    for (;;) {
        while (!stopping && writtenTicket == stagedTicket) {
            if (!readOnly) {
                stagedMore.wait(&stageMutex);
                continue;
            }
            // Nothing to write, but the operator hears once a minute that nothing could be.
            if (stagedMore.wait(&stageMutex, SAVE_FAILURE_REPORT_MS))
                continue;
            stageLocker.unlock();
            {
                QMutexLocker locker(&mutex);
                if (!writingWorks())
                    CLogFile::addLog(QStringLiteral("ERROR: [CDataBaseHandler] Nothing can be saved: %1")
                                         .arg(readOnlyReason));
            }
            stageLocker.relock();
        }
        if (writtenTicket == stagedTicket)
            return;
        // Nobody waits for a rest: not a stop, nor a caller that needs its values written.
        if (!stopping && waiters == 0 && !rested.hasExpired()) {
            stagedMore.wait(&stageMutex, rested);
            continue;
        }
        const quint64 ticket = stagedTicket;
        const int uplinks = std::exchange(stagedUplinks, 0);
        SStagedWrite write;
        write.registers = staged.values();
        // In the order of the rows' index: each row is found next to the one before.
        std::sort(write.registers.begin(), write.registers.end(),
                  [](const SStagedRegister &_a, const SStagedRegister &_b) {
                      return _a.deviceId != _b.deviceId ? _a.deviceId < _b.deviceId : _a.regAddr < _b.regAddr;
                  });
        write.counters = stagedCounters;
        staged.clear();
        stagedCounters.clear();
        stageLocker.unlock();

        QString error;
        int code = 0;
        bool saved = false;
        QElapsedTimer writing;
        writing.start();
        {
            QMutexLocker locker(&mutex);
            // An empty store in memory would take the write: it must not pass for saved.
            if (writingWorks())
                saved = registerWriter.write(write, &error, &code);
            else
                error = readOnlyReason;
        }
        // A write that waited long for another process's lock does not make the next wait as long.
        if (CGatewayCounters *counting = counters)
            counting->countStoreWrite(double(writing.nsecsElapsed()) / 1e9);
        rested = QDeadlineTimer(std::chrono::nanoseconds(
            std::min(WRITER_REST_FACTOR * writing.nsecsElapsed(), MAX_WRITER_REST_NS)));
        bool statusChanged = false;
        {
            // Saved or not, Modbus serves the newest values: a device's all at once. A large write
            // lets polls and decoding in between devices instead of holding them all along.
            QMutexLocker imageLocker(&imageMutex);
            int sinceRelease = 0;
            for (int i = 0; i < write.registers.size(); ++i) {
                const SStagedRegister &reg = write.registers.at(i);
                if (sinceRelease >= PUBLISH_SLICE && reg.deviceId != write.registers.at(i - 1).deviceId) {
                    imageLocker.unlock();
                    imageLocker.relock();
                    sinceRelease = 0;
                }
                image.setDeviceWord(reg.deviceId, reg.regAddr, reg.word);
                ++sinceRelease;
            }
            stageLocker.relock();
            if (!saved) {
                // Kept for the next write, unless a newer value came meanwhile.
                for (const SStagedRegister &reg : qAsConst(write.registers)) {
                    if (!staged.contains({ reg.deviceId, reg.regAddr }))
                        staged.insert({ reg.deviceId, reg.regAddr }, reg);
                }
                for (auto it = write.counters.cbegin(); it != write.counters.cend(); ++it) {
                    if (!stagedCounters.contains(it.key()))
                        stagedCounters.insert(it.key(), it.value());
                }
            }
            statusChanged = noteSaveResult(saved, error, uplinks);
            stageLocker.unlock();
        }
        if (statusChanged)
            emit savingStatusChanged(saved, saved ? QString() : error);
        emit registersWritten(ticket);
        stageLocker.relock();
        writtenTicket = ticket;
        // A failed write's values go along with the next: once one is saved, so are they.
        if (saved)
            savedTicket = ticket;
        writeOver.wakeAll();
    }
}

bool CDataBaseHandler::noteSaveResult(bool _saved, const QString &_error, int _uplinks)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::saveRegisterData]");
    if (_saved) {
        if (!savingFails)
            return false;
        CLogFile::addLog(QStringLiteral("INFO: %1 Saving works again: the values of %2 unsaved uplinks are in \"%3\" now")
                             .arg(origin)
                             .arg(failedUplinks)
                             .arg(fileName));
        savingFails = false;
        failedUplinks = 0;
        return true;
    }
    failedUplinks += _uplinks;
    const qint64 now = clock->nowMs();
    if (!savingFails) {
        savingFails = true;
        failedSinceReport = 0;
        lastReportMs = now;
        CLogFile::addLog(QStringLiteral("ERROR: %1 Saving to \"%2\" fails: %3. Modbus serves the newest values from "
                                        "memory until saving works again")
                             .arg(origin, fileName, _error));
        return true;
    }
    failedSinceReport += _uplinks;
    if (now - lastReportMs >= SAVE_FAILURE_REPORT_MS) {
        CLogFile::addLog(QStringLiteral("ERROR: %1 Saving still fails: %2 more uplinks not saved since the last report, "
                                        "%3 registers wait in memory. Error_text[%4]")
                             .arg(origin)
                             .arg(failedSinceReport)
                             .arg(staged.size())
                             .arg(_error));
        failedSinceReport = 0;
        lastReportMs = now;
    }
    return false;
}

SRegisterParam CDataBaseHandler::getRegisterParam(const QString &_devEui, const uint32_t &_regAddr)
{
    QMutexLocker locker(&imageMutex);
    uint32_t deviceId = 0;
    const SRegisterParam *found = image.findDevice(_devEui, &deviceId) ? image.param(deviceId, _regAddr) : nullptr;
    if (!found) {
        CLogFile::addLog(QStringLiteral("ERROR: [CDataBaseHandler::getRegisterParam] Register is not exist!"));
        CLogFile::addLog(QStringLiteral("    DevEUI [%1], regAddr [%2]").arg(_devEui).arg(_regAddr));
        return SRegisterParam();
    }
    SRegisterParam result = *found;
    result.regAddr = qint32(_regAddr);
    return result;
}

QMap<uint16_t, uint16_t> CDataBaseHandler::getRegisterData(const int32_t &_port, const int32_t &_startAddr,
                                                           const int32_t &_count)
{
    if (_count <= 0)
        return QMap<uint16_t, uint16_t>();
    QMutexLocker locker(&imageMutex);
    return image.words(uint16_t(_port), _startAddr, _count);
}

EReadStatus CDataBaseHandler::readRegisters(uint16_t _port, uint8_t _unit, int _first, int _count, uint16_t *_words)
{
    QMutexLocker locker(&imageMutex);
    // Most ports hold unit-0 devices without computed registers: a straight copy.
    if (image.isPlainPort(_port)) {
        image.copyWords(_port, _first, _count, _words);
        return EReadStatus::OK;
    }
    const SRegisterRead read = image.read(_port, _unit, _first, _count, clock->epochMs());
    if (read.status != EReadStatus::OK)
        return read.status;
    int k = 0;
    for (auto it = read.words.cbegin(); it != read.words.cend() && k < _count; ++it)
        _words[k++] = it.value();
    return EReadStatus::OK;
}

uint16_t CDataBaseHandler::registerWord(const QString &_value)
{
    return ::registerWord(_value);
}

namespace {

QVector<QSqlRecord> allRecords(QSqlQuery &_query)
{
    QVector<QSqlRecord> records;
    while (_query.next())
        records.append(_query.record());
    return records;
}

} // namespace

QVector<QSqlRecord> CDataBaseHandler::getDevices(const QString &_search)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(db);
    const QString filter = _search.isEmpty()
        ? QString()
        : sqlText(QStringLiteral("WHERE %1 LIKE :search ESCAPE '\\'"), {dev(DEV_COL_NAME)});
    // The window's columns only, whatever columns later versions added.
    query.prepare(sqlText(QStringLiteral("SELECT %4 FROM %1 %2 ORDER BY %3 ASC;"),
                          {DB_TABLE_DEVICES, filter, dev(DEV_COL_NAME), devicesColumns.join(QStringLiteral(", "))}));
    if (!_search.isEmpty())
        query.bindValue(QStringLiteral(":search"), containsPattern(_search));
    if (!query.exec())
        CLogFile::addLog(QStringLiteral("[CDataBaseHandler::getDevices] Invalid SQL request [1]"));
    return allRecords(query);
}

QVector<QSqlRecord> CDataBaseHandler::getRegisters(const uint32_t &_deviceId)
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT * FROM %1 WHERE %2=:%2 AND %3=1 ORDER BY %4 ASC;"),
                          {DB_TABLE_DEV_DATA, data(REG_COL_DEVICE), data(REG_COL_PARENT), data(REG_COL_REG_ADDR)}));
    query.bindValue(param(data(REG_COL_DEVICE)), _deviceId);
    if (!query.exec())
        CLogFile::addLog(QStringLiteral("[CDataBaseHandler::getRegisters] Invalid SQL request [1]"));
    return allRecords(query);
}

QStringList CDataBaseHandler::getRegisteredDevices()
{
    QMutexLocker locker(&mutex);
    QStringList result;
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("SELECT %2 FROM %1;"), {DB_TABLE_DEVICES, dev(DEV_COL_DEV_EUI)}))) {
        CLogFile::addLog(QStringLiteral("[CDataBaseHandler::getRegisteredDevices] Invalid SQL request [1]"));
        return result;
    }
    while (query.next())
        result << query.value(0).toString().toUpper();
    return result;
}

bool CDataBaseHandler::updateRegInfo(const SDeviceRegUpdate &_update)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::updateRegInfo]");
    CSqlTransaction transaction(db);
    if (!transaction.begin(origin))
        return false;
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4 WHERE %5=:%5 AND %6=:%6;"),
                          {DB_TABLE_DEV_DATA, data(REG_COL_START_VALUE), data(REG_COL_GRATING_PERIOD), data(REG_COL_UNIT),
                           data(REG_COL_DEVICE), data(REG_COL_REG_ADDR)}));
    for (const SRegisterUpdate &reg : _update.registers) {
        query.bindValue(param(data(REG_COL_START_VALUE)), reg.startValue);
        query.bindValue(param(data(REG_COL_GRATING_PERIOD)), reg.gratingPeriod);
        query.bindValue(param(data(REG_COL_UNIT)), textOrEmpty(reg.unit));
        query.bindValue(param(data(REG_COL_DEVICE)), _update.deviceId);
        query.bindValue(param(data(REG_COL_REG_ADDR)), reg.regAddr);
        if (!query.exec()) {
            CLogFile::addLog(QStringLiteral("ERROR: %1 Invalid SQL request [1]").arg(origin));
            CLogFile::addLog(query.lastQuery());
            return false;
        }
    }
    if (_update.hasSettings && !updateDeviceSettings(_update))
        return false;
    if (!transaction.commit(origin))
        return false;
    QMutexLocker imageLocker(&imageMutex);
    for (const SRegisterUpdate &reg : _update.registers)
        image.setParam(_update.deviceId, reg.regAddr, reg.startValue, reg.gratingPeriod, textOrEmpty(reg.unit));
    // New settings are read back whole: a new unit moves the device's words to that unit's.
    QString reloadError;
    if (_update.hasSettings && !image.load(db, &reloadError))
        CLogFile::addLog(QStringLiteral("ERROR: %1 Register values are not reloaded: %2").arg(origin, reloadError));
    return true;
}

bool CDataBaseHandler::deleteDevice(const uint32_t &_deviceId)
{
    QMutexLocker locker(&mutex);
    const QString origin = QStringLiteral("[CDataBaseHandler::deleteDevice]");
    uint16_t port = 0;
    {
        QMutexLocker imageLocker(&imageMutex);
        port = image.devicePort(_deviceId);
    }
    CSqlTransaction transaction(db);
    if (!transaction.begin(origin))
        return false;
    const QStringList tables = {DB_TABLE_DEVICES, DB_TABLE_DEV_DATA};
    const QStringList idColumns = {dev(DEV_COL_DEVICE), data(REG_COL_DEVICE)};
    for (int i = 0; i < tables.size(); ++i) {
        QSqlQuery query(db);
        query.prepare(sqlText(QStringLiteral("DELETE FROM %1 WHERE %2=:%2;"), {tables.at(i), idColumns.at(i)}));
        query.bindValue(param(idColumns.at(i)), _deviceId);
        if (!query.exec()) {
            CLogFile::addLog(QStringLiteral("%1 Invalid SQL request [%2]").arg(origin).arg(i + 1));
            return false;
        }
    }
    if (!transaction.commit(origin))
        return false;
    QMutexLocker imageLocker(&imageMutex);
    if (!image.removeDevice(db, _deviceId))
        CLogFile::addLog(QStringLiteral("ERROR: %1 Register values of port are not reloaded").arg(origin));
    // The port's words came back from the file: the values it has not taken yet still count.
    QMutexLocker stageLocker(&stageMutex);
    stagedCounters.remove(_deviceId);
    for (auto it = staged.begin(); it != staged.end();) {
        if (it->deviceId == _deviceId) {
            it = staged.erase(it);
            continue;
        }
        if (image.devicePort(it->deviceId) == port)
            image.setDeviceWord(it->deviceId, it->regAddr, it->word);
        ++it;
    }
    return true;
}

bool CDataBaseHandler::updateDeviceSettings(const SDeviceRegUpdate &_update)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4, %5=:%5 WHERE %6=:%6;"),
                          {DB_TABLE_DEVICES, added(DEV_COL_UNIT_ID), added(DEV_COL_WORD_ORDER), added(DEV_COL_STALE_AFTER),
                           added(DEV_COL_STALE_POLICY), dev(DEV_COL_DEVICE)}));
    query.bindValue(param(added(DEV_COL_UNIT_ID)), _update.unitId);
    query.bindValue(param(added(DEV_COL_WORD_ORDER)), wordOrderName(_update.wordOrder));
    query.bindValue(param(added(DEV_COL_STALE_AFTER)), _update.staleAfter);
    query.bindValue(param(added(DEV_COL_STALE_POLICY)), stalePolicyName(_update.stalePolicy));
    query.bindValue(param(dev(DEV_COL_DEVICE)), _update.deviceId);
    if (query.exec())
        return true;
    CLogFile::addLog(QStringLiteral("ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [2]"));
    CLogFile::addLog(query.lastQuery());
    return false;
}

void CDataBaseHandler::setClock(CClock *_clock)
{
    QMutexLocker locker(&mutex);
    clock = _clock;
}

QVector<QSqlRecord> CDataBaseHandler::getDeviceRows()
{
    QMutexLocker locker(&mutex);
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("SELECT * FROM %1 ORDER BY %2 ASC;"), {DB_TABLE_DEVICES, dev(DEV_COL_NAME)})))
        CLogFile::addLog(QStringLiteral("[CDataBaseHandler::getDeviceRows] Invalid SQL request [1]"));
    return allRecords(query);
}

SRegisterRead CDataBaseHandler::readRegisters(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count)
{
    if (_count <= 0)
        return SRegisterRead();
    QMutexLocker locker(&imageMutex);
    return image.read(_port, _unit, _first, _count, clock->epochMs());
}

SDeviceCounters CDataBaseHandler::getDeviceCounters(const QString &_devEui)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    return image.findDevice(_devEui, &deviceId) ? image.counters(deviceId) : SDeviceCounters();
}

bool CDataBaseHandler::saveDeviceCounters(const QString &_devEui, const SDeviceCounters &_counters)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::saveDeviceCounters]");
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    if (!image.findDevice(_devEui, &deviceId)) {
        CLogFile::addLog(QStringLiteral("ERROR: %1 Uncknown DevEUI [%2]").arg(origin, _devEui));
        return false;
    }
    image.setCounters(deviceId, _counters);
    // Written with the next write of register values, in its transaction.
    QMutexLocker stageLocker(&stageMutex);
    stagedCounters.insert(deviceId, _counters);
    return true;
}

void CDataBaseHandler::setAgeRegisters(const QString &_devEui, const QList<QPair<qint64, int>> &_registers)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    if (image.findDevice(_devEui, &deviceId))
        image.setAgeRegisters(deviceId, _registers);
}

bool CDataBaseHandler::isDeviceStale(const QString &_devEui)
{
    QMutexLocker imageLocker(&imageMutex);
    uint32_t deviceId = 0;
    return image.findDevice(_devEui, &deviceId) && image.isStale(deviceId, clock->epochMs());
}
