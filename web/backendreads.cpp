#include "web/cgatewaybackend.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlRecord>

#include <algorithm>

#include "app/ceui.h"
#include "app/globaltables.h"
#include "app/registertext.h"
#include "app/timetext.h"
#include "gateway/cgateway.h"
#include "gateway/devicefiles.h"
#include "gateway/deviceinput.h"
#include "gateway/registermap.h"
#include "store/cgatewaycounters.h"
#include "store/chistoryreader.h"
#include "store/storecolumns.h"
#include "web/backendsupport.h"

using namespace WebBackend;

namespace {

void writeText(const QString &_text, QByteArray *_out)
{
    _out->append('"');
    for (const QChar c : _text) {
        const ushort code = c.unicode();
        if (code == '"' || code == '\\') {
            _out->append('\\');
            _out->append(char(code));
        } else if (code < 0x20) {
            _out->append(QByteArray("\\u00") + QByteArray::number(code, 16).rightJustified(2, '0'));
        } else if (code < 0x80) {
            _out->append(char(code));
        } else {
            _out->append(QString(c).toUtf8());
        }
    }
    _out->append('"');
}

void writeMember(const char *_name, QByteArray *_out)
{
    _out->append('"');
    _out->append(_name);
    _out->append("\":");
}

} // namespace

QJsonObject CGatewayBackend::deviceJson(const SDeviceRow &_row) const
{
    const DB::SDeviceRegMapDescription &device = _row.device;
    const SDeviceCounters counted = gateway->deviceCounters(device.devEui);
    qint16 rssi = 0;
    double snr = 0;
    const bool heard = counters->lastRadio(device.devEui, &rssi, &snr);
    return QJsonObject {
        { "devEui", device.devEui },
        { "name", device.name },
        { "template", _row.templateName },
        { "appEui", device.appEui },
        { "port", _row.port },
        { "unitId", device.unitId },
        { "startAddress", device.startAddr },
        { "wordOrder", wordOrderName(device.wordOrder) },
        { "staleAfter", device.staleAfter },
        { "stalePolicy", stalePolicyName(device.stalePolicy) },
        { "writable", device.writable },
        { "lastUplinkMs", counted.lastUplinkMs < 0 ? QJsonValue() : QJsonValue(double(counted.lastUplinkMs)) },
        { "ageSeconds", ageOf(counted.lastUplinkMs, gateway->clock()->epochMs()) },
        { "rssi", heard ? QJsonValue(rssi) : QJsonValue() },
        { "snr", heard ? QJsonValue(snr) : QJsonValue() },
        { "uplinks", double(counted.uplinks) },
        { "lost", double(counted.lost) },
        { "errors", double(counted.errors) },
        { "stale", gateway->isDeviceStale(device.devEui) },
    };
}

QByteArray CGatewayBackend::devices()
{
    const Rows stored = rows();
    const qint64 now = gateway->clock()->epochMs();
    // One writer at a time; the others take its list when nothing changed within the second.
    QMutexLocker locker(&listMutex);
    if (listChanges == changes && listSecond == now / 1000 && !cachedList.isEmpty())
        return cachedList;
    listChanges = changes;
    listSecond = now / 1000;
    QByteArray list;
    list.reserve(stored->size() * 400 + 2);
    list += '[';
    for (const SDeviceRow &row : *stored) {
        if (list.size() > 1)
            list += ',';
        writeDevice(row, now, &list);
    }
    list += ']';
    cachedList = list;
    return list;
}

