#include "store/cregisterimage.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

#include "app/constants.h"
#include "app/globaltables.h"
#include "store/registerword.h"
#include "store/storecolumns.h"

namespace {

const qint64 LAST_ADDRESS = 0xFFFF;

bool isModbusAddress(qint64 _regAddr) { return _regAddr >= 0 && _regAddr <= LAST_ADDRESS; }

bool failed(const QSqlQuery &_query, QString *_error)
{
    const QSqlError error = _query.lastError();
    *_error = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return false;
}

} // namespace

quint64 CRegisterImage::registerKey(uint32_t _deviceId, qint64 _regAddr)
{
    return (quint64(_deviceId) << 32) ^ quint64(quint32(_regAddr));
}

bool CRegisterImage::load(const QSqlDatabase &_db, QString *_error)
{
    deviceIds.clear();
    ports.clear();
    params.clear();
    wordsByPort.clear();

    QSqlQuery devices(_db);
    devices.setForwardOnly(true);
    if (!devices.exec(QStringLiteral("SELECT %1, %2, %3 FROM %4;")
                          .arg(devicesColumns.at(DEV_COL_DEVICE), devicesColumns.at(DEV_COL_DEV_EUI), devicesColumns.at(DEV_COL_PORT),
                               DB_TABLE_DEVICES)))
        return failed(devices, _error);
    while (devices.next())
        addDevice(devices.value(0).toUInt(), devices.value(1).toString(), uint16_t(devices.value(2).toUInt()));
    // A read that stops at a damaged page ends the loop like the last row does.
    if (devices.lastError().isValid())
        return failed(devices, _error);

    // device, port, reg_addr, start_value, grating_period, value, unit
    QSqlQuery rows(_db);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT %1, %2, %3, %4, %5, %6, %7 FROM %8;")
                       .arg(devDataColumns.at(REG_COL_DEVICE), devDataColumns.at(REG_COL_PORT), devDataColumns.at(REG_COL_REG_ADDR),
                            devDataColumns.at(REG_COL_START_VALUE), devDataColumns.at(REG_COL_GRATING_PERIOD),
                            devDataColumns.at(REG_COL_VALUE), devDataColumns.at(REG_COL_UNIT), DB_TABLE_DEV_DATA)))
        return failed(rows, _error);
    while (rows.next()) {
        const qint64 regAddr = rows.value(2).toLongLong();
        addRegister(rows.value(0).toUInt(), regAddr,
                    SRegisterParam{qint32(regAddr), rows.value(3).toInt(), rows.value(4).toInt(),
                                   rows.value(6).toString()});
        setWord(uint16_t(rows.value(1).toUInt()), regAddr, registerWord(rows.value(5).toString()));
    }
    if (rows.lastError().isValid())
        return failed(rows, _error);
    return true;
}

bool CRegisterImage::loadWords(const QSqlDatabase &_db, int _port)
{
    QSqlQuery rows(_db);
    rows.setForwardOnly(true);
    rows.prepare(QStringLiteral("SELECT %1, %2 FROM %3 WHERE %4=:port;")
                     .arg(devDataColumns.at(REG_COL_REG_ADDR), devDataColumns.at(REG_COL_VALUE), DB_TABLE_DEV_DATA,
                          devDataColumns.at(REG_COL_PORT)));
    rows.bindValue(QStringLiteral(":port"), _port);
    if (!rows.exec())
        return false;
    wordsByPort.remove(uint16_t(_port));
    while (rows.next())
        setWord(uint16_t(_port), rows.value(0).toLongLong(), registerWord(rows.value(1).toString()));
    return !rows.lastError().isValid();
}

bool CRegisterImage::findDevice(const QString &_devEui, uint32_t *_deviceId) const
{
    const auto found = deviceIds.constFind(_devEui.toUpper());
    if (found == deviceIds.constEnd())
        return false;
    *_deviceId = found.value();
    return true;
}

uint16_t CRegisterImage::devicePort(uint32_t _deviceId) const
{
    return ports.value(_deviceId, 0);
}

const SRegisterParam *CRegisterImage::param(uint32_t _deviceId, qint64 _regAddr) const
{
    const auto found = params.constFind(registerKey(_deviceId, _regAddr));
    return found == params.constEnd() ? nullptr : &found.value();
}

QMap<uint16_t, uint16_t> CRegisterImage::words(uint16_t _port, int32_t _first, int32_t _count) const
{
    QMap<uint16_t, uint16_t> result;
    const auto portWords = wordsByPort.constFind(_port);
    const int stored = portWords == wordsByPort.constEnd() ? 0 : portWords->size();
    // Largest address first: each key then goes in at the front in constant time.
    for (qint64 addr = qint64(_first) + _count - 1; addr >= _first; --addr) {
        const uint16_t word = (addr >= 0 && addr < stored) ? portWords->at(int(addr)) : 0;
        if (isModbusAddress(addr))
            result.insert(result.constBegin(), uint16_t(addr), word);
        else // past 65535 the address wraps, as the 16-bit key of a register always has
            result.insert(uint16_t(addr), word);
    }
    return result;
}

void CRegisterImage::copyWords(uint16_t _port, int _first, int _count, uint16_t *_out) const
{
    const auto portWords = wordsByPort.constFind(_port);
    const int stored = portWords == wordsByPort.constEnd() ? 0 : portWords->size();
    const int available = qBound(0, stored - _first, _count);
    if (available > 0)
        std::copy_n(portWords->constData() + _first, available, _out);
    std::fill(_out + available, _out + _count, uint16_t(0));
}

void CRegisterImage::addDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port)
{
    deviceIds.insert(_devEui.toUpper(), _deviceId);
    ports.insert(_deviceId, _port);
}

void CRegisterImage::addRegister(uint32_t _deviceId, qint64 _regAddr, const SRegisterParam &_param)
{
    params.insert(registerKey(_deviceId, _regAddr), _param);
}

void CRegisterImage::setWord(uint16_t _port, qint64 _regAddr, uint16_t _word)
{
    if (!isModbusAddress(_regAddr))
        return;
    QVector<uint16_t> &portWords = wordsByPort[_port];
    if (_regAddr >= portWords.size())
        portWords.resize(int(_regAddr) + 1);
    portWords[int(_regAddr)] = _word;
}

void CRegisterImage::setParam(uint32_t _deviceId, qint64 _regAddr, int32_t _startValue, int32_t _gratingPeriod,
                              const QString &_unit)
{
    const auto found = params.find(registerKey(_deviceId, _regAddr));
    if (found == params.end())
        return;
    found->startValue = _startValue;
    found->gratingPeriod = _gratingPeriod;
    found->unit = _unit;
}

bool CRegisterImage::removeDevice(const QSqlDatabase &_db, uint32_t _deviceId)
{
    const auto port = ports.constFind(_deviceId);
    if (port == ports.constEnd())
        return true;
    const uint16_t devicePort = port.value();
    ports.remove(_deviceId);
    for (auto it = deviceIds.begin(); it != deviceIds.end();) {
        if (it.value() == _deviceId)
            it = deviceIds.erase(it);
        else
            ++it;
    }
    for (auto it = params.begin(); it != params.end();) {
        if ((it.key() >> 32) == _deviceId)
            it = params.erase(it);
        else
            ++it;
    }
    return loadWords(_db, devicePort);
}
