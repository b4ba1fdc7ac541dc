#pragma once

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

#include "app/cclock.h"
#include "store/cregisterimage.h"
#include "store/storerecords.h"

// The register store: the devices and one row per 16-bit register in "server.db".
// Every operation runs on the caller's thread, one at a time under the mutex.
class CDataBaseHandler : public QObject
{
    Q_OBJECT

public:
    static constexpr int DEFAULT_BUSY_TIMEOUT_MS = 5000;

    // The process-wide store on "server.db" in the working directory. None when the
    // database could not be opened; the next call tries again.
    static CDataBaseHandler *getInstance();

    // A store on _fileName; nothing is opened before open(). Each object has a
    // connection of its own, so a test can build as many as it likes.
    explicit CDataBaseHandler(const QString &_fileName, int _busyTimeoutMs = DEFAULT_BUSY_TIMEOUT_MS);
    ~CDataBaseHandler() override;

    // Opens or creates the tables and loads the register image; false with the
    // reason in *_error (and in the log) when the store cannot be used.
    bool open(QString *_error = nullptr);

    // Writes the device row and its register rows, all or nothing.
    bool registerNewDevice(const DB::SDeviceRegMapDescription &_info, const uint16_t &_port);
    // Writes every device with its registers in one transaction: all or none.
    bool registerNewDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices);
    // Reads the tables again after another process changed them; false when they cannot be read.
    bool reload();
    // Writes the registers of one uplink, all or nothing.
    bool saveRegisterData(const SDeviceRegData &_data);
    SRegisterParam getRegisterParam(const QString &_devEui, const uint32_t &_regAddr);
    // One entry per address of the range, 0 where nothing is stored. Answered from
    // memory: a poll never waits for the disk or for another process's lock.
    QMap<uint16_t, uint16_t> getRegisterData(const int32_t &_port, const int32_t &_startAddr, const int32_t &_count);
    QSqlQuery getDevices(const QString &_search);
    QSqlQuery getRegisters(const uint32_t &_deviceId);
    QStringList getRegisteredDevices();
    // All or nothing; false when nothing was changed because of a failure.
    bool updateRegInfo(const SDeviceRegUpdate &_update);
    bool deleteDevice(const uint32_t &_deviceId);

    // Value text of a register as the 16-bit word a Modbus client reads.
    static uint16_t registerWord(const QString &_value);

    // The clock ages and stale times are read on; the system's unless set.
    void setClock(CClock *_clock);
    // Every column of every device, the settings and counters included, by name.
    QSqlQuery getDeviceRows();
    // What a Modbus request of unit _unit reads from the port now: the words, or why none.
    SRegisterRead readRegisters(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count);
    // The device's counters as last saved; zero for an unknown device.
    SDeviceCounters getDeviceCounters(const QString &_devEui);
    bool saveDeviceCounters(const QString &_devEui, const SDeviceCounters &_counters);
    // Registers of the device that read the seconds since its last uplink (first address, width).
    void setAgeRegisters(const QString &_devEui, const QList<QPair<qint64, int>> &_registers);
    // True when the device's values are older than its stale_after (or never came).
    bool isDeviceStale(const QString &_devEui);

private:
    bool openTables();
    // The inserts of one device inside the caller's transaction; the rows to add to the image on commit.
    bool insertDevice(const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                      QList<QPair<qint64, SRegisterParam>> *_rows, uint32_t *_deviceId);
    void addToImage(uint32_t _deviceId, const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                    const QList<QPair<qint64, SRegisterParam>> &_rows);
    void useWriteAheadLog();
    bool createTable(const QString &_table, const QStringList &_columns, int _expected, const QString &_format);
    // Adds the devices columns a server.db of an older version lacks, with their defaults.
    bool addDeviceColumns();
    bool updateDeviceSettings(const SDeviceRegUpdate &_update);
    void createIndex(const QString &_name, const QString &_first, const QString &_second);
    // Id of the device with that DevEUI (any case): 0 with *_found false when absent.
    bool findDeviceId(const QString &_devEui, uint32_t *_id, bool *_found);
    bool prepareSaveQuery();

    QString fileName;
    int busyTimeoutMs;
    QString connectionName;
    QSqlDatabase db;
    QMutex mutex;
    CRegisterImage image;
    CClock *clock = CClock::system();
    // Prepared once: every uplink runs it for each of its registers.
    QSqlQuery saveQuery;

    static CDataBaseHandler *instance;
};