void CGatewayBackend::writeDevice(const SDeviceRow &_row, qint64 _nowMs, QByteArray *_out) const
{
    const DB::SDeviceRegMapDescription &device = _row.device;
    const SDeviceCounters counted = gateway->deviceCounters(device.devEui);
    qint16 rssi = 0;
    double snr = 0;
    const bool heard = counters->lastRadio(device.devEui, &rssi, &snr);
    const auto text = [_out](const char *_name, const QString &_value) {
        writeMember(_name, _out);
        writeText(_value, _out);
        _out->append(',');
    };
    const auto number = [_out](const char *_name, const QByteArray &_value) {
        writeMember(_name, _out);
        _out->append(_value);
        _out->append(',');
    };
    const QByteArray null("null");
    _out->append('{');
    text("devEui", device.devEui);
    text("name", device.name);
    text("template", _row.templateName);
    text("appEui", device.appEui);
    number("port", QByteArray::number(_row.port));
    number("unitId", QByteArray::number(device.unitId));
    number("startAddress", QByteArray::number(device.startAddr));
    text("wordOrder", wordOrderName(device.wordOrder));
    number("staleAfter", QByteArray::number(device.staleAfter));
    text("stalePolicy", stalePolicyName(device.stalePolicy));
    number("writable", device.writable ? "true" : "false");
    number("lastUplinkMs", counted.lastUplinkMs < 0 ? null : QByteArray::number(counted.lastUplinkMs));
    number("ageSeconds", counted.lastUplinkMs < 0 ? null
                                                  : QByteArray::number(std::max<qint64>(0, _nowMs - counted.lastUplinkMs) / 1000));
    number("rssi", heard ? QByteArray::number(rssi) : null);
    number("snr", heard ? QByteArray::number(snr) : null);
    number("uplinks", QByteArray::number(counted.uplinks));
    number("lost", QByteArray::number(counted.lost));
    number("errors", QByteArray::number(counted.errors));
    writeMember("stale", _out);
    _out->append(gateway->isDeviceStale(device.devEui) ? "true}" : "false}");
}

bool CGatewayBackend::device(const QString &_devEui, QJsonObject *_device)
{
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return false;
    *_device = deviceJson(row);
    qint64 downlinkMs = 0;
    QString downlink;
    if (counters->lastDownlink(row.device.devEui, &downlinkMs, &downlink))
        _device->insert(QStringLiteral("lastDownlink"),
                        QJsonObject { { "timeMs", double(downlinkMs) }, { "text", downlink } });
    return true;
}

bool CGatewayBackend::registers(const QString &_devEui, QJsonArray *_registers)
{
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return false;
    QJsonArray list;
    const bool read = onGateway([this, &row, &list] {
        for (const QSqlRecord &record : gateway->registers(row.id)) {
            const auto cell = [&record](int _column) { return record.value(devDataColumns.at(_column)); };
            const int address = cell(REG_COL_REG_ADDR).toInt();
            const int count = std::max(1, (cell(REG_COL_BIT_SIZE).toInt() + 15) / 16);
            const QMap<uint16_t, uint16_t> words = gateway->registerWords(row.port, address, count);
            QString raw;
            for (int i = 0; i < count; ++i)
                raw += QStringLiteral("%1").arg(words.value(uint16_t(address + i)), 4, 16, QLatin1Char('0'));
            const QString unit = cell(REG_COL_UNIT).toString();
            const QVariant time = cell(REG_COL_TIME);
            list.append(QJsonObject {
                { "address", address },
                { "register", holdingRegisterNumber(address) },
                { "name", cell(REG_COL_NAME).toString() },
                { "raw", raw.toUpper() },
                { "value", registerValueText(cell(REG_COL_DATA_TYPE).toString(), cell(REG_COL_BIT_SIZE).toInt(),
                                             cell(REG_COL_FULL_VALUE), unit) },
                { "unit", unit },
                { "multiplier", cell(REG_COL_GRATING_PERIOD).toDouble() },
                { "added", cell(REG_COL_START_VALUE).toDouble() },
                { "timeMs", time.isNull() ? QJsonValue() : QJsonValue(time.toDouble()) },
            });
        }
    });
    if (!read)
        return false;
    *_registers = list;
    return true;
}

