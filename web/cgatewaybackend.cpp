#include "web/cgatewaybackend.h"

#include <QFile>
#include <QHash>
#include <QMetaObject>
#include <QMutexLocker>
#include <QSqlRecord>
#include <QThread>

#include <prometheus/counter.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>
#include <prometheus/text_serializer.h>

#include <algorithm>
#include <chrono>

#include "app/ceui.h"
#include "app/clogfile.h"
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

namespace {

// The log's tail read for the log page: enough for the most lines it asks.
const qint64 LOG_TAIL_BYTES = 2 * 1024 * 1024;

QString serverKindName(EServerKind _kind)
{
    switch (_kind) {
    case EServerKind::eWebSocket:
        return QStringLiteral("websocket");
    case EServerKind::eChirpStack:
        return QStringLiteral("chirpstack");
    case EServerKind::eTts:
        return QStringLiteral("tts");
    }
    return QString();
}

QString serverStatusName(int _status)
{
    switch (_status) {
    case COMM::eSuccess:
        return QStringLiteral("connected");
    case COMM::ePingWaiting:
    case COMM::eAuthWaiting:
        return QStringLiteral("connecting");
    case COMM::eInvalidPing:
        return QStringLiteral("no answer");
    case COMM::eInvalidAuth:
        return QStringLiteral("log-in refused");
    default:
        return QStringLiteral("disconnected");
    }
}

// The HTTP status of a refused device change.
int statusOf(EGatewayError _error)
{
    switch (_error) {
    case EGatewayError::ALREADY_REGISTERED:
    case EGatewayError::OVERLAP:
    case EGatewayError::PORT_BUSY:
        return 409;
    case EGatewayError::STORE_FAILED:
        return 500;
    default:
        return 400;
    }
}

SWebResult refused(int _status, const QString &_error)
{
    SWebResult result;
    result.status = _status;
    result.error = _error;
    return result;
}

// A JSON member as the command line's text: numbers and flags written out, absent empty.
QString memberText(const QJsonObject &_object, const QString &_key)
{
    const QJsonValue value = _object.value(_key);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number == double(qint64(number)) ? QString::number(qint64(number)) : QString::number(number);
    }
    return value.toString();
}

QJsonValue ageOf(qint64 _lastMs, qint64 _nowMs)
{
    return _lastMs < 0 ? QJsonValue() : QJsonValue(double(std::max<qint64>(0, _nowMs - _lastMs) / 1000));
}

} // namespace

CGatewayBackend::CGatewayBackend(CGateway *_gateway, CGatewayCounters *_counters, const QString &_logFile)
    : gateway(_gateway)
    , counters(_counters)
    , logFile(_logFile)
    , startedMs(_gateway->clock()->epochMs())
{
    const auto changed = [this] { ++changes; };
    connect(gateway, &CGateway::newDataForDevice, this, changed);
    connect(gateway, &CGateway::devicesChanged, this, [this] {
        rowsStale = true;
        ++changes;
    });
    serverStatus = gateway->serverStatus();
    connect(gateway, &CGateway::serverStatusChanged, this, [this](COMM::EServerStatus _status) {
        serverStatus = _status;
        ++changes;
    });
    connect(gateway, &CGateway::storeStatusChanged, this, [this](bool _saving, const QString &_reason) {
        QMutexLocker locker(&stateMutex);
        saving = _saving;
        savingProblem = _reason;
        ++changes;
    });
    // Counted on the writer's thread as it writes; the line is read from the file.
    connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, this, [this] { ++logLinesSeen; },
            Qt::DirectConnection);
}

void CGatewayBackend::stop()
{
    stopping = true;
    std::lock_guard<std::mutex> locker(waitMutex);
    waitDone.notify_all();
}

bool CGatewayBackend::onGateway(const std::function<void()> &_work)
{
    if (thread() == QThread::currentThread()) {
        _work();
        return true;
    }
    // The work may refer to the worker's stack: once the worker gives up, it must not run, and
    // once it runs, the worker waits for its end.
    struct SCall
    {
        bool started = false;
        bool done = false;
        bool abandoned = false;
    };
    auto call = std::make_shared<SCall>();
    // Queued to this object: a call still waiting when the console goes is dropped with it.
    QMetaObject::invokeMethod(this, [this, _work, call] {
        {
            std::lock_guard<std::mutex> locker(waitMutex);
            if (call->abandoned || stopping)
                return;
            call->started = true;
        }
        _work();
        std::lock_guard<std::mutex> locker(waitMutex);
        call->done = true;
        waitDone.notify_all();
    }, Qt::QueuedConnection);
    std::unique_lock<std::mutex> locker(waitMutex);
    waitDone.wait_for(locker, std::chrono::milliseconds(GATEWAY_WAIT_MS), [&] { return call->done || stopping; });
    if (call->started)
        waitDone.wait(locker, [&] { return call->done; });
    call->abandoned = true;
    return call->done;
}

