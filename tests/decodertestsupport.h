#pragma once

// What the decoder tests share: templates, devices and uplinks built from parts, and the
// decoded registers as text. Decoding works on byte vectors alone: no sockets, no store, no registry.

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include "app/globaltables.h"
#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"

inline const QString DEV_EUI = QStringLiteral("70B3D5E75F600001");
inline const QString WARNING = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ");

inline SDevicePacketField field(int packetBias, int bitSize, const QString &type, int regBitSize,
    const QString &name = QStringLiteral("F"), int regMapBias = 2, int bitBias = 0)
{
    SDevicePacketField f;
    f.packetBias = packetBias;
    f.dataBitBias = bitBias;
    f.dataBitSize = bitSize;
    f.dataType = type;
    f.regMapBias = regMapBias;
    f.regBitSize = regBitSize;
    f.dataName = name;
    f.valid = true;
    return f;
}

Q_DECLARE_METATYPE(SDevicePacketField)

inline SDeviceTemplate templateOf(int packetType, int packetSize, const QList<SDevicePacketField> &fields)
{
    SDeviceTemplate t;
    t.valid = true;
    SDevicePacket packet;
    packet.packetType = packetType;
    packet.packetSize = packetSize;
    packet.fields = fields;
    packet.valid = true;
    t.packets.insert(packetTypeKey(packetType), packet);
    return t;
}

inline void addServerValue(SDeviceTemplate &t, const QString &keyword, int regMapBias, int width)
{
    SServerData s;
    s.keyword = keyword;
    s.regMapBias = regMapBias;
    s.regBitSize = width;
    s.valid = true;
    t.serverData.insert(keyword, s);
}

inline DB::SDeviceRegMapDescription deviceAt(int startAddr)
{
    DB::SDeviceRegMapDescription d;
    d.devEui = DEV_EUI;
    d.startAddr = startAddr;
    return d;
}

inline API::SApiDeviceData uplinkWith(const char *payloadHex)
{
    API::SApiDeviceData u;
    u.devEui = DEV_EUI;
    u.ts = 1700000000123ULL;
    u.gatewayId = QStringLiteral("AABBCCDD11223344");
    u.fcnt = 0x12345678;
    u.rssi = -100;
    u.snr = 7.5;
    u.data = QByteArray::fromHex(payloadHex);
    return u;
}

// Registers as "offset:value:full" separated by spaces, in the order produced.
inline QString registersText(const QVector<SRegisterValue> &registers)
{
    QStringList parts;
    for (const SRegisterValue &r : registers)
        parts << QStringLiteral("%1:%2:%3").arg(r.regOffset).arg(r.value, r.fullValue);
    return parts.join(QLatin1Char(' '));
}

// Register parameters kept by address, as the registry hands them to decoding.
struct FakeParams
{
    QMap<qint64, SRegisterParam> params;

    CRegisterScaling source() const
    {
        QVector<SRegisterScale> scales;
        for (auto it = params.constBegin(); it != params.constEnd(); ++it)
            scales.append(SRegisterScale { it.key(), it->startValue, it->gratingPeriod });
        return CRegisterScaling(scales);
    }
};

inline SRegisterParam param(qint32 gratingPeriod, qint32 startValue)
{
    SRegisterParam p;
    p.gratingPeriod = gratingPeriod;
    p.startValue = startValue;
    return p;
}

Q_DECLARE_METATYPE(QVector<SRegisterScale>)
