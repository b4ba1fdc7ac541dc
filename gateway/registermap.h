#pragma once

#include <QList>
#include <QString>

class CGateway;

// One value of the register map as a SCADA engineer configures a poll for it.
struct SRegisterMapRow
{
    quint16 port = 0;
    int unitId = 0;
    // 0-based protocol address of the value's first register.
    int firstRegister = 0;
    int registerCount = 1;
    QString deviceName;
    QString devEui;
    QString valueName;
    QString format;
    // Empty for values of one register and texts: only wider numbers have a word order.
    QString wordOrder;
    double multiplier = 1;
    double addedValue = 0;
    QString unit;
};

// Every value of every stored device, by port, unit ID and first register.
QList<SRegisterMapRow> registerMap(const CGateway &_gateway);

// The holding register number of a 0-based address: 40001 + address, six digits (400001 +
// address) past 9998.
QString holdingRegisterNumber(int _address);
// The coil number of a 0-based coil address: 00001 + address, six digits past 9998.
QString coilNumber(int _address);

// The format of a coil's row; a coil is a space of its own, read with function 01.
inline const QString COIL_FORMAT = QStringLiteral("coil");

QString registerMapCsv(const QList<SRegisterMapRow> &_rows);
QString registerMapMarkdown(const QList<SRegisterMapRow> &_rows);
