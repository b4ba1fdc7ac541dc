#include "store/cdevicetable.h"

#include <QSet>
#include <QSqlQuery>
#include <QVariant>

#include "app/ceui.h"
#include "app/logsink.h"
#include "store/storecolumns.h"
#include "store/storesql.h"

using namespace StoreSql;

namespace {

// LIKE pattern for "name contains _text", with % and _ taken literally (ESCAPE '\').
QString containsPattern(QString _text)
{
    _text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    _text.replace(QLatin1Char('%'), QStringLiteral("\\%"));
    _text.replace(QLatin1Char('_'), QStringLiteral("\\_"));
    return QLatin1Char('%') + _text + QLatin1Char('%');
}

QVector<QSqlRecord> allRecords(QSqlQuery &_query)
{
    QVector<QSqlRecord> records;
    while (_query.next())
        records.append(_query.record());
    return records;
}

} // namespace

CDeviceTable::CDeviceTable(const QSqlDatabase &_db, CLogSink *_log)
    : db(_db)
    , log(_log)
{
}

bool CDeviceTable::insertDevice(const DB::SDeviceRegMapDescription &_info, uint16_t _port,
                                    QList<QPair<qint64, SRegisterParam>> *_rows, uint32_t *_deviceId)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::registerNewDevice]");

    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE %2=:%2 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, deviceColumn(DEV_COL_DEV_EUI)}));
    query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), _info.devEui);
    if (!query.exec() || !query.next()) {
        log->addLine(origin + QStringLiteral(" Invalid SQL request [1]"));
        return false;
    }
    if (query.value(0).toInt() != 0) {
        log->addLine(QStringLiteral("ERROR: %1 Device [%2] already exist!").arg(origin, _info.devEui));
        return false;
    }
    query.finish();

    query.prepare(sqlText(QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10) VALUES "
                                         "(:%2, :%3, :%4, :%5, :%6, :%7, :%8, :%9, :%10);"),
                          {DB_TABLE_DEVICES, deviceColumn(DEV_COL_NAME), deviceColumn(DEV_COL_APP_EUI), deviceColumn(DEV_COL_DEV_EUI), deviceColumn(DEV_COL_PORT),
                           deviceColumn(DEV_COL_START_ADDR), addedColumn(DEV_COL_UNIT_ID), addedColumn(DEV_COL_WORD_ORDER),
                           addedColumn(DEV_COL_STALE_AFTER), addedColumn(DEV_COL_STALE_POLICY)}));
    query.bindValue(param(addedColumn(DEV_COL_UNIT_ID)), _info.unitId);
    query.bindValue(param(addedColumn(DEV_COL_WORD_ORDER)), wordOrderName(_info.wordOrder));
    query.bindValue(param(addedColumn(DEV_COL_STALE_AFTER)), _info.staleAfter);
    query.bindValue(param(addedColumn(DEV_COL_STALE_POLICY)), stalePolicyName(_info.stalePolicy));
    query.bindValue(param(deviceColumn(DEV_COL_NAME)), textOrEmpty(_info.name));
    query.bindValue(param(deviceColumn(DEV_COL_APP_EUI)), textOrEmpty(_info.appEui));
    query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), textOrEmpty(_info.devEui));
    query.bindValue(param(deviceColumn(DEV_COL_PORT)), _port);
    query.bindValue(param(deviceColumn(DEV_COL_START_ADDR)), _info.startAddr);
    if (!query.exec()) {
        log->addLine(origin + QStringLiteral(" Invalid SQL request [2]"));
        return false;
    }

    if (_info.writable) {
        query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=1 WHERE %3=:%3;"),
                              {DB_TABLE_DEVICES, writableColumn(), deviceColumn(DEV_COL_DEV_EUI)}));
        query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), textOrEmpty(_info.devEui));
        if (!query.exec()) {
            log->addLine(origin + QStringLiteral(" Invalid SQL request [5]"));
            return false;
        }
    }

    uint32_t deviceId = 0;
    bool found = false;
    if (!findDeviceId(_info.devEui, &deviceId, &found)) {
        log->addLine(origin + QStringLiteral(" Invalid SQL request [3]"));
        return false;
    }
    if (!found) {
        log->addLine(QStringLiteral("ERROR: %1 Device [%2] is not created!").arg(origin, _info.devEui));
        return false;
    }
    if (deviceId == 0) {
        log->addLine(QStringLiteral("ERROR: %1 Device [%2] is not created [NULL ID]!").arg(origin, _info.devEui));
        return false;
    }

    query.prepare(sqlText(QStringLiteral("INSERT INTO %1 (%2, %3, %4, %5, %6, %7, %8, %9, %10, %11, %12) VALUES "
                                         "(:%2, :%3, :%4, :%5, :%6, :%7, :%8, :%9, :%10, :%11, :%12);"),
                          {DB_TABLE_DEV_DATA, registerColumn(REG_COL_DEVICE), registerColumn(REG_COL_PORT), registerColumn(REG_COL_REG_ADDR),
                           registerColumn(REG_COL_START_VALUE), registerColumn(REG_COL_GRATING_PERIOD), registerColumn(REG_COL_BIT_SIZE),
                           registerColumn(REG_COL_DATA_TYPE), registerColumn(REG_COL_NAME), registerColumn(REG_COL_PARENT), registerColumn(REG_COL_SOURCE),
                           registerColumn(REG_COL_UNIT)}));
    QList<QPair<qint64, SRegisterParam>> &insertedRows = *_rows;
    *_deviceId = deviceId;
    const auto insertRow = [&](qint64 _addr, const SRegisterDescription &_reg, bool _parent) {
        query.bindValue(param(registerColumn(REG_COL_DEVICE)), deviceId);
        query.bindValue(param(registerColumn(REG_COL_PORT)), _port);
        query.bindValue(param(registerColumn(REG_COL_REG_ADDR)), _addr);
        query.bindValue(param(registerColumn(REG_COL_START_VALUE)), _parent ? _reg.startValue : 0);
        query.bindValue(param(registerColumn(REG_COL_GRATING_PERIOD)), _parent ? _reg.gratingPeriod : 1);
        query.bindValue(param(registerColumn(REG_COL_BIT_SIZE)), _reg.bitSize);
        query.bindValue(param(registerColumn(REG_COL_DATA_TYPE)), textOrEmpty(_reg.dataType));
        query.bindValue(param(registerColumn(REG_COL_NAME)), _parent ? QVariant(textOrEmpty(_reg.name)) : QVariant(QVariant::String));
        query.bindValue(param(registerColumn(REG_COL_PARENT)), _parent ? 1 : 0);
        query.bindValue(param(registerColumn(REG_COL_SOURCE)), _parent ? _reg.source : 0);
        query.bindValue(param(registerColumn(REG_COL_UNIT)), _parent ? QVariant(textOrEmpty(_reg.unit)) : QVariant(QVariant::String));
        if (query.exec()) {
            insertedRows.append({_addr, SRegisterParam{qint32(_addr), _parent ? _reg.startValue : 0,
                                                       _parent ? _reg.gratingPeriod : 1,
                                                       _parent ? textOrEmpty(_reg.unit) : QString()}});
            return true;
        }
        log->addLine(origin + QStringLiteral(" Invalid SQL request [4]"));
        log->addLine(query.lastQuery() + QStringLiteral(" Error_text[") + query.lastError().text()
                         + QStringLiteral("]"));
        return false;
    };

    QSet<qint64> parentAddresses;
    for (const SRegisterDescription &reg : _info.registers) {
        const qint64 addr = qint64(_info.startAddr) + reg.offset;
        if (parentAddresses.contains(addr)) {
            log->addLine(QStringLiteral("WARNING: %1 Register [0x%2] for device [%3] already exist!")
                             .arg(origin, QStringLiteral("%1").arg(addr, 4, 16, QLatin1Char('0')), _info.devEui));
            continue;
        }
        parentAddresses.insert(addr);
        if (!insertRow(addr, reg, true))
            return false;
        for (qint64 k = 1; k < registersOfBits(reg.bitSize); ++k) {
            if (!insertRow(addr + k, reg, false))
                return false;
        }
    }
    return true;
}