CGatewayBackend::Rows CGatewayBackend::rows()
{
    {
        QMutexLocker locker(&stateMutex);
        if (!rowsStale && cachedRows)
            return cachedRows;
    }
    auto fresh = std::make_shared<QVector<SDeviceRow>>();
    const bool read = onGateway([this, fresh] {
        rowsStale = false;
        QHash<QString, quint32> ids;
        for (const QSqlRecord &record : gateway->devices(QString()))
            ids.insert(CEui(record.value(DEV_COL_DEV_EUI).toString()).text(), record.value(DEV_COL_DEVICE).toUInt());
        for (const auto &stored : gateway->storedDevices())
            fresh->append({ ids.value(CEui(stored.first.devEui).text()), stored.first, stored.second,
                            gateway->templateInfo(stored.first.appEui).devType });
    });
    QMutexLocker locker(&stateMutex);
    if (read)
        cachedRows = fresh;
    return cachedRows ? cachedRows : std::make_shared<const QVector<SDeviceRow>>();
}

bool CGatewayBackend::findRow(const QString &_devEui, SDeviceRow *_row)
{
    const CEui wanted(_devEui);
    // Held here: another worker may replace the cached list meanwhile.
    const Rows stored = rows();
    for (const SDeviceRow &row : *stored) {
        if (CEui(row.device.devEui) == wanted) {
            *_row = row;
            return true;
        }
    }
    return false;
}

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

