#include "store/cregisterimage.h"

#include <QSqlError>
#include <QSet>
#include <QSqlQuery>
#include <QVariant>

#include <algorithm>

#include "app/ceui.h"
#include "app/globaltables.h"
#include "store/registerword.h"
#include "store/storecolumns.h"

namespace {

const qint64 LAST_ADDRESS = 0xFFFF;
const int REGISTER_BITS = 16;

bool isModbusAddress(qint64 _regAddr)
{
    return _regAddr >= 0 && _regAddr <= LAST_ADDRESS;
}

QString addedColumn(int _column)
{
    return QString::fromLatin1(DEVICE_ADDED_COLUMNS[_column - DEV_COL_UNIT_ID].name);
}

// Seconds since _lastMs held to the register's width; the largest value when nothing came yet.
quint32 ageSeconds(qint64 _lastMs, qint64 _nowMs, int _bits)
{
    const quint64 highest = _bits <= REGISTER_BITS ? 0xFFFFu : 0xFFFFFFFFu;
    if (_lastMs < 0)
        return quint32(highest);
    const qint64 seconds = std::max<qint64>(0, (_nowMs - _lastMs) / 1000);
    return quint32(std::min<quint64>(quint64(seconds), highest));
}

bool failed(const QSqlQuery &_query, QString *_error)
{
    const QSqlError error = _query.lastError();
    *_error = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return false;
}

} // namespace

bool CRegisterImage::load(const QSqlDatabase &_db, QString *_error)
{
    QHash<QString, QList<QPair<qint64, int>>> ages;
    for (const SDeviceState &device : devices)
        ages.insert(CEui(device.devEui).text(), device.ageRegisters);
    deviceIds.clear();
    devices.clear();
    portDevices.clear();
    wordsByPort.clear();
    wordsByUnit.clear();
    portInfo.clear();

    QSqlQuery rowsOfDevices(_db);
    rowsOfDevices.setForwardOnly(true);
    QStringList columns
        = { devicesColumns.at(DEV_COL_DEVICE), devicesColumns.at(DEV_COL_DEV_EUI), devicesColumns.at(DEV_COL_PORT) };
    for (int column = DEV_COL_UNIT_ID; column < DEV_ALL_COLUMN_COUNT; ++column)
        columns << addedColumn(column);
    if (!rowsOfDevices.exec(
            QStringLiteral("SELECT %1 FROM %2;").arg(columns.join(QStringLiteral(", ")), DB_TABLE_DEVICES)))
        return failed(rowsOfDevices, _error);
    while (rowsOfDevices.next()) {
        const auto value = [&](int _column) { return rowsOfDevices.value(3 + _column - DEV_COL_UNIT_ID); };
        DB::SDeviceRegMapDescription settings;
        settings.unitId = uint8_t(value(DEV_COL_UNIT_ID).toUInt());
        wordOrderFromName(value(DEV_COL_WORD_ORDER).toString(), &settings.wordOrder);
        settings.staleAfter = value(DEV_COL_STALE_AFTER).toInt();
        stalePolicyFromName(value(DEV_COL_STALE_POLICY).toString(), &settings.stalePolicy);
        const uint32_t id = rowsOfDevices.value(0).toUInt();
        addDevice(id, rowsOfDevices.value(1).toString(), uint16_t(rowsOfDevices.value(2).toUInt()), settings, false);
        SDeviceCounters counters;
        counters.uplinks = value(DEV_COL_UPLINKS).toULongLong();
        counters.lost = value(DEV_COL_LOST).toULongLong();
        counters.errors = value(DEV_COL_ERRORS).toULongLong();
        counters.hasFcnt = !value(DEV_COL_LAST_FCNT).isNull();
        counters.lastFcnt = quint32(value(DEV_COL_LAST_FCNT).toULongLong());
        counters.lastUplinkMs = value(DEV_COL_LAST_UPLINK).isNull() ? -1 : value(DEV_COL_LAST_UPLINK).toLongLong();
        devices[id].counters = counters;
        devices[id].ageRegisters = ages.value(CEui(rowsOfDevices.value(1).toString()).text());
    }
    // A read that stops at a damaged page ends the loop like the last row does.
    if (rowsOfDevices.lastError().isValid())
        return failed(rowsOfDevices, _error);

    // device, port, reg_addr, value; each device's rows come together, in the order they were written.
    QSqlQuery rows(_db);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT %1, %2, %3, %4 FROM %5;")
                       .arg(devDataColumns.at(REG_COL_DEVICE), devDataColumns.at(REG_COL_PORT),
                           devDataColumns.at(REG_COL_REG_ADDR), devDataColumns.at(REG_COL_VALUE), DB_TABLE_DEV_DATA)))
        return failed(rows, _error);
    while (rows.next()) {
        const qint64 regAddr = rows.value(2).toLongLong();
        const uint32_t deviceId = rows.value(0).toUInt();
        const QVariant value = rows.value(3);
        if (devices.contains(deviceId)) {
            addRegister(deviceId, regAddr);
            if (!value.isNull())
                setDeviceWord(deviceId, regAddr, registerWord(value.toString()));
        } else {
            // Rows of no device still answer on their port, as they always have.
            setWord(uint16_t(rows.value(1).toUInt()), regAddr, registerWord(value.toString()));
        }
    }
    if (rows.lastError().isValid())
        return failed(rows, _error);
    for (auto it = portDevices.constBegin(); it != portDevices.constEnd(); ++it)
        rebuildPortInfo(it.key());
    return true;
}