bool CDeviceTable::findDeviceId(const QString &_devEui, uint32_t *_id, bool *_found)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, deviceColumn(DEV_COL_DEVICE), deviceColumn(DEV_COL_DEV_EUI)}));
    query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec())
        return false;
    *_found = query.next();
    *_id = *_found ? query.value(0).toUInt() : 0;
    return true;
}

QVector<QSqlRecord> CDeviceTable::devices(const QString &_search)
{
    QSqlQuery query(db);
    const QString filter = _search.isEmpty()
        ? QString()
        : sqlText(QStringLiteral("WHERE %1 LIKE :search ESCAPE '\\'"), {deviceColumn(DEV_COL_NAME)});
    // The window's columns only, whatever columns later versions added.
    query.prepare(sqlText(QStringLiteral("SELECT %4 FROM %1 %2 ORDER BY %3 ASC;"),
                          {DB_TABLE_DEVICES, filter, deviceColumn(DEV_COL_NAME), devicesColumns.join(QStringLiteral(", "))}));
    if (!_search.isEmpty())
        query.bindValue(QStringLiteral(":search"), containsPattern(_search));
    if (!query.exec())
        log->addLine(QStringLiteral("[CDataBaseHandler::getDevices] Invalid SQL request [1]"));
    return allRecords(query);
}