SWebResult CGatewayBackend::history(const QString &_devEui, const SHistoryQuery &_query)
{
    SWebResult result;
    SDeviceRow row;
    if (!findRow(_devEui, &row)) {
        result.status = 404;
        result.error = QStringLiteral("no device %1").arg(_devEui);
        return result;
    }
    const qint64 toMs = _query.hasTo ? _query.toMs : gateway->clock()->epochMs();
    const qint64 fromMs = _query.hasFrom ? _query.fromMs : toMs - 24 * 3600 * 1000;
    if (fromMs > toMs) {
        result.status = 400;
        result.error = QStringLiteral("from is after to");
        return result;
    }
    // Read on this worker with a connection of its own: the writer goes on meanwhile.
    CHistoryReader reader(gateway->historyFile());
    QString problem;
    QVector<SHistoryValueName> names;
    if (reader.open(&problem))
        names = reader.valueNames(row.device.devEui);
    QJsonArray values;
    QString value = _query.value;
    QString unit;
    for (const SHistoryValueName &name : qAsConst(names)) {
        values.append(QJsonObject { { "name", name.name }, { "unit", name.unit } });
        if (value.isEmpty())
            value = name.name;
        if (name.name == value)
            unit = name.unit;
    }
    SHistorySeries series;
    if (!value.isEmpty()) {
        if (std::none_of(names.begin(), names.end(), [&value](const SHistoryValueName &_name) { return _name.name == value; })) {
            result.status = 404;
            result.error = QStringLiteral("device %1 has no history of %2").arg(row.device.devEui, value);
            return result;
        }
        if (!reader.series(row.device.devEui, value, fromMs, toMs, _query.points, &series, &problem)) {
            result.status = 500;
            result.error = problem;
            return result;
        }
    }
    QJsonArray points;
    for (const SHistoryPoint &point : qAsConst(series.points)) {
        QJsonObject entry { { "time", isoTimeText(point.timeMs) }, { "ms", double(point.timeMs) } };
        if (series.bucketed) {
            entry.insert(QStringLiteral("min"), point.min);
            entry.insert(QStringLiteral("max"), point.max);
            entry.insert(QStringLiteral("mean"), point.mean);
            entry.insert(QStringLiteral("count"), point.count);
        } else {
            entry.insert(QStringLiteral("value"), point.mean);
        }
        points.append(entry);
    }
    result.body = QJsonObject { { "devEui", row.device.devEui }, { "value", value }, { "unit", series.unit.isEmpty() ? unit : series.unit },
                                { "from", isoTimeText(fromMs) }, { "to", isoTimeText(toMs) },
                                { "fromMs", double(fromMs) }, { "toMs", double(toMs) },
                                { "bucketed", series.bucketed }, { "values", values }, { "points", points } };
    return result;
}

bool CGatewayBackend::uplinks(const QString &_devEui, QJsonArray *_uplinks)
{
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return false;
    QHash<int, SRegisterDescription> described;
    onGateway([this, &row, &described] {
        for (const SRegisterDescription &reg : gateway->regMap(row.device.appEui).registers)
            described.insert(reg.offset, reg);
    });
    QJsonArray list;
    for (const CGatewayCounters::SUplink &uplink : counters->journal(row.device.devEui)) {
        QJsonObject entry { { "timeMs", double(uplink.epochMs) }, { "fcnt", double(uplink.fcnt) },
                            { "rssi", uplink.rssi }, { "snr", uplink.snr },
                            { "payload", QString::fromLatin1(uplink.payload.toHex()) },
                            { "accepted", uplink.accepted } };
        if (uplink.accepted) {
            QJsonObject values;
            for (const SRegisterValue &value : uplink.values) {
                const auto reg = described.constFind(value.regOffset);
                if (reg != described.constEnd())
                    values.insert(reg->name, registerValueText(reg->dataType, reg->bitSize, value.fullValue, reg->unit));
            }
            entry.insert(QStringLiteral("values"), values);
        } else {
            entry.insert(QStringLiteral("refusal"), uplink.refusal);
        }
        list.append(entry);
    }
    *_uplinks = list;
    return true;
}
