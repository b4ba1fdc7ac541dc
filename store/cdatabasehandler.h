#pragma once

#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QStringList>
#include <QVector>

#include <atomic>
#include <memory>

#include "app/cclock.h"
#include "store/cregisterimage.h"
#include "store/cregisterwriter.h"
#include "store/cstagedwriter.h"
#include "store/registerreader.h"
#include "store/storerecords.h"

class CGatewayCounters;
class CHistoryStore;
class CLogSink;

// The register store: the devices and one row per 16-bit register in "server.db", fronting
// the register image every poll reads. Opening and the read-only fallback are its own; the
// schema (CStoreSchema), the device table's SQL (CDeviceTable) and the writing of uplinks
// (CStagedWriter, on a thread of its own) are its parts. Every other operation runs on the
// caller's thread, one at a time under the connection's lock.
class CDataBaseHandler : public QObject, public CRegisterReader, private CStagedWriteTarget
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_BUSY_TIMEOUT_MS = 5000;
    // While saving fails, how often the log is told again.
    static constexpr qint64 SAVE_FAILURE_REPORT_MS = CStagedWriter::SAVE_FAILURE_REPORT_MS;
    // How often a store that cannot write looks whether its folder takes writes again.
    static constexpr qint64 REGAIN_INTERVAL_MS = 2000;

    // A store on _fileName; nothing is opened before open(). Each object has a
    // connection of its own, so a test can build as many as it likes.
    // _clock paces the reports of a failing save; _log hears every failure.
    explicit CDataBaseHandler(const QString &_fileName, int _busyTimeoutMs = DEFAULT_BUSY_TIMEOUT_MS,
                              CClock *_clock = CClock::system(), CLogSink *_log = nullptr);
    ~CDataBaseHandler() override;

    // Opens or creates the tables and loads the register image; false with the
    // reason in *_error (and in the log) when the store cannot be used.
    bool open(QString *_error = nullptr);
    // Where nothing can be written, open() serves the stored values instead of refusing (a
    // gateway after a reboot onto a read-only card); tools that change the file keep refusing.
    void setReadOnlyFallback(bool _allowed) { readOnlyFallback = _allowed; }
    // True while nothing can be saved.
    bool isReadOnly();

    // Writes the device row and its register rows, all or nothing.
    bool registerNewDevice(const DB::SDeviceRegMapDescription &_info, const uint16_t &_port);
    // Writes every device with its registers in one transaction: all or none.
    bool registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices);
    // Reads the tables again after another process changed them; false when they cannot be read.
    bool reload();
    // Writes the registers of one uplink, all or nothing, together with those earlier
    // uplinks could not write. Modbus serves the new values even when the write fails
    // (false): they stay in memory, unsaved, until a later save takes them along.
    bool saveRegisterData(const SDeviceRegData &_data);
    // The registers of several uplinks in one transaction, in order: a later uplink's value of
    // a register wins. The image takes them all at once after the transaction.
    bool saveRegisterBatch(const QList<SDeviceRegData> &_batch);
    // Hands the registers of several uplinks to the writing thread and returns at once with a
    // ticket (0 when none had a register to write). Modbus serves the values once their write is over.
    quint64 stageRegisterBatch(const QList<SDeviceRegData> &_batch);
    // Blocks until the write that took ticket _ticket along is over; whether it was saved.
    bool waitForWrite(quint64 _ticket);
    // The scaling and unit of one register as the file keeps them (decoding has its own copy, in the registry).
    SRegisterParam getRegisterParam(const QString &_devEui, const uint32_t &_regAddr);
    // One entry per address of the range, 0 where nothing is stored. Answered from
    // memory: a poll never waits for the disk or for another process's lock.
    QMap<uint16_t, uint16_t> getRegisterData(const int32_t &_port, const int32_t &_startAddr, const int32_t &_count);
    // What a Modbus poll of unit _unit reads, into _words[0.._count) for a range within 0-65535;
    // or why it reads nothing. Locks the image alone.
    EReadStatus readRegisters(uint16_t _port, uint8_t _unit, int _first, int _count, uint16_t *_words) override;
    // The rows are read whole under the store's lock: no query stays open on its connection.
    QVector<QSqlRecord> getDevices(const QString &_search);
    QVector<QSqlRecord> getRegisters(const uint32_t &_deviceId);
    QStringList getRegisteredDevices();
    // All or nothing; false when nothing was changed because of a failure.
    bool updateRegInfo(const SDeviceRegUpdate &_update);
    bool deleteDevice(const uint32_t &_deviceId);
    // Whether Modbus writes to the device send downlinks; read from the file each time, so a
    // change by another process counts at once. False when unknown or unreadable.
    bool isDeviceWritable(const QString &_devEui);
    bool setDeviceWritable(const QString &_devEui, bool _writable);

    // Value text of a register as the 16-bit word a Modbus client reads.
    static uint16_t registerWord(const QString &_value);

    // The clock ages, stale times and the reports of a failing save are read on; the one given
    // at construction unless set.
    void setClock(CClock *_clock);
    // Where each write's time is counted; it must outlive the store.
    void setCounters(CGatewayCounters *_counters) { writer->setCounters(_counters); }
    // Where the decoded values of the uplinks staged go besides the registers; it must outlive the store.
    void setHistory(CHistoryStore *_history) { writer->setHistory(_history); }
    // Every column of every device, the settings and counters included, by name.
    QVector<QSqlRecord> getDeviceRows();
    // Every device with its settings, port and counters, by name; with _scaling, its scaled
    // registers as well (one more query for all).
    QList<SStoredDevice> getStoredDevices(bool _scaling);
    // The registers whose multiplier is not 1, added value not 0 or unit not empty, by upper-case DevEUI: of
    // every device (one query for a gateway's start), or of _devEui alone.
    QHash<QString, QVector<SRegisterScale>> getScaledRegisters(const QString &_devEui = QString());
    // What a Modbus request of unit _unit reads from the port now: the words, or why none.
    SRegisterRead readRegisters(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count);
    // The device's counters as last saved; zero for an unknown device.
    SDeviceCounters getDeviceCounters(const QString &_devEui);
    bool saveDeviceCounters(const QString &_devEui, const SDeviceCounters &_counters);
    // Registers of the device that read the seconds since its last uplink (first address, width).
    void setAgeRegisters(const QString &_devEui, const QList<QPair<qint64, int>> &_registers);
    // True when the device's values are older than its stale_after (or never came).
    bool isDeviceStale(const QString &_devEui);

