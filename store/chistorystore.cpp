#include "store/chistorystore.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QSet>

#include <algorithm>

#include <sqlite3.h>

#include "app/logsink.h"
#include "store/historyformat.h"

namespace {

// A statement of its own for the rare lookups; finalised when it goes.
class CStatement
{
public:
    CStatement(sqlite3 *_db, const char *_sql)
    {
        ok = sqlite3_prepare_v2(_db, _sql, -1, &statement, nullptr) == SQLITE_OK;
    }
    ~CStatement() { sqlite3_finalize(statement); }
    CStatement(const CStatement &) = delete;
    CStatement &operator=(const CStatement &) = delete;

    sqlite3_stmt *get() const { return statement; }
    bool prepared() const { return ok; }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int step() { return ok ? sqlite3_step(statement) : SQLITE_ERROR; }
    void bind(int _index, qint64 _value) { sqlite3_bind_int64(statement, _index, _value); }
    void bind(int _index, const QByteArray &_text)
    {
        sqlite3_bind_text(statement, _index, _text.constData(), _text.size(), SQLITE_TRANSIENT);
    }
    qint64 integer(int _column) const { return sqlite3_column_int64(statement, _column); }

private:
    sqlite3_stmt *statement = nullptr;
    bool ok = false;
};

// The names and units in one string: a cheap key for the layouts already written.
QString layoutKey(const QVector<SHistoryValue> &_values)
{
    QString key;
    for (const SHistoryValue &value : _values) {
        key += value.name;
        key += QChar(0x1f);
        key += value.unit;
        key += QChar(0x1e);
    }
    return key;
}

} // namespace

CHistoryStore::CHistoryStore(
    const QString &_fileName, const SHistorySettings &_settings, CClock *_clock, CLogSink *_log)
    : fileName(_fileName)
    , settings(_settings)
    , clock(_clock)
    , log(_log)
{ }

CHistoryStore::~CHistoryStore()
{
    QMutexLocker locker(&mutex);
    closeFile();
}

bool CHistoryStore::open()
{
    QMutexLocker locker(&mutex);
    if (!settings.enabled())
        return false;
    if (state != EState::eWriting && !openFile())
        return false;
    // What fell due while the gateway was stopped goes now, in steps as always.
    QElapsedTimer spent;
    spent.start();
    bool failedStep = false;
    while (spent.elapsed() < 20 * PRUNE_BUDGET_MS && pruneStep(&failedStep)) { }
    if (failedStep)
        failed(QStringLiteral("pruning fails: %1").arg(lastError()), errorCode());
    return state == EState::eWriting;
}

void CHistoryStore::stage(const QList<SDeviceRegData> &_batch)
{
    if (!settings.enabled())
        return;
    QMutexLocker locker(&stageMutex);
    for (const SDeviceRegData &uplink : _batch) {
        if (!uplink.values.isEmpty())
            waiting.append(uplink);
    }
    while (waiting.size() > MAX_WAITING_UPLINKS) {
        waiting.removeFirst();
        ++notKept;
    }
}

