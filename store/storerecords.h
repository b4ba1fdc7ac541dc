#pragma once

#include <QList>
#include <QMap>
#include <QMetaType>
#include <QString>
#include <QVector>

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
    // 0 answers a request of any unit identifier; 1-247 only its own (and 0's devices share it).
    quint8 unitId = 0;
    // Seconds without an uplink after which the values are stale; 0 never.
    qint32 staleAfter = 0;
    EStalePolicy stalePolicy = EStalePolicy::Keep;
};

} // namespace DB

// What the gateway counts of one device's uplinks; kept with the device across restarts.
struct SDeviceCounters {
    // Every uplink received, decoded or dropped.
    quint64 uplinks = 0;
    // Frames missed, from gaps in the frame counter.
    quint64 lost = 0;
    // Uplinks dropped for a wrong size or an unknown packet type.
    quint64 errors = 0;
    bool hasFcnt = false;
    quint32 lastFcnt = 0;
    // Wall-clock ms of the last decoded uplink; -1 when none yet.
    qint64 lastUplinkMs = -1;
};

// One register written by a decoded uplink: row startAddr + regOffset.
struct SRegisterValue {
    QString value;
    QString fullValue;
    qint32 regOffset = 0;
    // What a Modbus client reads: the decoder's word, carried with its text.
    uint16_t word = 0;
};

// One decoded value of an uplink as its registers hold it, scaled, for the history.
struct SHistoryValue {
    QString name;
    double value = 0;
    QString unit;
};

// All registers of one decoded uplink.
struct SDeviceRegData {
    QString devEui;
    qint32 startAddr = 0;
    QVector<SRegisterValue> registers;
    // The numbers a decoded uplink carried and when it was received (ms since 1970); none when refused.
    QVector<SHistoryValue> values;
    qint64 receivedMs = 0;
};

// Scaling parameters of one register; the defaults apply when it is not found.
struct SRegisterParam {
    qint32 regAddr = 0;
    double startValue = 0;
    double gratingPeriod = 1;
    QString unit;
};

// A register whose scaling is not the plain one (multiplier 1, nothing added, no unit), by its address.
struct SRegisterScale {
    qint64 regAddr = 0;
    double startValue = 0;
    double gratingPeriod = 1;
    QString unit;
};

// A stored device as a gateway starts from: its settings (no register map), port and counters,
// and the registers whose scaling is not the plain one.
struct SStoredDevice {
    quint32 deviceId = 0;
    DB::SDeviceRegMapDescription device;
    uint16_t port = 0;
    SDeviceCounters counters;
    QVector<SRegisterScale> scaled;
};

struct SRegisterUpdate {
    quint32 regAddr = 0;
    double startValue = 0;
    double gratingPeriod = 1;
    QString unit;
};

// Edited register parameters of one device, and its settings when hasSettings.
struct SDeviceRegUpdate {
    quint32 deviceId = 0;
    quint16 port = 0;
    QList<SRegisterUpdate> registers;
    bool hasSettings = false;
    EWordOrder wordOrder = EWordOrder::Big;
    quint8 unitId = 0;
    qint32 staleAfter = 0;
    EStalePolicy stalePolicy = EStalePolicy::Keep;
};

// Why a Modbus read gets no registers: no device on the port answers the unit, or a
// device with the exception policy has stale or never received values in the range.
enum class EReadStatus { OK, NO_UNIT, STALE };

struct SRegisterRead {
    EReadStatus status = EReadStatus::OK;
    QMap<uint16_t, uint16_t> words;
};

Q_DECLARE_METATYPE(DB::SDeviceRegMapDescription)
