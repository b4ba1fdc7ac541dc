#pragma once

#include <QHash>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include "store/storerecords.h"

// The part of the register store that every Modbus poll reads: register words by port, unit
// and address, and which registers each device has. Kept in memory so a poll never waits for
// SQLite. The store changes it only after its own transaction has committed. Scaling is not
// here: the registry keeps it with the devices it decodes for.
class CRegisterImage
{
public:
    // Replaces the image with the tables' current content; false with SQLite's reason
    // in *_error if a query failed, also halfway through its rows. Age registers are kept:
    // they come from the templates, not the tables.
    bool load(const QSqlDatabase &_db, QString *_error);

    // The id of the device with that DevEUI (any case); false when there is none.
    bool findDevice(const QString &_devEui, uint32_t *_deviceId) const;
    uint16_t devicePort(uint32_t _deviceId) const;
    // True when the device has a row for the register.
    bool hasRegister(uint32_t _deviceId, qint64 _regAddr) const;
    // The word at each address of the range, 0 where nothing is stored, as devices of unit 0 give them.
    QMap<uint16_t, uint16_t> words(uint16_t _port, int32_t _first, int32_t _count) const;
    // What a request of unit _unit reads at _nowMs (ms since 1970): the words of the port's devices
    // of that unit and of unit 0, ages computed now, or why it gets none.
    SRegisterRead read(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count, qint64 _nowMs) const;
    // True when the port's words are read as they are stored: every device of unit 0, no computed
    // registers, no stale policy. Such a port is read with copyWords.
    bool isPlainPort(uint16_t _port) const;
    // The stored words of a range within 0-65535 into _out[0.._count): a copy of contiguous words.
    void copyWords(uint16_t _port, int _first, int _count, uint16_t *_out) const;

    void addDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port,
                   const DB::SDeviceRegMapDescription &_settings = DB::SDeviceRegMapDescription(), bool _rebuildPort = true);
    void addRegister(uint32_t _deviceId, qint64 _regAddr);
    // A word of the port as devices of unit 0 give it.
    void setWord(uint16_t _port, qint64 _regAddr, uint16_t _word);
    // The word of a device's register, in its unit's words.
    void setDeviceWord(uint32_t _deviceId, qint64 _regAddr, uint16_t _word);
    SDeviceCounters counters(uint32_t _deviceId) const;
    void setCounters(uint32_t _deviceId, const SDeviceCounters &_counters);
    // Registers holding the seconds since the device's last uplink: first address and width in bits.
    void setAgeRegisters(uint32_t _deviceId, const QList<QPair<qint64, int>> &_registers);
    // True when the device has stale_after set and no decoded uplink for longer (or none at all).
    bool isStale(uint32_t _deviceId, qint64 _nowMs) const;
    // Forgets the device; its port's words are read again since devices may share addresses.
    bool removeDevice(const QSqlDatabase &_db, uint32_t _deviceId);

private:
    struct SDeviceState
    {
        QString devEui;
        uint16_t port = 0;
        uint8_t unit = 0;
        EWordOrder wordOrder = EWordOrder::Big;
        qint32 staleAfter = 0;
        EStalePolicy stalePolicy = EStalePolicy::Keep;
        SDeviceCounters counters;
        // Address of every register row, ascending, and whether it holds a value yet: two flat
        // vectors, since a large store holds millions of registers.
        QVector<qint64> addresses;
        QVector<bool> written;
        QList<QPair<qint64, int>> ageRegisters;
    };
    // Words of the devices of one non-zero unit on a port, and which addresses they own.
    struct SUnitWords
    {
        QVector<uint16_t> words;
        QVector<bool> owned;
    };
    // What a read of the port must look at beyond unit 0's words; empty for today's plain ports.
    struct SPortInfo
    {
        QMap<uint8_t, int> devicesByUnit;
        // Devices with the exception policy or age registers.
        QList<uint32_t> computed;
    };

    static quint32 unitKey(uint16_t _port, uint8_t _unit) { return (quint32(_port) << 8) | _unit; }
    bool loadWords(const QSqlDatabase &_db, int _port);
    // Notes the register row of the device (unwritten when new); its index in the device's vectors.
    static int addAddress(SDeviceState &_device, qint64 _regAddr);
    void rebuildPortInfo(uint16_t _port);
    // True when a read of [_first, _first + _count) gets exception 0x0B for the device.
    bool refusesRead(const SDeviceState &_device, qint64 _first, qint64 _count, qint64 _nowMs) const;
    void overlayAges(const SDeviceState &_device, qint64 _first, qint64 _count, qint64 _nowMs,
        QMap<uint16_t, uint16_t> &_words) const;

    QHash<QString, uint32_t> deviceIds; // upper-case DevEUI
    QHash<uint32_t, SDeviceState> devices;
    // The devices of each port, so that a port's information looks at its own devices only.
    QHash<uint16_t, QVector<uint32_t>> portDevices;
    // Per port, the word of every address up to the highest one in use (absent ones read 0):
    // a poll reads its range without a search. At most 128 KiB a port. Devices of unit 0 only.
    QHash<uint16_t, QVector<uint16_t>> wordsByPort;
    QHash<quint32, SUnitWords> wordsByUnit;
    QHash<uint16_t, SPortInfo> portInfo;
};
