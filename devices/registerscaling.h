#pragma once

#include <QList>
#include <QVector>

#include "store/registerdescription.h"
#include "store/storerecords.h"

// How one device's registers are scaled, by register address (start address plus offset): only
// the registers whose multiplier is not 1, whose added value is not 0 or that have a unit are
// listed, so the many devices that scale nothing cost nothing. The registry keeps one per served
// device.
class CRegisterScaling
{
public:
    CRegisterScaling() = default;
    // Any order; plain entries are left out, a later entry of an address wins.
    explicit CRegisterScaling(const QVector<SRegisterScale> &_registers);
    // The map's own scaling: each register's multiplier and added value at _startAddr + offset.
    static CRegisterScaling ofMap(qint64 _startAddr, const QList<SRegisterDescription> &_registers);

    // Multiplier, added value and unit of the register; 1, 0 and none when it is not listed.
    SRegisterParam at(qint64 _regAddr) const;
    // A copy with the registers of _changed set to their new scaling.
    CRegisterScaling with(const QVector<SRegisterScale> &_changed) const;
    const QVector<SRegisterScale> &scaled() const { return registers; }

private:
    // Ascending address, one entry an address.
    QVector<SRegisterScale> registers;
};