QVector<QSqlRecord> CDeviceTable::registers(uint32_t _deviceId)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT * FROM %1 WHERE %2=:%2 AND %3=1 ORDER BY %4 ASC;"),
                          {DB_TABLE_DEV_DATA, registerColumn(REG_COL_DEVICE), registerColumn(REG_COL_PARENT), registerColumn(REG_COL_REG_ADDR)}));
    query.bindValue(param(registerColumn(REG_COL_DEVICE)), _deviceId);
    if (!query.exec())
        log->addLine(QStringLiteral("[CDataBaseHandler::getRegisters] Invalid SQL request [1]"));
    return allRecords(query);
}

QVector<QSqlRecord> CDeviceTable::deviceRows()
{
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("SELECT * FROM %1 ORDER BY %2 ASC;"), {DB_TABLE_DEVICES, deviceColumn(DEV_COL_NAME)})))
        log->addLine(QStringLiteral("[CDataBaseHandler::getDeviceRows] Invalid SQL request [1]"));
    return allRecords(query);
}

QHash<QString, QVector<SRegisterScale>> CDeviceTable::scaledRegisters(const QString &_devEui)
{
    QHash<QString, QVector<SRegisterScale>> scaled;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    // Most registers are plain: only the others come back, so a large store answers quickly.
    QString text = sqlText(QStringLiteral("SELECT d.%3, r.%4, r.%5, r.%6, r.%10 FROM %1 r JOIN %2 d ON r.%7=d.%8 "
                                          "WHERE r.%9=1 AND (r.%5<>0 OR r.%6<>1 OR IFNULL(r.%10, '')<>'')"),
        { DB_TABLE_DEV_DATA, DB_TABLE_DEVICES, deviceColumn(DEV_COL_DEV_EUI), registerColumn(REG_COL_REG_ADDR),
          registerColumn(REG_COL_START_VALUE), registerColumn(REG_COL_GRATING_PERIOD), registerColumn(REG_COL_DEVICE),
          deviceColumn(DEV_COL_DEVICE), registerColumn(REG_COL_PARENT), registerColumn(REG_COL_UNIT) });
    if (!_devEui.isEmpty())
        text += QStringLiteral(" AND d.%1=:eui COLLATE NOCASE").arg(deviceColumn(DEV_COL_DEV_EUI));
    query.prepare(text + QLatin1Char(';'));
    if (!_devEui.isEmpty())
        query.bindValue(QStringLiteral(":eui"), _devEui);
    if (!query.exec()) {
        log->addLine(QStringLiteral("[CDataBaseHandler::getScaledRegisters] Invalid SQL request [1]: %1")
                         .arg(sqliteText(query.lastError())));
        return scaled;
    }
    while (query.next())
        scaled[CEui(query.value(0).toString()).text()].append(
            SRegisterScale { query.value(1).toLongLong(), query.value(2).toDouble(), query.value(3).toDouble(),
                             query.value(4).toString() });
    return scaled;
}