void CHistoryStore::writeStaged()
{
    if (!settings.enabled())
        return;
    QList<SDeviceRegData> batch;
    qint64 behind = 0;
    {
        QMutexLocker locker(&stageMutex);
        batch.swap(waiting);
        behind = std::exchange(notKept, 0);
    }
    QMutexLocker locker(&mutex);
    // At most once a report interval, with the count since the last report.
    notReported += behind;
    if (notReported > 0 && (lastBehindReportMs < 0 || clock->nowMs() - lastBehindReportMs >= BEHIND_REPORT_MS)) {
        report(QStringLiteral("WARNING: [CHistoryStore] History falls behind: the values of %1 uplinks were not kept")
                   .arg(notReported));
        notReported = 0;
        lastBehindReportMs = clock->nowMs();
    }
    if (state == EState::ePaused && clock->nowMs() < retryAtMs) {
        missed += batch.size();
        return;
    }
    if (state != EState::eWriting && !openFile()) {
        missed += batch.size();
        return;
    }
    if (!exec("BEGIN")) {
        missed += batch.size();
        failed(QStringLiteral("starting a write fails: %1").arg(lastError()), errorCode());
        return;
    }
    bool ok = true;
    for (const SDeviceRegData &uplink : qAsConst(batch)) {
        if (!insertUplink(uplink)) {
            ok = false;
            break;
        }
    }
    QElapsedTimer spent;
    spent.start();
    bool failedStep = false;
    while (ok && spent.elapsed() < PRUNE_BUDGET_MS && pruneStep(&failedStep)) { }
    ok = ok && !failedStep && exec("COMMIT");
    if (!ok) {
        const QString reason = lastError();
        const int code = errorCode();
        exec("ROLLBACK");
        // Ids written in the transaction are gone with it.
        deviceIds.clear();
        layoutIds.clear();
        lastLayouts.clear();
        missed += batch.size();
        failed(QStringLiteral("writing fails: %1").arg(reason), code);
        return;
    }
    if (!pauseReason.isEmpty() || missed > 0) {
        report(QStringLiteral("INFO: [CHistoryStore] History is written again; the values of %1 uplinks were not "
                              "kept meanwhile")
                   .arg(missed));
        missed = 0;
        pauseReason.clear();
    }
}

void CHistoryStore::keepDevices(const QStringList &_devEuis)
{
    QMutexLocker locker(&mutex);
    keptDevices = _devEuis;
    keepPending = true;
    forgetRemoved();
}

void CHistoryStore::forgetRemoved()
{
    // Until the file is open again; then the list of that time counts.
    if (state != EState::eWriting || !keepPending)
        return;
    keepPending = false;
    const QStringList devEuis = std::exchange(keptDevices, {});
    QSet<QString> kept;
    for (const QString &devEui : devEuis)
        kept.insert(devEui.toUpper());
    QList<qint64> gone;
    {
        CStatement devices(db, "SELECT id, dev_eui FROM devices");
        while (devices.step() == SQLITE_ROW) {
            const QString devEui
                = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(devices.get(), 1)));
            if (!kept.contains(devEui.toUpper()))
                gone.append(devices.integer(0));
        }
    }
    if (gone.isEmpty())
        return;
    bool ok = exec("BEGIN");
    for (qint64 id : qAsConst(gone)) {
        for (const char *sql : { "INSERT OR IGNORE INTO dropped (device) VALUES (?1)",
                 "DELETE FROM layouts WHERE device = ?1", "DELETE FROM devices WHERE id = ?1" }) {
            CStatement statement(db, sql);
            statement.bind(1, id);
            ok = ok && statement.step() == SQLITE_DONE;
        }
    }
    if (!ok || !exec("COMMIT")) {
        const int code = errorCode();
        const QString reason = lastError();
        exec("ROLLBACK");
        failed(QStringLiteral("forgetting removed devices fails: %1").arg(reason), code);
    }
    deviceIds.clear();
    layoutIds.clear();
    lastLayouts.clear();
}

bool CHistoryStore::isWriting()
{
    QMutexLocker locker(&mutex);
    return state == EState::eWriting;
}

qint64 CHistoryStore::usedBytes()
{
    QMutexLocker locker(&mutex);
    if (!db)
        return 0;
    CStatement pages(db,
        "SELECT (SELECT page_count FROM pragma_page_count()) - (SELECT freelist_count FROM "
        "pragma_freelist_count()), (SELECT page_size FROM pragma_page_size())");
    return pages.step() == SQLITE_ROW ? pages.integer(0) * pages.integer(1) : 0;
}

