#pragma once

#include <QList>
#include <QMetaType>
#include <QString>

#include "store/registerdescription.h"

namespace DB {

// One served device and its register map.
struct SDeviceRegMapDescription {
    QString devEui;
    QString appEui;
    QString name;
    qint32 startAddr = 0;
    QList<SRegisterDescription> registers;
    EWordOrder wordOrder = EWordOrder::Big;
    // Modbus writes to the device's commands send downlinks; off unless asked for.
    bool writable = false;
};

} // namespace DB

// One register written by a decoded uplink: row startAddr + regOffset.
struct SRegisterValue {
    QString value;
    QString fullValue;
    qint32 regOffset = 0;
    // What a Modbus client reads: the decoder's word, carried with its text.
    uint16_t word = 0;
};

// All registers of one decoded uplink.
struct SDeviceRegData {
    QString devEui;
    qint32 startAddr = 0;
    QList<SRegisterValue> registers;
};

// Scaling parameters of one register; the defaults apply when it is not found.
struct SRegisterParam {
    qint32 regAddr = 0;
    qint32 startValue = 0;
    qint32 gratingPeriod = 1;
    QString unit;
};

struct SRegisterUpdate {
    quint32 regAddr = 0;
    qint32 startValue = 0;
    qint32 gratingPeriod = 1;
    QString unit;
};

// Edited register parameters of one device.
struct SDeviceRegUpdate {
    quint32 deviceId = 0;
    quint16 port = 0;
    QList<SRegisterUpdate> registers;
};

Q_DECLARE_METATYPE(DB::SDeviceRegMapDescription)