bool CDeviceTable::registerParam(const QString &_devEui, qint64 _regAddr, SRegisterParam *_param)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT r.%4, r.%5, r.%6 FROM %1 r JOIN %2 d ON r.%7=d.%8 "
                                         "WHERE d.%3=:eui COLLATE NOCASE AND r.%9=:addr;"),
        { DB_TABLE_DEV_DATA, DB_TABLE_DEVICES, deviceColumn(DEV_COL_DEV_EUI), registerColumn(REG_COL_START_VALUE),
          registerColumn(REG_COL_GRATING_PERIOD), registerColumn(REG_COL_UNIT), registerColumn(REG_COL_DEVICE),
          deviceColumn(DEV_COL_DEVICE), registerColumn(REG_COL_REG_ADDR) }));
    query.bindValue(QStringLiteral(":eui"), _devEui);
    query.bindValue(QStringLiteral(":addr"), _regAddr);
    if (!query.exec() || !query.next())
        return false;
    _param->regAddr = qint32(_regAddr);
    _param->startValue = query.value(0).toDouble();
    _param->gratingPeriod = query.value(1).toDouble();
    _param->unit = query.value(2).toString();
    return true;
}

QList<SStoredDevice> CDeviceTable::storedDevices()
{
    QList<SStoredDevice> devices;
    QStringList columns { deviceColumn(DEV_COL_NAME), deviceColumn(DEV_COL_APP_EUI), deviceColumn(DEV_COL_DEV_EUI),
                          deviceColumn(DEV_COL_PORT), deviceColumn(DEV_COL_START_ADDR), writableColumn(),
                          deviceColumn(DEV_COL_DEVICE) };
    for (int column = DEV_COL_UNIT_ID; column < DEV_ALL_COLUMN_COUNT; ++column)
        columns << addedColumn(column);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY %3 ASC;")
                        .arg(columns.join(QStringLiteral(", ")), DB_TABLE_DEVICES, deviceColumn(DEV_COL_NAME)))) {
        log->addLine(QStringLiteral("[CDataBaseHandler::getStoredDevices] Invalid SQL request [1]: %1")
                         .arg(sqliteText(query.lastError())));
        return devices;
    }
    while (query.next()) {
        const auto added = [&query](int _column) { return query.value(7 + _column - DEV_COL_UNIT_ID); };
        SStoredDevice stored;
        stored.deviceId = query.value(6).toUInt();
        DB::SDeviceRegMapDescription &device = stored.device;
        device.name = query.value(0).toString();
        device.appEui = query.value(1).toString();
        device.devEui = query.value(2).toString();
        stored.port = uint16_t(query.value(3).toUInt());
        device.startAddr = query.value(4).toInt();
        device.writable = query.value(5).toInt() != 0;
        device.unitId = quint8(added(DEV_COL_UNIT_ID).toUInt());
        wordOrderFromName(added(DEV_COL_WORD_ORDER).toString(), &device.wordOrder);
        device.staleAfter = added(DEV_COL_STALE_AFTER).toInt();
        stalePolicyFromName(added(DEV_COL_STALE_POLICY).toString(), &device.stalePolicy);
        stored.counters.uplinks = added(DEV_COL_UPLINKS).toULongLong();
        stored.counters.lost = added(DEV_COL_LOST).toULongLong();
        stored.counters.errors = added(DEV_COL_ERRORS).toULongLong();
        stored.counters.hasFcnt = !added(DEV_COL_LAST_FCNT).isNull();
        stored.counters.lastFcnt = quint32(added(DEV_COL_LAST_FCNT).toULongLong());
        stored.counters.lastUplinkMs
            = added(DEV_COL_LAST_UPLINK).isNull() ? -1 : added(DEV_COL_LAST_UPLINK).toLongLong();
        devices.append(stored);
    }
    return devices;
}

QStringList CDeviceTable::registeredDevices()
{
    QStringList result;
    QSqlQuery query(db);
    if (!query.exec(sqlText(QStringLiteral("SELECT %2 FROM %1;"), {DB_TABLE_DEVICES, deviceColumn(DEV_COL_DEV_EUI)}))) {
        log->addLine(QStringLiteral("[CDataBaseHandler::getRegisteredDevices] Invalid SQL request [1]"));
        return result;
    }
    while (query.next())
        result << CEui(query.value(0).toString()).text();
    return result;
}

bool CDeviceTable::isWritable(const QString &_devEui)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("SELECT %2 FROM %1 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, writableColumn(), deviceColumn(DEV_COL_DEV_EUI)}));
    query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec()) {
        log->addLine(QStringLiteral("[CDataBaseHandler::isDeviceWritable] Invalid SQL request [1]"));
        return false;
    }
    return query.next() && query.value(0).toInt() != 0;
}