bool CHistoryStore::openFile()
{
    closeFile();
    const int opened = sqlite3_open_v2(
        QFile::encodeName(fileName).constData(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
        pause(QStringLiteral("%1 cannot be opened: %2").arg(fileName, lastError()));
        return false;
    }
    sqlite3_busy_timeout(db, 2000);
    if (sqlite3_db_readonly(db, "main") == 1) {
        pause(QStringLiteral("%1 cannot be written").arg(fileName));
        return false;
    }
    qint64 applicationId = -1;
    qint64 version = -1;
    qint64 tables = -1;
    {
        CStatement header(db,
            "SELECT (SELECT application_id FROM pragma_application_id()), (SELECT user_version FROM "
            "pragma_user_version()), (SELECT count(*) FROM sqlite_master)");
        const int step = header.step();
        if (step == SQLITE_ROW) {
            applicationId = header.integer(0);
            version = header.integer(1);
            tables = header.integer(2);
        }
    }
    if (tables < 0) {
        const int code = sqlite3_extended_errcode(db) & 0xff;
        if (code != SQLITE_NOTADB && code != SQLITE_CORRUPT) {
            pause(QStringLiteral("%1 cannot be read: %2").arg(fileName, lastError()));
            return false;
        }
        return moveAside(QStringLiteral("cannot be read (%1)").arg(lastError())) && openFile();
    }
    if (tables == 0 && applicationId == 0) {
        const QByteArray schema = QByteArray("BEGIN;") + HISTORY::SCHEMA_SQL
            + QStringLiteral("PRAGMA application_id = %1; PRAGMA user_version = %2; COMMIT;")
                  .arg(HISTORY::APPLICATION_ID)
                  .arg(HISTORY::SCHEMA_VERSION)
                  .toLatin1();
        if (!exec(schema.constData())) {
            const QString reason = lastError();
            exec("ROLLBACK");
            pause(QStringLiteral("%1 cannot be started: %2").arg(fileName, reason));
            return false;
        }
    } else if (applicationId != HISTORY::APPLICATION_ID || version != HISTORY::SCHEMA_VERSION) {
        return moveAside(QStringLiteral("is not Kelvara's history")) && openFile();
    }
    // A write-ahead log lets the window, the console and the command line read while values
    // are written; it shrinks back after a checkpoint, so a burst does not keep its space.
    if (!exec("PRAGMA journal_mode = WAL") || !exec("PRAGMA synchronous = NORMAL")
        || !exec("PRAGMA journal_size_limit = 4194304") || !exec("PRAGMA cache_size = -16384")
        || !prepareStatements()) {
        pause(QStringLiteral("%1 cannot be written: %2").arg(fileName, lastError()));
        return false;
    }
    state = EState::eWriting;
    forgetRemoved();
    return true;
}

void CHistoryStore::closeFile()
{
    sqlite3_finalize(insertStatement);
    insertStatement = nullptr;
    sqlite3_close(db);
    db = nullptr;
    deviceIds.clear();
    layoutIds.clear();
    lastLayouts.clear();
    if (state == EState::eWriting)
        state = EState::eClosed;
}

bool CHistoryStore::moveAside(const QString &_why)
{
    closeFile();
    const QString stamp
        = QDateTime::fromMSecsSinceEpoch(clock->epochMs(), Qt::UTC).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = QStringLiteral("%1.damaged-%2").arg(fileName, stamp);
    for (int n = 2; QFile::exists(target); ++n)
        target = QStringLiteral("%1.damaged-%2-%3").arg(fileName, stamp).arg(n);
    if (!QFile::rename(fileName, target)) {
        pause(QStringLiteral("%1 %2 and cannot be moved aside").arg(fileName, _why));
        return false;
    }
    // Its log holds the rest of it; the shared memory index is rebuilt for the new file.
    QFile::rename(fileName + QStringLiteral("-wal"), target + QStringLiteral("-wal"));
    QFile::remove(fileName + QStringLiteral("-shm"));
    report(QStringLiteral("WARNING: [CHistoryStore] %1 %2: moved aside as %3, a new history begins")
               .arg(fileName, _why, target));
    return true;
}

bool CHistoryStore::exec(const char *_sql)
{
    return db && sqlite3_exec(db, _sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool CHistoryStore::prepareStatements()
{
    return sqlite3_prepare_v3(db, "INSERT INTO uplinks (device, time_ms, layout, vals) VALUES (?1, ?2, ?3, ?4)", -1,
               SQLITE_PREPARE_PERSISTENT, &insertStatement, nullptr)
        == SQLITE_OK;
}

bool CHistoryStore::insertUplink(const SDeviceRegData &_uplink)
{
    if (_uplink.values.isEmpty())
        return true;
    qint64 device = 0;
    qint64 layout = 0;
    if (!deviceId(_uplink.devEui, &device))
        return false;
    // A device sends the same values uplink after uplink: its last layout is compared first,
    // name by name, without building a key.
    SLastLayout &last = lastLayouts[device];
    const bool same = last.id != 0 && last.values.size() == _uplink.values.size()
        && std::equal(last.values.cbegin(), last.values.cend(), _uplink.values.cbegin(),
            [](const SHistoryValue &_a, const SHistoryValue &_b) { return _a.name == _b.name && _a.unit == _b.unit; });
    if (same) {
        layout = last.id;
    } else {
        if (!layoutId(device, _uplink.values, &layout))
            return false;
        last.id = layout;
        last.values = _uplink.values;
    }
    const QByteArray blob = HISTORY::valuesBlob(_uplink.values);
    sqlite3_bind_int64(insertStatement, 1, device);
    sqlite3_bind_int64(insertStatement, 2, _uplink.receivedMs);
    sqlite3_bind_int64(insertStatement, 3, layout);
    sqlite3_bind_blob(insertStatement, 4, blob.constData(), blob.size(), SQLITE_STATIC);
    const bool done = sqlite3_step(insertStatement) == SQLITE_DONE;
    sqlite3_reset(insertStatement);
    return done;
}

bool CHistoryStore::deviceId(const QString &_devEui, qint64 *_id)
{
    // The registry hands DevEUIs over in upper case already: looked up as they come first.
    auto cached = deviceIds.constFind(_devEui);
    if (cached != deviceIds.constEnd()) {
        *_id = cached.value();
        return true;
    }
    const QString devEui = _devEui.toUpper();
    cached = deviceIds.constFind(devEui);
    if (cached != deviceIds.constEnd()) {
        *_id = cached.value();
        return true;
    }
    {
        CStatement find(db, "SELECT id FROM devices WHERE dev_eui = ?1");
        find.bind(1, devEui.toUtf8());
        const int step = find.step();
        if (step == SQLITE_ROW) {
            *_id = find.integer(0);
            deviceIds.insert(devEui, *_id);
            return true;
        }
        if (step != SQLITE_DONE)
            return false;
    }
    CStatement add(db, "INSERT INTO devices (dev_eui) VALUES (?1)");
    add.bind(1, devEui.toUtf8());
    if (add.step() != SQLITE_DONE)
        return false;
    *_id = sqlite3_last_insert_rowid(db);
    deviceIds.insert(devEui, *_id);
    return true;
}

bool CHistoryStore::layoutId(qint64 _device, const QVector<SHistoryValue> &_values, qint64 *_id)
{
    const QPair<qint64, QString> key(_device, layoutKey(_values));
    const auto cached = layoutIds.constFind(key);
    if (cached != layoutIds.constEnd()) {
        *_id = cached.value();
        return true;
    }
    const QByteArray names = HISTORY::layoutText(_values).toUtf8();
    {
        CStatement find(db, "SELECT id FROM layouts WHERE device = ?1 AND names = ?2");
        find.bind(1, _device);
        find.bind(2, names);
        const int step = find.step();
        if (step == SQLITE_ROW) {
            *_id = find.integer(0);
            layoutIds.insert(key, *_id);
            return true;
        }
        if (step != SQLITE_DONE)
            return false;
    }
    CStatement add(db, "INSERT INTO layouts (device, names) VALUES (?1, ?2)");
    add.bind(1, _device);
    add.bind(2, names);
    if (add.step() != SQLITE_DONE)
        return false;
    *_id = sqlite3_last_insert_rowid(db);
    layoutIds.insert(key, *_id);
    return true;
}

bool CHistoryStore::pruneStep(bool *_failed)
{
    // Removed devices first, then what is too old, then the oldest while the file is too big.
    {
        CStatement dropped(db, "SELECT device FROM dropped LIMIT 1");
        const int step = dropped.step();
        if (step == SQLITE_ROW) {
            const qint64 device = dropped.integer(0);
            if (deleteRows("DELETE FROM uplinks WHERE rowid IN (SELECT rowid FROM uplinks WHERE device = ?1 LIMIT ?2)",
                    device, _failed))
                return true;
            if (*_failed)
                return false;
            CStatement done(db, "DELETE FROM dropped WHERE device = ?1");
            done.bind(1, device);
            *_failed = done.step() != SQLITE_DONE;
            return !*_failed;
        }
        if (step != SQLITE_DONE) {
            *_failed = true;
            return false;
        }
    }
    const qint64 oldestKept = clock->epochMs() - qint64(settings.keepDays) * 24 * 3600 * 1000;
    {
        CStatement oldest(db, "SELECT time_ms FROM uplinks ORDER BY rowid LIMIT 1");
        const int step = oldest.step();
        if (step != SQLITE_ROW) {
            *_failed = step != SQLITE_DONE;
            return false;
        }
        if (oldest.integer(0) < oldestKept)
            return deleteRows("DELETE FROM uplinks WHERE rowid IN (SELECT rowid FROM uplinks ORDER BY rowid LIMIT ?2) "
                              "AND time_ms < ?1",
                oldestKept, _failed);
    }
    CStatement pages(db,
        "SELECT (SELECT page_count FROM pragma_page_count()) - (SELECT freelist_count FROM "
        "pragma_freelist_count()), (SELECT page_size FROM pragma_page_size())");
    if (pages.step() != SQLITE_ROW) {
        *_failed = true;
        return false;
    }
    if (pages.integer(0) * pages.integer(1) <= qint64(settings.maxMb) * 1024 * 1024)
        return false;
    return deleteRows(
        "DELETE FROM uplinks WHERE rowid IN (SELECT rowid FROM uplinks ORDER BY rowid LIMIT ?2)", 0, _failed);
}

bool CHistoryStore::deleteRows(const char *_sql, qint64 _bound, bool *_failed)
{
    CStatement statement(db, _sql);
    statement.bind(1, _bound);
    statement.bind(2, PRUNE_STEP_ROWS);
    if (statement.step() != SQLITE_DONE) {
        *_failed = true;
        return false;
    }
    return sqlite3_changes(db) > 0;
}

void CHistoryStore::failed(const QString &_what, int _code)
{
    if (_code == SQLITE_CORRUPT || _code == SQLITE_NOTADB) {
        if (moveAside(QStringLiteral("is damaged (%1)").arg(_what)))
            openFile();
        return;
    }
    pause(_code == SQLITE_FULL ? QStringLiteral("the disk is full") : _what);
}

void CHistoryStore::pause(const QString &_reason)
{
    // Once until it writes again, however often retrying fails.
    if (pauseReason.isEmpty())
        report(QStringLiteral("WARNING: [CHistoryStore] History paused, %1; registers are saved as before, and "
                              "history tries again by itself")
                   .arg(_reason));
    closeFile();
    state = EState::ePaused;
    pauseReason = _reason;
    retryAtMs = clock->nowMs() + RETRY_MS;
}

void CHistoryStore::report(const QString &_line)
{
    log->addLine(_line);
}

int CHistoryStore::errorCode() const
{
    return db ? sqlite3_extended_errcode(db) & 0xff : SQLITE_CANTOPEN;
}

QString CHistoryStore::lastError() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}
