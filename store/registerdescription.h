#pragma once

#include <QList>
#include <QString>

// Order of the 16-bit words of a 32- or 64-bit number in the register map: Big puts the
// most significant word at the lowest address, Little the least significant.
enum class EWordOrder { Big, Little };

// What a Modbus read of a stale device's registers gets: the last values, or exception 0x0B.
enum class EStalePolicy { Keep, Exception };

// The names server.db, the command line and the exports use.
inline QString wordOrderName(EWordOrder _order)
{
    return _order == EWordOrder::Little ? QStringLiteral("little") : QStringLiteral("big");
}
inline bool wordOrderFromName(const QString &_name, EWordOrder *_order)
{
    if (_name != QLatin1String("big") && _name != QLatin1String("little"))
        return false;
    *_order = _name == QLatin1String("little") ? EWordOrder::Little : EWordOrder::Big;
    return true;
}
inline QString stalePolicyName(EStalePolicy _policy)
{
    return _policy == EStalePolicy::Exception ? QStringLiteral("exception") : QStringLiteral("keep");
}
inline bool stalePolicyFromName(const QString &_name, EStalePolicy *_policy)
{
    if (_name != QLatin1String("keep") && _name != QLatin1String("exception"))
        return false;
    *_policy = _name == QLatin1String("exception") ? EStalePolicy::Exception : EStalePolicy::Keep;
    return true;
}

// Name, type and colour under which the operator sees a device model.
// Registers a value of _bits takes in the map: one per started 16 bits, and at least one.
inline qint64 registersOfBits(qint64 _bits)
{
    return _bits > 16 ? (_bits + 15) / 16 : 1;
}

struct SDeviceTemplateInfo {
    QString appEui;
    QString devType;
    QString color; // "#rrggbb"; empty when unknown
};

// A register a Modbus client writes to send a downlink; 0 and 1 are server values and payload fields.
constexpr qint32 REGISTER_SOURCE_COMMAND = 2;

// One value of a device's register map. source: 0 = server value, 1 = payload field, 2 = command.
struct SRegisterDescription {
    QString name;
    qint32 source = 0;
    qint32 offset = 0;
    qint32 bitSize = 0;
    QString dataType;
    // Whole numbers except on float32 registers.
    double startValue = 0;
    double gratingPeriod = 1;
    QString unit;
    // The template's data_code for a server value, empty for a payload field.
    QString keyword;
    // How the value sits in its registers: int16, uint16, int32, uint32, int64, uint64, float32 or text.
    QString format;
};

struct SDeviceRegMap {
    QString appEui;
    QList<SRegisterDescription> registers;
};