bool CDeviceTable::setWritable(const QString &_devEui, bool _writable)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2 WHERE %3=:%3 COLLATE NOCASE;"),
                          {DB_TABLE_DEVICES, writableColumn(), deviceColumn(DEV_COL_DEV_EUI)}));
    query.bindValue(param(writableColumn()), _writable ? 1 : 0);
    query.bindValue(param(deviceColumn(DEV_COL_DEV_EUI)), _devEui);
    if (!query.exec() || query.numRowsAffected() != 1) {
        log->addLine(QStringLiteral("ERROR: [CDataBaseHandler::setDeviceWritable] Device [%1] is not changed")
                         .arg(_devEui));
        return false;
    }
    return true;
}

bool CDeviceTable::updateSettings(const SDeviceRegUpdate &_update)
{
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4, %5=:%5 WHERE %6=:%6;"),
                          {DB_TABLE_DEVICES, addedColumn(DEV_COL_UNIT_ID), addedColumn(DEV_COL_WORD_ORDER), addedColumn(DEV_COL_STALE_AFTER),
                           addedColumn(DEV_COL_STALE_POLICY), deviceColumn(DEV_COL_DEVICE)}));
    query.bindValue(param(addedColumn(DEV_COL_UNIT_ID)), _update.unitId);
    query.bindValue(param(addedColumn(DEV_COL_WORD_ORDER)), wordOrderName(_update.wordOrder));
    query.bindValue(param(addedColumn(DEV_COL_STALE_AFTER)), _update.staleAfter);
    query.bindValue(param(addedColumn(DEV_COL_STALE_POLICY)), stalePolicyName(_update.stalePolicy));
    query.bindValue(param(deviceColumn(DEV_COL_DEVICE)), _update.deviceId);
    if (query.exec())
        return true;
    log->addLine(QStringLiteral("ERROR: [CDataBaseHandler::updateRegInfo] Invalid SQL request [2]"));
    log->addLine(query.lastQuery());
    return false;
}

bool CDeviceTable::updateRegisters(const SDeviceRegUpdate &_update)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::updateRegInfo]");
    QSqlQuery query(db);
    query.prepare(sqlText(QStringLiteral("UPDATE %1 SET %2=:%2, %3=:%3, %4=:%4 WHERE %5=:%5 AND %6=:%6;"),
                          {DB_TABLE_DEV_DATA, registerColumn(REG_COL_START_VALUE), registerColumn(REG_COL_GRATING_PERIOD),
                           registerColumn(REG_COL_UNIT), registerColumn(REG_COL_DEVICE), registerColumn(REG_COL_REG_ADDR)}));
    for (const SRegisterUpdate &reg : _update.registers) {
        query.bindValue(param(registerColumn(REG_COL_START_VALUE)), reg.startValue);
        query.bindValue(param(registerColumn(REG_COL_GRATING_PERIOD)), reg.gratingPeriod);
        query.bindValue(param(registerColumn(REG_COL_UNIT)), textOrEmpty(reg.unit));
        query.bindValue(param(registerColumn(REG_COL_DEVICE)), _update.deviceId);
        query.bindValue(param(registerColumn(REG_COL_REG_ADDR)), reg.regAddr);
        if (!query.exec()) {
            log->addLine(QStringLiteral("ERROR: %1 Invalid SQL request [1]").arg(origin));
            log->addLine(query.lastQuery());
            return false;
        }
    }
    return !_update.hasSettings || updateSettings(_update);
}

bool CDeviceTable::deleteDevice(uint32_t _deviceId)
{
    const QString origin = QStringLiteral("[CDataBaseHandler::deleteDevice]");
    const QStringList tables = {DB_TABLE_DEVICES, DB_TABLE_DEV_DATA};
    const QStringList idColumns = {deviceColumn(DEV_COL_DEVICE), registerColumn(REG_COL_DEVICE)};
    for (int i = 0; i < tables.size(); ++i) {
        QSqlQuery query(db);
        query.prepare(sqlText(QStringLiteral("DELETE FROM %1 WHERE %2=:%2;"), {tables.at(i), idColumns.at(i)}));
        query.bindValue(param(idColumns.at(i)), _deviceId);
        if (!query.exec()) {
            log->addLine(QStringLiteral("%1 Invalid SQL request [%2]").arg(origin).arg(i + 1));
            return false;
        }
    }
    return true;
}
