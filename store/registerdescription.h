#pragma once

#include <QList>
#include <QString>

// Order of the 16-bit words of a 32- or 64-bit number in the register map: Big puts the
// most significant word at the lowest address, Little the least significant.
enum class EWordOrder { Big, Little };

// Name, type and colour under which the operator sees a device model.
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
    qint32 startValue = 0;
    qint32 gratingPeriod = 1;
    QString unit;
};

struct SDeviceRegMap {
    QString appEui;
    QList<SRegisterDescription> registers;
};