signals:
    // Saving uplinks stopped working (with SQLite's reason) or works again. Emitted on the
    // thread that saved, with the store unlocked.
    void savingStatusChanged(bool _saving, QString _reason);
    // A write is over, saved or not, and Modbus serves its values: every ticket up to
    // _ticket. Emitted on the writing thread.
    void registersWritten(quint64 _ticket);

private:
    bool openTables();
    // Opens the connection: the file read-write, or (_readOnly) the file as it is, or an empty
    // store in memory when there is no file.
    bool openConnection(bool _readOnly);
    // Read-only: whether the folder takes writes again; if so, the file is reopened for writing.
    // Under mutex.
    bool regainWriting();
    // Read-only: tries to regain writing at most once a REGAIN_INTERVAL_MS; true when writing
    // works. Under mutex.
    bool writingWorks();
    bool prepareRegisterWriter(QString *_error);
    void addToImage(uint32_t _deviceId, const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                    const QList<QPair<qint64, SRegisterParam>> &_rows);

    // What the staged writer asks of the store.
    bool commitWrite(const SStagedWrite &_write, QString *_error) override;
    bool savesNothing() const override { return readOnly; }
    void retryWriting() override;
    void reportSavingStatus(bool _saving, const QString &_reason) override { emit savingStatusChanged(_saving, _reason); }
    void reportWritten(quint64 _ticket) override { emit registersWritten(_ticket); }

    QString fileName;
    bool readOnlyFallback = false;
    int busyTimeoutMs;
    CClock *clock;
    CLogSink *log;
    QString connectionName;
    QSqlDatabase db;
    // Locks, always taken in this order: mutex, imageMutex, then the writer's own.
    // Held for every use of the database connection, by the writing thread too.
    QMutex mutex;
    // Held for every use of the image, so a poll, which takes it alone, never waits for the disk.
    QMutex imageMutex;
    CRegisterImage image;
    // Prepared once: every uplink runs it for each of its registers.
    CRegisterWriter registerWriter;
    std::unique_ptr<CStagedWriter> writer;
    // Started where nothing can be written: serving the stored values, saving nothing until
    // the folder takes writes again. Under mutex.
    std::atomic<bool> readOnly { false };
    QString readOnlyReason;
    qint64 lastRegainMs = 0;
};