bool CRegisterImage::loadWords(const QSqlDatabase &_db, int _port)
{
    QSqlQuery rows(_db);
    rows.setForwardOnly(true);
    rows.prepare(QStringLiteral("SELECT %1, %2, %3 FROM %4 WHERE %5=:port;")
                     .arg(devDataColumns.at(REG_COL_REG_ADDR), devDataColumns.at(REG_COL_VALUE),
                         devDataColumns.at(REG_COL_DEVICE), DB_TABLE_DEV_DATA, devDataColumns.at(REG_COL_PORT)));
    rows.bindValue(QStringLiteral(":port"), _port);
    if (!rows.exec())
        return false;
    wordsByPort.remove(uint16_t(_port));
    for (auto it = wordsByUnit.begin(); it != wordsByUnit.end();) {
        if ((it.key() >> 8) == quint32(_port))
            it = wordsByUnit.erase(it);
        else
            ++it;
    }
    while (rows.next()) {
        const uint32_t deviceId = rows.value(2).toUInt();
        const qint64 regAddr = rows.value(0).toLongLong();
        const uint16_t word = registerWord(rows.value(1).toString());
        if (devices.contains(deviceId)) {
            addRegister(deviceId, regAddr);
            setDeviceWord(deviceId, regAddr, word);
            SDeviceState &device = devices[deviceId];
            device.written[addAddress(device, regAddr)] = !rows.value(1).isNull();
        } else {
            setWord(uint16_t(_port), regAddr, word);
        }
    }
    return !rows.lastError().isValid();
}

bool CRegisterImage::findDevice(const QString &_devEui, uint32_t *_deviceId) const
{
    // Uplinks carry their DevEUI in upper case already: look it up as it is first.
    auto found = deviceIds.constFind(_devEui);
    if (found == deviceIds.constEnd())
        found = deviceIds.constFind(CEui(_devEui).text());
    if (found == deviceIds.constEnd())
        return false;
    *_deviceId = found.value();
    return true;
}

uint16_t CRegisterImage::devicePort(uint32_t _deviceId) const
{
    return devices.value(_deviceId).port;
}

