#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVector>

#include "app/cclock.h"
#include "store/historysettings.h"
#include "store/storerecords.h"

class CLogSink;
struct sqlite3;
struct sqlite3_stmt;

// Writes every decoded value to history.db, its own SQLite file beside server.db, and keeps
// it within its days and size. The store's writer hands it each write's uplinks after their
// registers are committed: history failing or falling behind never keeps a register unsaved.
// A damaged or foreign file is moved aside and a new one started; a full or read-only disk
// pauses history, which tries again by itself.
class CHistoryStore
{
public:
    // Uplinks waiting for a write at most; beyond, the oldest are not kept (and counted).
    static constexpr int MAX_WAITING_UPLINKS = 200000;
    // While it falls behind, how often the log is told.
    static constexpr qint64 BEHIND_REPORT_MS = 60000;
    // While paused, how often writing is tried again.
    static constexpr qint64 RETRY_MS = 5000;
    // Time a write spends on pruning at most, in steps of PRUNE_STEP_ROWS rows.
    static constexpr qint64 PRUNE_BUDGET_MS = 3;
    static constexpr int PRUNE_STEP_ROWS = 500;

    // _log hears when history pauses, resumes, falls behind or moves a file aside.
    CHistoryStore(const QString &_fileName, const SHistorySettings &_settings, CClock *_clock, CLogSink *_log);
    ~CHistoryStore();
    CHistoryStore(const CHistoryStore &) = delete;
    CHistoryStore &operator=(const CHistoryStore &) = delete;

    // Opens the file or starts one, and prunes what is due. False when history is off or
    // cannot be written now (the log says why); writes then try again by themselves.
    bool open();
    // Takes the values of decoded uplinks along for the next write. Any thread.
    void stage(const QList<SDeviceRegData> &_batch);
    // Writes what was staged in one transaction and prunes a small step. The writer's thread.
    void writeStaged();
    // Forgets the history of every device not in _devEuis; their rows go in later writes'
    // pruning steps. Any thread.
    void keepDevices(const QStringList &_devEuis);
    // True while values reach the file.
    bool isWriting();
    // The bytes the file's rows take (its free pages not counted); 0 when not open.
    qint64 usedBytes();

private:
    enum class EState { eClosed, eWriting, ePaused };

    bool openFile();
    void closeFile();
    // A file that is not ours or cannot be read goes aside; false when that failed too.
    bool moveAside(const QString &_why);
    bool exec(const char *_sql);
    bool prepareStatements();
    // Inside the caller's transaction; false on a failure of SQLite.
    bool insertUplink(const SDeviceRegData &_uplink);
    bool deviceId(const QString &_devEui, qint64 *_id);
    bool layoutId(qint64 _device, const QVector<SHistoryValue> &_values, qint64 *_id);
    // One step of pruning; false when nothing was due or a step failed.
    bool pruneStep(bool *_failed);
    bool deleteRows(const char *_sql, qint64 _bound, bool *_failed);
    // Decides what a failure of SQLite means: damage, a full disk, a refusing disk.
    void failed(const QString &_what, int _code);
    // Applies the latest keepDevices() once the file is open.
    void forgetRemoved();
    int errorCode() const;
    void pause(const QString &_reason);
    // The one place history speaks to the log.
    void report(const QString &_line);
    QString lastError() const;

    const QString fileName;
    const SHistorySettings settings;
    CClock *clock;
    CLogSink *log;

    // The uplinks waiting for the next write.
    QMutex stageMutex;
    QList<SDeviceRegData> waiting;
    qint64 notKept = 0;

    // Everything below: the connection and its state.
    QMutex mutex;
    sqlite3 *db = nullptr;
    sqlite3_stmt *insertStatement = nullptr;
    EState state = EState::eClosed;
    QString pauseReason;
    qint64 retryAtMs = 0;
    // Uplinks whose values were not kept since writing last worked.
    qint64 missed = 0;
    // Uplinks dropped at the bound and not yet reported, and when the log last heard of it.
    qint64 notReported = 0;
    qint64 lastBehindReportMs = -1;
    // Devices to keep, waiting (keepPending) for the file to be open.
    QStringList keptDevices;
    bool keepPending = false;
    // Ids of the rows written, cached: upper-case DevEUI, then device id and layout text.
    QHash<QString, qint64> deviceIds;
    QHash<QPair<qint64, QString>, qint64> layoutIds;
    struct SLastLayout
    {
        qint64 id = 0;
        QVector<SHistoryValue> values;
    };
    // By device id: the layout of its last uplink.
    QHash<qint64, SLastLayout> lastLayouts;
};
