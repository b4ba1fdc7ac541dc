#include "devices/registerscaling.h"

#include <QMap>

#include <algorithm>

CRegisterScaling::CRegisterScaling(const QVector<SRegisterScale> &_registers)
{
    *this = CRegisterScaling().with(_registers);
}

CRegisterScaling CRegisterScaling::ofMap(qint64 _startAddr, const QList<SRegisterDescription> &_registers)
{
    QVector<SRegisterScale> scales;
    for (const SRegisterDescription &reg : _registers)
        scales.append(SRegisterScale { _startAddr + reg.offset, reg.startValue, reg.gratingPeriod, reg.unit });
    return CRegisterScaling(scales);
}

SRegisterParam CRegisterScaling::at(qint64 _regAddr) const
{
    SRegisterParam param;
    param.regAddr = qint32(_regAddr);
    const auto found = std::lower_bound(registers.constBegin(), registers.constEnd(), _regAddr,
        [](const SRegisterScale &_scale, qint64 _addr) { return _scale.regAddr < _addr; });
    if (found != registers.constEnd() && found->regAddr == _regAddr) {
        param.startValue = found->startValue;
        param.gratingPeriod = found->gratingPeriod;
        param.unit = found->unit;
    }
    return param;
}

CRegisterScaling CRegisterScaling::with(const QVector<SRegisterScale> &_changed) const
{
    QMap<qint64, SRegisterScale> byAddress;
    for (const SRegisterScale &scale : registers)
        byAddress.insert(scale.regAddr, scale);
    for (const SRegisterScale &scale : _changed)
        byAddress.insert(scale.regAddr, scale);
    CRegisterScaling result;
    for (const SRegisterScale &scale : byAddress) {
        if (scale.startValue != 0 || scale.gratingPeriod != 1 || !scale.unit.isEmpty())
            result.registers.append(scale);
    }
    return result;
}
