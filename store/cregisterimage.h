#pragma once

#include <QHash>
#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include "store/storerecords.h"

// The part of the register store that every Modbus poll and every decoded
// uplink reads: register words by port and address, and scaling parameters by
// device and address. Kept in memory so a poll never waits for SQLite. The
// store changes it only after its own transaction has committed.
class CRegisterImage
{
public:
    // Replaces the image with the tables' current content; false with SQLite's reason
    // in *_error if a query failed, also halfway through its rows.
    bool load(const QSqlDatabase &_db, QString *_error);

    // The id of the device with that DevEUI (any case); false when there is none.
    bool findDevice(const QString &_devEui, uint32_t *_deviceId) const;
    uint16_t devicePort(uint32_t _deviceId) const;
    // Null when the register does not exist.
    const SRegisterParam *param(uint32_t _deviceId, qint64 _regAddr) const;
    // The word at each address of the range, 0 where nothing is stored.
    QMap<uint16_t, uint16_t> words(uint16_t _port, int32_t _first, int32_t _count) const;
    // The same into _out[0.._count), for a range within 0-65535: a copy of contiguous words.
    void copyWords(uint16_t _port, int _first, int _count, uint16_t *_out) const;

    void addDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port);
    void addRegister(uint32_t _deviceId, qint64 _regAddr, const SRegisterParam &_param);
    void setWord(uint16_t _port, qint64 _regAddr, uint16_t _word);
    void setParam(uint32_t _deviceId, qint64 _regAddr, int32_t _startValue, int32_t _gratingPeriod,
                  const QString &_unit);
    // Forgets the device; its port's words are read again since devices may share addresses.
    bool removeDevice(const QSqlDatabase &_db, uint32_t _deviceId);

private:
    static quint64 registerKey(uint32_t _deviceId, qint64 _regAddr);
    bool loadWords(const QSqlDatabase &_db, int _port);

    QHash<QString, uint32_t> deviceIds; // upper-case DevEUI
    QHash<uint32_t, uint16_t> ports;
    QHash<quint64, SRegisterParam> params;
    // Per port, the word of every address up to the highest one in use (absent ones read 0):
    // a poll reads its range without a search. At most 128 KiB a port.
    QHash<uint16_t, QVector<uint16_t>> wordsByPort;
};
