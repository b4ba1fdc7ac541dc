#pragma once

#include <QHash>
#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QSqlRecord>
#include <QStringList>
#include <QVector>

#include "store/storerecords.h"

class CLogSink;

// The SQL of the devices and dev_data tables: a device's rows in, changed and out, and the
// rows read back as copies. Runs inside the caller's lock and transaction; logs its failures.
class CDeviceTable
{
public:
    CDeviceTable(const QSqlDatabase &_db, CLogSink *_log);

    // The device row and its register rows (continuations of wide registers included); the
    // rows to add to the register image, and the new device's id. Refuses a DevEUI already there.
    bool insertDevice(const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                      QList<QPair<qint64, SRegisterParam>> *_rows, uint32_t *_deviceId);
    // Start value, multiplier and unit of each register, and the settings when asked for.
    bool updateRegisters(const SDeviceRegUpdate &_update);
    bool deleteDevice(uint32_t _deviceId);

    // The window's columns of the devices whose name contains _search (all when empty), by name.
    QVector<QSqlRecord> devices(const QString &_search);
    // The first row of each of the device's registers, by address.
    QVector<QSqlRecord> registers(uint32_t _deviceId);
    // Every column of every device, by name.
    QVector<QSqlRecord> deviceRows();
    // Every device as a gateway starts from, by name, without the scaled registers: read
    // straight into records, since a large store has a hundred thousand of them.
    QList<SStoredDevice> storedDevices();
    // The registers whose multiplier is not 1, added value not 0 or unit not empty, by upper-case DevEUI: of
    // every device, or of _devEui alone.
    QHash<QString, QVector<SRegisterScale>> scaledRegisters(const QString &_devEui);
    // Start value, multiplier and unit of one register of the device; false when it has no such register.
    bool registerParam(const QString &_devEui, qint64 _regAddr, SRegisterParam *_param);
    QStringList registeredDevices();

    // False when unknown or unreadable.
    bool isWritable(const QString &_devEui);
    bool setWritable(const QString &_devEui, bool _writable);

private:
    bool updateSettings(const SDeviceRegUpdate &_update);
    // Id of the device with that DevEUI (any case): 0 with *_found false when absent.
    bool findDeviceId(const QString &_devEui, uint32_t *_id, bool *_found);

    QSqlDatabase db;
    CLogSink *log;
};