bool CRegisterImage::hasRegister(uint32_t _deviceId, qint64 _regAddr) const
{
    const auto device = devices.constFind(_deviceId);
    return device != devices.constEnd()
        && std::binary_search(device->addresses.constBegin(), device->addresses.constEnd(), _regAddr);
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

bool CRegisterImage::isPlainPort(uint16_t _port) const
{
    return !portInfo.contains(_port);
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

SRegisterRead CRegisterImage::read(uint16_t _port, uint8_t _unit, int32_t _first, int32_t _count, qint64 _nowMs) const
{
    SRegisterRead result;
    const auto info = portInfo.constFind(_port);
    // A port of unit-0 devices without computed registers reads as it always has.
    if (info == portInfo.constEnd()) {
        result.words = words(_port, _first, _count);
        return result;
    }
    const QMap<uint8_t, int> &units = info->devicesByUnit;
    if (!units.contains(0) && !units.contains(_unit)) {
        result.status = EReadStatus::NO_UNIT;
        return result;
    }
    const bool ownUnit = _unit != 0 && units.contains(_unit);
    for (uint32_t id : info->computed) {
        const SDeviceState &device = devices.value(id);
        if ((device.unit == 0 || (ownUnit && device.unit == _unit)) && refusesRead(device, _first, _count, _nowMs)) {
            result.status = EReadStatus::STALE;
            return result;
        }
    }
    result.words = words(_port, _first, _count);
    if (ownUnit) {
        const auto unitWords = wordsByUnit.constFind(unitKey(_port, _unit));
        if (unitWords != wordsByUnit.constEnd()) {
            for (auto it = result.words.begin(); it != result.words.end(); ++it) {
                const int addr = it.key();
                if (addr < unitWords->owned.size() && unitWords->owned.at(addr))
                    it.value() = unitWords->words.at(addr);
            }
        }
    }
    for (uint32_t id : info->computed) {
        const SDeviceState &device = devices.value(id);
        if (device.unit == 0 || (ownUnit && device.unit == _unit))
            overlayAges(device, _first, _count, _nowMs, result.words);
    }
    return result;
}

bool CRegisterImage::isStale(uint32_t _deviceId, qint64 _nowMs) const
{
    const auto device = devices.constFind(_deviceId);
    if (device == devices.constEnd() || device->staleAfter <= 0)
        return false;
    return device->counters.lastUplinkMs < 0
        || _nowMs - device->counters.lastUplinkMs > qint64(device->staleAfter) * 1000;
}

bool CRegisterImage::refusesRead(const SDeviceState &_device, qint64 _first, qint64 _count, qint64 _nowMs) const
{
    if (_device.stalePolicy != EStalePolicy::Exception)
        return false;
    int at = int(std::lower_bound(_device.addresses.constBegin(), _device.addresses.constEnd(), _first)
                 - _device.addresses.constBegin());
    if (at == _device.addresses.size() || _device.addresses.at(at) >= _first + _count)
        return false; // the read does not touch the device
    const bool stale = _device.counters.lastUplinkMs < 0
        || (_device.staleAfter > 0 && _nowMs - _device.counters.lastUplinkMs > qint64(_device.staleAfter) * 1000);
    if (stale)
        return true;
    for (; at < _device.addresses.size() && _device.addresses.at(at) < _first + _count; ++at) {
        if (!_device.written.at(at))
            return true;
    }
    return false;
}

void CRegisterImage::overlayAges(
    const SDeviceState &_device, qint64 _first, qint64 _count, qint64 _nowMs, QMap<uint16_t, uint16_t> &_words) const
{
    for (const auto &reg : _device.ageRegisters) {
        const quint32 age = ageSeconds(_device.counters.lastUplinkMs, _nowMs, reg.second);
        QList<uint16_t> parts;
        if (reg.second <= REGISTER_BITS)
            parts = { uint16_t(age) };
        else if (_device.wordOrder == EWordOrder::Little)
            parts = { uint16_t(age & 0xFFFF), uint16_t(age >> 16) };
        else
            parts = { uint16_t(age >> 16), uint16_t(age & 0xFFFF) };
        for (int k = 0; k < parts.size(); ++k) {
            const qint64 addr = reg.first + k;
            if (addr >= _first && addr < _first + _count && isModbusAddress(addr))
                _words[uint16_t(addr)] = parts.at(k);
        }
    }
}

void CRegisterImage::addDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port,
                               const DB::SDeviceRegMapDescription &_settings, bool _rebuildPort)
{
    deviceIds.insert(CEui(_devEui).text(), _deviceId);
    const bool known = devices.contains(_deviceId);
    SDeviceState &device = devices[_deviceId];
    if (known && device.port != _port)
        portDevices[device.port].removeOne(_deviceId);
    if (!known || device.port != _port)
        portDevices[_port].append(_deviceId);
    device.devEui = _devEui;
    device.port = _port;
    device.unit = _settings.unitId;
    device.wordOrder = _settings.wordOrder;
    device.staleAfter = _settings.staleAfter;
    device.stalePolicy = _settings.stalePolicy;
    if (_rebuildPort)
        rebuildPortInfo(_port);
}

void CRegisterImage::addRegister(uint32_t _deviceId, qint64 _regAddr)
{
    const auto device = devices.find(_deviceId);
    if (device == devices.end())
        return;
    addAddress(*device, _regAddr);
    if (device->unit != 0 && isModbusAddress(_regAddr)) {
        SUnitWords &unitWords = wordsByUnit[unitKey(device->port, device->unit)];
        if (_regAddr >= unitWords.owned.size()) {
            unitWords.owned.resize(int(_regAddr) + 1);
            unitWords.words.resize(int(_regAddr) + 1);
        }
        unitWords.owned[int(_regAddr)] = true;
    }
}

void CRegisterImage::setDeviceWord(uint32_t _deviceId, qint64 _regAddr, uint16_t _word)
{
    const auto device = devices.find(_deviceId);
    if (device == devices.end() || !isModbusAddress(_regAddr))
        return;
    device->written[addAddress(*device, _regAddr)] = true;
    if (device->unit == 0) {
        setWord(device->port, _regAddr, _word);
        return;
    }
    SUnitWords &unitWords = wordsByUnit[unitKey(device->port, device->unit)];
    if (_regAddr >= unitWords.words.size()) {
        unitWords.owned.resize(int(_regAddr) + 1);
        unitWords.words.resize(int(_regAddr) + 1);
    }
    unitWords.words[int(_regAddr)] = _word;
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

SDeviceCounters CRegisterImage::counters(uint32_t _deviceId) const
{
    return devices.value(_deviceId).counters;
}

void CRegisterImage::setCounters(uint32_t _deviceId, const SDeviceCounters &_counters)
{
    const auto device = devices.find(_deviceId);
    if (device != devices.end())
        device->counters = _counters;
}

void CRegisterImage::setAgeRegisters(uint32_t _deviceId, const QList<QPair<qint64, int>> &_registers)
{
    const auto device = devices.find(_deviceId);
    if (device == devices.end() || device->ageRegisters == _registers)
        return;
    device->ageRegisters = _registers;
    rebuildPortInfo(device->port);
}

int CRegisterImage::addAddress(SDeviceState &_device, qint64 _regAddr)
{
    // Rows come in the order of their addresses, mostly: the end is the usual place.
    if (_device.addresses.isEmpty() || _device.addresses.last() < _regAddr) {
        _device.addresses.append(_regAddr);
        _device.written.append(false);
        return _device.addresses.size() - 1;
    }
    const auto found = std::lower_bound(_device.addresses.begin(), _device.addresses.end(), _regAddr);
    const int at = int(found - _device.addresses.begin());
    if (found == _device.addresses.end() || *found != _regAddr) {
        _device.addresses.insert(at, _regAddr);
        _device.written.insert(at, false);
    }
    return at;
}

void CRegisterImage::rebuildPortInfo(uint16_t _port)
{
    SPortInfo info;
    bool plain = true;
    for (uint32_t id : portDevices.value(_port)) {
        const auto it = devices.constFind(id);
        if (it == devices.constEnd())
            continue;
        info.devicesByUnit[it->unit] += 1;
        const bool computed = it->stalePolicy == EStalePolicy::Exception || !it->ageRegisters.isEmpty();
        if (computed)
            info.computed.append(it.key());
        plain = plain && it->unit == 0 && !computed;
    }
    if (plain)
        portInfo.remove(_port);
    else
        portInfo.insert(_port, info);
}

bool CRegisterImage::removeDevice(const QSqlDatabase &_db, uint32_t _deviceId)
{
    const auto device = devices.constFind(_deviceId);
    if (device == devices.constEnd())
        return true;
    const uint16_t devicePort = device->port;
    const QString key = CEui(device->devEui).text();
    if (deviceIds.value(key) == _deviceId)
        deviceIds.remove(key);
    devices.remove(_deviceId);
    portDevices[devicePort].removeOne(_deviceId);
    if (portDevices.value(devicePort).isEmpty())
        portDevices.remove(devicePort);
    rebuildPortInfo(devicePort);
    return loadWords(_db, devicePort);
}
