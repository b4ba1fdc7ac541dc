#pragma once

#include <QString>
#include <QStringList>

#include "devices/codecengine.h"
#include "devices/devicetemplate.h"
#include "devices/registerscaling.h"
#include "server/apitypes.h"
#include "store/storerecords.h"

// What one uplink turns into: the registers to store, or a rejection. logLines are the
// lines for the log file in the order they arose, the rejection's reason included.
struct SDecodedUplink
{
    bool accepted = false;
    // A rejected uplink's registers are those of its counters only.
    SDeviceRegData data;
    QStringList logLines;
    // The device's counters with this uplink.
    SDeviceCounters counters;
    // Why a decoder refused the uplink; the caller decides how often the log hears of it.
    QString refusal;
};

// The value a payload field holds, before any register scaling.
struct SFieldValue
{
    // The log line when the field cannot be read; nothing else is set then.
    QString problem;
    // integer and uinteger: the number as a 64-bit two's complement pattern.
    quint64 bits = 0;
    float number = 0;
    QString text;
};

// Reads one field from a payload in the field's byte order. Fields that cannot be read
// (not byte-aligned, unsupported size or type, bytes outside the payload) give a problem.
SFieldValue readFieldValue(const SDevicePacketField &_field, const QByteArray &_payload);

// Decodes one uplink of a served device with its template and its registers' scaling: server
// values, packet type from the first payload byte, size check, then every field of the packet.
// A pure function of its arguments: nothing is looked up elsewhere. Reads nothing
// outside the payload and writes no register beyond each value's own ones. 32- and 64-bit
// numbers are written in the device's word order.
// _previous are the device's counters before this uplink and _nowMs the time of reception
// (ms since 1970), which a decoded uplink makes the device's last.
SDecodedUplink decodeUplink(const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling,
    const SDeviceCounters &_previous = SDeviceCounters(), qint64 _nowMs = 0);

// Decodes one uplink of a decoder template from the object its codec or the network server
// decoded: server values, then each decoded field found in the object, in the device's word
// order and scaling. A refused object (_decoded.error) counts an error and stores only the counters.
SDecodedUplink decodeObjectUplink(const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling, const SCodecResult &_decoded,
    const SDeviceCounters &_previous = SDeviceCounters(), qint64 _nowMs = 0);

// What one decoded field of a template makes of a decoded object, as a line for the
// operator: the registers it fills (from the device's start, big word order, the
// template's scaling), or why it fills none.
struct STryField
{
    QString line;
    QVector<uint16_t> words;
};
QList<STryField> tryDecodedFields(const SDeviceTemplate &_template, const QJsonObject &_data);

// The counters after one more uplink with frame counter _fcnt: a jump forward by n counts n - 1
// lost frames, a step back (a counter reset) none; _decoded false counts an error.
SDeviceCounters nextCounters(const SDeviceCounters &_previous, quint32 _fcnt, bool _decoded, qint64 _nowMs);
