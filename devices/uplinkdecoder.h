#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "devices/devicetemplate.h"
#include "server/apitypes.h"
#include "store/storerecords.h"

// Scaling parameters of one register, looked up by DevEUI and register address.
using RegisterParamSource = std::function<SRegisterParam(const QString &_devEui, uint32_t _regAddr)>;

// What one uplink turns into: the registers to store, or a rejection. logLines are the
// lines for the log file in the order they arose, the rejection's reason included.
struct SDecodedUplink
{
    bool accepted = false;
    SDeviceRegData data;
    QStringList logLines;
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

// Decodes one uplink of a served device with its template: server values, packet type
// from the first payload byte, size check, then every field of the packet. Reads nothing
// outside the payload and writes no register beyond each value's own ones. 32- and 64-bit
// numbers are written in the device's word order.
SDecodedUplink decodeUplink(const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, const RegisterParamSource &_params);