QJsonObject CGatewayBackend::status()
{
    const qint64 now = gateway->clock()->epochMs();
    quint64 requests = 0;
    quint64 refusedTotal = 0;
    for (int function = 0; function < 256; ++function)
        requests += counters->modbusRequestCount(quint8(function));
    for (int reason = 0; reason < CGatewayCounters::REFUSAL_COUNT; ++reason)
        refusedTotal += counters->refused(CGatewayCounters::ERefusal(reason));
    QMutexLocker locker(&stateMutex);
    // The rate over at least a second since the last look.
    if (rateSampleMs == 0 || now - rateSampleMs >= 1000) {
        if (rateSampleMs != 0)
            requestRate = double(requests - rateSampleRequests) * 1000.0 / double(now - rateSampleMs);
        rateSampleMs = now;
        rateSampleRequests = requests;
    }
    return QJsonObject {
        { "version", QStringLiteral(KELVARA_VERSION) },
        { "serverKind", serverKindName(gateway->serverKind()) },
        { "serverStatus", serverStatusName(serverStatus) },
        { "uptimeSeconds", double((now - startedMs) / 1000) },
        { "uplinksLastMinute", counters->uplinksWithin(now, 60 * 1000) },
        { "uplinksLastHour", counters->uplinksWithin(now, 3600 * 1000) },
        { "uplinksRefused", double(refusedTotal) },
        { "modbusRequestsPerSecond", requestRate },
        { "modbusConnections", gateway->modbusConnectionCount() },
        { "saving", saving },
        { "savingProblem", savingProblem },
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

SWebResult CGatewayBackend::addDevice(const QJsonObject &_device)
{
    const QString devEui = memberText(_device, QStringLiteral("devEui"));
    const QString templateName = memberText(_device, QStringLiteral("template"));
    const QString name = memberText(_device, QStringLiteral("name")).trimmed();
    int port = 0;
    int start = 0;
    if (!CEui::isWellFormed(devEui))
        return refused(400, QStringLiteral("devEui %1 is not 16 hex digits").arg(devEui));
    if (name.isEmpty())
        return refused(400, QStringLiteral("name is empty"));
    if (!readNumber(memberText(_device, QStringLiteral("port")), 1, 65535, &port))
        return refused(400, QStringLiteral("port %1 is not a TCP port (1-65535)").arg(memberText(_device, "port")));
    if (!readNumber(memberText(_device, QStringLiteral("startAddress")), 0, 65535, &start))
        return refused(400, QStringLiteral("startAddress %1 is not a register address (0-65535)")
                                .arg(memberText(_device, "startAddress")));
    DB::SDeviceRegMapDescription device;
    device.devEui = CEui(devEui).text();
    device.name = name;
    device.startAddr = start;
    QString problem;
    if (!readSettings(memberText(_device, QStringLiteral("unitId")), memberText(_device, QStringLiteral("wordOrder")),
                      memberText(_device, QStringLiteral("staleAfter")),
                      memberText(_device, QStringLiteral("stalePolicy")), memberText(_device, QStringLiteral("writable")),
                      &device, &problem))
        return refused(400, problem);
    SWebResult result;
    const bool ran = onGateway([&] {
        for (const SDeviceTemplateInfo &info : gateway->templates()) {
            if (info.devType.compare(templateName, Qt::CaseInsensitive) == 0
                || CEui(info.appEui) == CEui(templateName))
                device.appEui = info.appEui;
        }
        if (device.appEui.isEmpty()) {
            result = refused(400, QStringLiteral("no template has dev_type \"%1\"").arg(templateName));
            return;
        }
        device.registers = gateway->regMap(device.appEui).registers;
        const SGatewayResult added = gateway->addDevice(device, quint16(port));
        if (!added.ok()) {
            result = refused(statusOf(added.error), added.message);
            return;
        }
        result.status = 201;
        result.body = QJsonObject { { "devEui", device.devEui } };
    });
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

SWebResult CGatewayBackend::editDevice(const QString &_devEui, const QJsonObject &_changes)
{
    static const QStringList KNOWN { "unitId", "wordOrder", "staleAfter", "stalePolicy", "writable", "registers" };
    for (const QString &key : _changes.keys()) {
        if (!KNOWN.contains(key))
            return refused(400, QStringLiteral("%1 cannot be changed (only %2)").arg(key, KNOWN.join(", ")));
    }
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return refused(404, QStringLiteral("no device %1").arg(_devEui));
    DB::SDeviceRegMapDescription edited = row.device;
    const auto textOr = [&_changes](const char *_key, const QString &_current) {
        return _changes.contains(QLatin1String(_key)) ? memberText(_changes, QLatin1String(_key)) : _current;
    };
    QString problem;
    if (!readSettings(textOr("unitId", QString::number(edited.unitId)), textOr("wordOrder", wordOrderName(edited.wordOrder)),
                      textOr("staleAfter", QString::number(edited.staleAfter)),
                      textOr("stalePolicy", stalePolicyName(edited.stalePolicy)),
                      textOr("writable", edited.writable ? QStringLiteral("true") : QStringLiteral("false")), &edited,
                      &problem))
        return refused(400, problem);
    SDeviceRegUpdate update;
    update.deviceId = row.id;
    update.port = row.port;
    update.hasSettings = true;
    update.unitId = edited.unitId;
    update.wordOrder = edited.wordOrder;
    update.staleAfter = edited.staleAfter;
    update.stalePolicy = edited.stalePolicy;
    QHash<quint32, QJsonObject> scaling;
    for (const QJsonValue &value : _changes.value(QStringLiteral("registers")).toArray()) {
        const QJsonObject reg = value.toObject();
        int address = 0;
        if (!readNumber(memberText(reg, QStringLiteral("address")), 0, 65535, &address))
            return refused(400, QStringLiteral("a register's address %1 is not 0-65535").arg(memberText(reg, "address")));
        for (const char *key : { "multiplier", "added" }) {
            if (reg.contains(QLatin1String(key)) && !reg.value(QLatin1String(key)).isDouble())
                return refused(400, QStringLiteral("register %1: %2 is not a number").arg(address).arg(key));
        }
        if (reg.contains(QLatin1String("multiplier")) && reg.value(QLatin1String("multiplier")).toDouble() == 0)
            return refused(400, QStringLiteral("register %1: the multiplier is 0").arg(address));
        scaling.insert(quint32(address), reg);
    }
    SWebResult result;
    const bool ran = onGateway([&] {
        for (const QSqlRecord &record : gateway->registers(row.id)) {
            const auto cell = [&record](int _column) { return record.value(devDataColumns.at(_column)); };
            SRegisterUpdate reg;
            reg.regAddr = cell(REG_COL_REG_ADDR).toUInt();
            reg.startValue = cell(REG_COL_START_VALUE).toDouble();
            reg.gratingPeriod = cell(REG_COL_GRATING_PERIOD).toDouble();
            reg.unit = cell(REG_COL_UNIT).toString();
            const QJsonObject change = scaling.take(reg.regAddr);
            reg.startValue = change.value(QStringLiteral("added")).toDouble(reg.startValue);
            reg.gratingPeriod = change.value(QStringLiteral("multiplier")).toDouble(reg.gratingPeriod);
            reg.unit = change.value(QStringLiteral("unit")).toString(reg.unit);
            update.registers.append(reg);
        }
        if (!scaling.isEmpty()) {
            result = refused(400, QStringLiteral("the device has no register at address %1").arg(scaling.keys().first()));
            return;
        }
        SGatewayResult edit = gateway->editDevice(update);
        if (edit.ok() && edited.writable != row.device.writable)
            edit = gateway->setWritable(row.device.devEui, edited.writable);
        if (!edit.ok()) {
            result = refused(statusOf(edit.error), edit.message);
            return;
        }
        result.body = QJsonObject { { "devEui", row.device.devEui } };
    });
    if (ran)
        rowsStale = true;
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

SWebResult CGatewayBackend::removeDevice(const QString &_devEui)
{
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return refused(404, QStringLiteral("no device %1").arg(_devEui));
    SWebResult result;
    const bool ran = onGateway([&] {
        const SGatewayResult removed = gateway->removeDevice(row.id, row.device.devEui, row.port);
        if (!removed.ok())
            result = refused(statusOf(removed.error), removed.message);
        else
            result.body = QJsonObject { { "devEui", row.device.devEui } };
    });
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

QJsonArray CGatewayBackend::templates()
{
    QJsonArray list;
    onGateway([this, &list] {
        for (const SDeviceTemplateInfo &info : gateway->templates())
            list.append(QJsonObject { { "template", info.devType }, { "appEui", info.appEui } });
    });
    return list;
}

SWebResult CGatewayBackend::candidates()
{
    struct SAnswer
    {
        bool done = false;
        bool ok = false;
        QJsonArray devices;
    };
    auto answer = std::make_shared<SAnswer>();
    auto context = std::make_shared<QObject *>(nullptr);
    bool asked = false;
    onGateway([&] {
        auto *receiver = new QObject(this);
        *context = receiver;
        connect(gateway, &CGateway::deviceListReceived, receiver,
                [this, answer, receiver](bool _ok, const QList<API::SServerDeviceInfo> &_devices) {
                    for (const API::SServerDeviceInfo &info : _devices)
                        answer->devices.append(QJsonObject {
                            { "devEui", info.devEui }, { "appEui", info.appEui }, { "name", info.devName },
                            { "template", gateway->templateInfo(info.appEui).devType } });
                    std::lock_guard<std::mutex> locker(waitMutex);
                    answer->ok = _ok;
                    answer->done = true;
                    waitDone.notify_all();
                    receiver->deleteLater();
                });
        asked = gateway->requestDeviceList();
        if (!asked)
            receiver->deleteLater();
    });
    if (!asked)
        return refused(503, QStringLiteral("the network server cannot be asked now (not connected)"));
    std::unique_lock<std::mutex> locker(waitMutex);
    waitDone.wait_for(locker, std::chrono::milliseconds(GATEWAY_WAIT_MS), [&] { return answer->done || stopping; });
    if (!answer->done)
        return refused(504, QStringLiteral("the network server did not answer"));
    if (!answer->ok)
        return refused(502, QStringLiteral("the network server refused the list"));
    SWebResult result;
    result.body = QJsonObject { { "devices", answer->devices },
                                { "heard", gateway->listsHeardDevices() } };
    return result;
}

QString CGatewayBackend::registerMap(bool _markdown)
{
    QString text;
    onGateway([&] {
        const QList<SRegisterMapRow> map = ::registerMap(*gateway);
        text = _markdown ? registerMapMarkdown(map) : registerMapCsv(map);
    });
    return text;
}

QString CGatewayBackend::exportDevices(bool _json)
{
    QString text;
    onGateway([&] { text = exportedDevices(*gateway, _json); });
    return text;
}

SWebResult CGatewayBackend::importDevices(const QByteArray &_file)
{
    SWebResult result;
    const bool ran = onGateway([&] {
        int imported = 0;
        QString problem;
        if (importDeviceFile(*gateway, _file, QStringLiteral("the file"), &imported, &problem)) {
            result.body = QJsonObject { { "imported", imported } };
            CLogFile::addLog(QStringLiteral("INFO: [CWebConsole] imported %1 devices").arg(imported));
        } else {
            result = refused(400, problem);
        }
    });
    if (ran)
        rowsStale = true;
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

QStringList CGatewayBackend::logLines(int _count)
{
    QFile file(logFile);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 from = std::max<qint64>(0, file.size() - LOG_TAIL_BYTES);
    file.seek(from);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // A tail read from the middle of the file starts with a piece of a line.
    if (from > 0 && !lines.isEmpty())
        lines.removeFirst();
    return lines.mid(std::max(0, int(lines.size()) - _count));
}

std::string CGatewayBackend::metrics(bool _perDevice)
{
    using namespace prometheus;
    Registry registry;
    BuildGauge().Name("kelvara_build_info").Help("The running program's version.").Register(registry)
        .Add({ { "version", KELVARA_VERSION } }).Set(1);
    auto &received = BuildCounter().Name("kelvara_uplinks_received_total")
                         .Help("Uplinks taken from the network server, by link.").Register(registry);
    received.Add({ { "source", "websocket" } }).Increment(double(counters->uplinks(false)));
    received.Add({ { "source", "mqtt" } }).Increment(double(counters->uplinks(true)));
    auto &refusedFamily = BuildCounter().Name("kelvara_uplinks_refused_total")
                              .Help("Uplinks not decoded, by reason.").Register(registry);
    const char *reasons[] = { "unknown_device", "malformed", "undecodable" };
    for (int reason = 0; reason < CGatewayCounters::REFUSAL_COUNT; ++reason)
        refusedFamily.Add({ { "reason", reasons[reason] } })
            .Increment(double(counters->refused(CGatewayCounters::ERefusal(reason))));
    auto &downlinkFamily = BuildCounter().Name("kelvara_downlinks_total")
                               .Help("Downlinks from Modbus writes, by result.").Register(registry);
    const char *results[] = { "accepted", "refused", "failed" };
    for (int result = 0; result < CGatewayCounters::DOWNLINK_RESULT_COUNT; ++result)
        downlinkFamily.Add({ { "result", results[result] } })
            .Increment(double(counters->downlinkCount(CGatewayCounters::EDownlinkResult(result))));
    auto &requestFamily = BuildCounter().Name("kelvara_modbus_requests_total")
                              .Help("Modbus requests answered, by function code.").Register(registry);
    auto &exceptionFamily = BuildCounter().Name("kelvara_modbus_exceptions_total")
                                .Help("Modbus exception answers, by exception code.").Register(registry);
    for (int code = 0; code < 256; ++code) {
        if (const quint64 count = counters->modbusRequestCount(quint8(code)))
            requestFamily.Add({ { "function", std::to_string(code) } }).Increment(double(count));
        if (const quint64 count = counters->modbusExceptionCount(quint8(code)))
            exceptionFamily.Add({ { "code", std::to_string(code) } }).Increment(double(count));
    }
    BuildGauge().Name("kelvara_modbus_connections").Help("Open Modbus client connections.").Register(registry)
        .Add({}).Set(gateway->modbusConnectionCount());
    BuildGauge().Name("kelvara_network_server_connected").Help("1 while logged in to the network server.")
        .Register(registry).Add({}).Set(serverStatus == COMM::eSuccess ? 1 : 0);
    const auto bounds = CGatewayCounters::WRITE_BUCKETS;
    auto &writes = BuildHistogram().Name("kelvara_store_write_seconds").Help("Time of each write of the store.")
                       .Register(registry)
                       .Add({}, Histogram::BucketBoundaries(bounds.begin(), bounds.end()));
    const auto buckets = counters->storeWriteBuckets();
    writes.ObserveMultiple(std::vector<double>(buckets.begin(), buckets.end()), counters->storeWriteSeconds());
    const Rows stored = rows();
    int stale = 0;
    auto &lastUplink = BuildGauge().Name("kelvara_device_last_uplink_timestamp_seconds")
                           .Help("Time of each device's last decoded uplink.").Register(registry);
    for (const SDeviceRow &row : *stored) {
        if (gateway->isDeviceStale(row.device.devEui))
            ++stale;
        if (!_perDevice)
            continue;
        const qint64 last = gateway->deviceCounters(row.device.devEui).lastUplinkMs;
        if (last >= 0)
            lastUplink.Add({ { "dev_eui", row.device.devEui.toStdString() } }).Set(double(last) / 1000.0);
    }
    BuildGauge().Name("kelvara_devices").Help("Stored devices.").Register(registry).Add({}).Set(stored->size());
    BuildGauge().Name("kelvara_devices_stale").Help("Devices whose values are stale.").Register(registry)
        .Add({}).Set(stale);
    return TextSerializer().Serialize(registry.Collect());
}
