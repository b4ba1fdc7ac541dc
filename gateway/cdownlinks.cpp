#include "gateway/cdownlinks.h"

#include <QJsonObject>

#include "app/clogfile.h"
#include "devices/calldevicehandler.h"
#include "devices/ccodecrunner.h"
#include "server/cheardevices.h"
#include "server/cmqttlink.h"
#include "server/cserverhandler.h"
#include "store/cdatabasehandler.h"
#include "store/cgatewaycounters.h"

namespace {

QString clientText(const SModbusWrite &_write)
{
    bool isIpv4 = false;
    const quint32 ipv4 = _write.peer.toIPv4Address(&isIpv4);
    const QString address = isIpv4 ? QHostAddress(ipv4).toString() : _write.peer.toString();
    return QStringLiteral("[%1:%2] unit [%3]").arg(address).arg(_write.peerPort).arg(_write.unitId);
}

QString wordsText(const QVector<uint16_t> &_words)
{
    QString text;
    for (uint16_t word : _words)
        text += QStringLiteral("%1").arg(word, 4, 16, QLatin1Char('0'));
    return text;
}

} // namespace

CDownlinks::CDownlinks(CServerHandler &_server, CMqttLink &_mqtt, const CHeardDevices &_heard, CClock *_clock,
    int _responseTimeoutMs, QObject *_parent)
    : CModbusWriteTarget(_parent)
    , server(_server)
    , mqtt(_mqtt)
    , heard(_heard)
    , clock(_clock)
    , responseTimeoutMs(_responseTimeoutMs)
    , mqttDeadline(_clock)
{
    connect(&server, &CServerHandler::downlinkHanded, this, &CDownlinks::handedSlot);
    connect(&server, &CServerHandler::downlinkDone, this, &CDownlinks::doneSlot);
    connect(&mqtt, &CMqttLink::published, this, &CDownlinks::publishedSlot);
    connect(&mqttDeadline, &CClockTimer::timeout, this, &CDownlinks::mqttDeadlineSlot);
}

void CDownlinks::setDevices(CDataBaseHandler *_store, CAllDeviceHandler *_registry)
{
    store = _store;
    registry = _registry;
}

CDownlinks::STarget CDownlinks::findTarget(const SModbusWrite &_write) const
{
    STarget target;
    const MODBUS::SWriteRequest &request = _write.request;
    const bool coil = request.function == MODBUS::WRITE_SINGLE_COIL;
    for (const QString &devEui : registry->devicesOnPort(_write.port)) {
        const DB::SDeviceRegMapDescription device = registry->getServedDevice(devEui);
        if (store->isDeviceWritable(devEui))
            target.anyWritable = true;
        const QList<SDownlinkCommand> commands = registry->getDownlinkCommands(device.appEui);
        QList<QPair<int, int>> ranges;
        QList<SDownlinkCommand> candidates;
        for (const SDownlinkCommand &command : commands) {
            if (command.isCoil != coil)
                continue;
            const int first = device.startAddr + (coil ? command.coil : command.regMapBias);
            ranges.append({ first, coil ? 1 : command.registerCount() });
            candidates.append(command);
        }
        const int index = MODBUS::exactRange(ranges, request.address, request.count);
        if (index >= 0 && !target.found) {
            target.found = true;
            target.device = device;
            target.command = candidates.at(index);
        }
    }
    return target;
}

QString CDownlinks::unreachable(const QString &_devEui) const
{
    if (serverKind == EServerKind::eWebSocket)
        return server.loggedIn() ? QString() : QStringLiteral("no network server connected");
    if (!mqtt.connected())
        return QStringLiteral("no network server connected");
    const API::SHeardDevice device = heard.device(_devEui);
    if (device.applicationId.isEmpty() || (serverKind == EServerKind::eTts && device.deviceId.isEmpty()))
        return QStringLiteral("downlink address unknown: nothing heard from the device since start");
    return QString();
}

void CDownlinks::refuse(const SModbusWrite &_write, const QString &_device, const QString &_command,
    const QString &_value, const QString &_reason, MODBUS::EException _exception, const Done &_done)
{
    CLogFile::addLog(QStringLiteral("WARNING: [CDownlinks] Write from %1 on port [%2] refused with exception [%3]: "
                                    "device [%4], command [%5], value [%6]: %7")
                         .arg(clientText(_write))
                         .arg(_write.port)
                         .arg(int(_exception), 2, 10, QLatin1Char('0'))
                         .arg(_device, _command, _value, _reason));
    if (counters) {
        counters->countDownlink(CGatewayCounters::eDownlinkRefused);
        if (!_device.isEmpty())
            counters->noteDownlink(_device, clock->epochMs(),
                QStringLiteral("%1 = %2 refused: %3").arg(_command, _value, _reason));
    }
    _done(_exception);
}

void CDownlinks::write(const SModbusWrite &_write, Done _done)
{
    const MODBUS::SWriteRequest &request = _write.request;
    const QString rawValue = request.function == MODBUS::WRITE_SINGLE_COIL
        ? (request.coilOn ? QStringLiteral("ON") : QStringLiteral("OFF"))
        : QStringLiteral("0x") + wordsText(request.words);
    if (!MODBUS::writeAllowed(writeAllow, _write.peer)) {
        refuse(_write, QString(), QString(), rawValue, QStringLiteral("the address is not in [modbus] write_allow"),
            MODBUS::ILLEGAL_FUNCTION, _done);
        return;
    }
    if (!store || !registry) {
        _done(MODBUS::SERVER_DEVICE_FAILURE);
        return;
    }
    const STarget target = findTarget(_write);
    if (!target.found) {
        // Ports without a writable device answer writes as they always did.
        if (!target.anyWritable)
            refuse(_write, QString(), QString(), rawValue, QStringLiteral("writes are off"), MODBUS::ILLEGAL_FUNCTION,
                _done);
        else
            refuse(_write, QString(), QString(), rawValue,
                QStringLiteral("[%1] register(s) from [%2] are not exactly one command")
                    .arg(request.count)
                    .arg(request.address),
                MODBUS::ILLEGAL_DATA_ADDRESS, _done);
        return;
    }
    const QString devEui = CEui(target.device.devEui).text();
    const SDownlinkCommand &command = target.command;
    if (!store->isDeviceWritable(devEui)) {
        refuse(_write, devEui, command.dataName, rawValue, QStringLiteral("writes are off"), MODBUS::ILLEGAL_FUNCTION,
            _done);
        return;
    }

    SPending item;
    item.devEui = devEui;
    item.startAddr = target.device.startAddr;
    item.appEui = target.device.appEui;
    item.command = command;
    item.port = _write.port;
    item.client = clientText(_write);
    API::SDownlink downlink;
    downlink.devEui = devEui;
    downlink.fPort = command.fPort;
    downlink.confirmed = command.confirmed;
    if (!command.encode.isEmpty()) {
        QJsonValue value = request.coilOn;
        item.valueText = rawValue;
        if (command.isCoil) {
            item.coilOn = request.coilOn;
        } else {
            double number = 0;
            const SCommandValue read = commandNumber(command, request.words, target.device.wordOrder, &number);
            if (!read.fits) {
                refuse(_write, devEui, command.dataName, rawValue,
                    QStringLiteral("the value does not fit %1 bits of %2").arg(command.dataBitSize).arg(command.dataType),
                    MODBUS::ILLEGAL_DATA_VALUE, _done);
                return;
            }
            value = number;
            item.valueText = read.valueText;
            item.words = request.words;
        }
        const QString error = encodeWithCodec(target, value, downlink);
        if (!error.isEmpty()) {
            refuse(_write, devEui, command.dataName, item.valueText, error, MODBUS::SERVER_DEVICE_FAILURE, _done);
            return;
        }
    } else if (command.isCoil) {
        item.coilOn = request.coilOn;
        item.valueText = rawValue;
        downlink.payload = coilPayload(command, request.coilOn);
    } else {
        const SCommandValue value = encodeRegisterWrite(command, request.words, target.device.wordOrder);
        if (!value.fits) {
            refuse(_write, devEui, command.dataName, rawValue,
                QStringLiteral("the value does not fit %1 bits of %2").arg(command.dataBitSize).arg(command.dataType),
                MODBUS::ILLEGAL_DATA_VALUE, _done);
            return;
        }
        item.valueText = value.valueText;
        item.words = request.words;
        downlink.payload = value.payload;
    }
    const QString reason = unreachable(devEui);
    if (!reason.isEmpty()) {
        refuse(_write, devEui, command.dataName, item.valueText, reason, MODBUS::SERVER_DEVICE_FAILURE, _done);
        return;
    }
    if (unconfirmed.value(devEui) >= MAX_UNCONFIRMED) {
        refuse(_write, devEui, command.dataName, item.valueText,
            QStringLiteral("%1 downlinks still unconfirmed").arg(MAX_UNCONFIRMED), MODBUS::SERVER_DEVICE_BUSY, _done);
        return;
    }

    const quint64 id = nextId++;
    item.done = _done;
    if (serverKind == EServerKind::eWebSocket) {
        if (!server.sendDownlink(id, downlink)) {
            refuse(_write, devEui, command.dataName, item.valueText, QStringLiteral("no network server connected"),
                MODBUS::SERVER_DEVICE_FAILURE, _done);
            return;
        }
        pending.insert(id, item);
    } else {
        const API::SHeardDevice heardDevice = heard.device(devEui);
        const API::SMqttDownlink message = serverKind == EServerKind::eChirpStack
            ? API::chirpStackDownlink(downlink, heardDevice)
            : API::ttsDownlink(downlink, heardDevice);
        int mid = 0;
        QString error;
        if (!mqtt.publish(message.topic, message.payload, &mid, &error)) {
            refuse(_write, devEui, command.dataName, item.valueText, error, MODBUS::SERVER_DEVICE_FAILURE, _done);
            return;
        }
        item.deadlineMs = clock->nowMs() + responseTimeoutMs;
        pending.insert(id, item);
        idOfMid.insert(mid, id);
        if (!mqttDeadline.isActive())
            mqttDeadline.start(responseTimeoutMs);
    }
    unconfirmed[devEui] += 1;
    setCode(devEui, item.appEui, item.startAddr, eQueued);
    // The broker has the publication once mosquitto_publish returned.
    if (serverKind != EServerKind::eWebSocket)
        handedSlot(id);
}

QString CDownlinks::encodeWithCodec(const STarget &_target, const QJsonValue &_value, API::SDownlink &_downlink) const
{
    const QString codec = registry->codecOfTemplate(_target.device.appEui);
    if (!codecs || codec.isEmpty())
        return QStringLiteral("the template has no codec to encode with");
    const SEncodeResult encoded
        = codecs->encode(codec, QJsonObject { { _target.command.encode, _value } }, _target.command.fPort);
    if (!encoded.error.isEmpty())
        return encoded.error;
    _downlink.payload = encoded.bytes;
    if (encoded.fPort != 0)
        _downlink.fPort = encoded.fPort;
    if (_downlink.fPort == 0)
        return QStringLiteral("the encoder named no fPort and the command has no f_port");
    return QString();
}

void CDownlinks::handedSlot(quint64 _id)
{
    const auto it = pending.find(_id);
    if (it == pending.end() || !it->done)
        return;
    keepWritten(*it);
    const Done done = it->done;
    it->done = Done();
    done(MODBUS::NO_EXCEPTION);
}

void CDownlinks::doneSlot(quint64 _id, bool _accepted, const QString &_reason)
{
    const auto it = pending.find(_id);
    if (it == pending.end())
        return;
    const SPending item = it.value();
    pending.erase(it);
    if (--unconfirmed[item.devEui] <= 0)
        unconfirmed.remove(item.devEui);
    CLogFile::addLog(QStringLiteral("%1: [CDownlinks] Write from %2 on port [%3]: device [%4], command [%5], value "
                                    "[%6]: %7")
                         .arg(_accepted ? QStringLiteral("INFO") : QStringLiteral("WARNING"), item.client)
                         .arg(item.port)
                         .arg(item.devEui, item.command.dataName, item.valueText,
                             _accepted ? QStringLiteral("accepted by the server") : _reason));
    setCode(item.devEui, item.appEui, item.startAddr, _accepted ? eAccepted : eFailed);
    if (counters) {
        counters->countDownlink(_accepted ? CGatewayCounters::eDownlinkAccepted : CGatewayCounters::eDownlinkFailed);
        counters->noteDownlink(item.devEui, clock->epochMs(),
            QStringLiteral("%1 = %2 %3").arg(item.command.dataName, item.valueText,
                _accepted ? QStringLiteral("accepted by the server") : QStringLiteral("failed: ") + _reason));
    }
    // Never handed to the server: the client learns it failed.
    if (item.done)
        item.done(MODBUS::SERVER_DEVICE_FAILURE);
}

void CDownlinks::publishedSlot(int _mid)
{
    const auto it = idOfMid.find(_mid);
    if (it == idOfMid.end())
        return;
    const quint64 id = it.value();
    idOfMid.erase(it);
    doneSlot(id, true, QString());
}

void CDownlinks::mqttDeadlineSlot()
{
    const qint64 now = clock->nowMs();
    qint64 next = -1;
    for (auto it = idOfMid.begin(); it != idOfMid.end();) {
        const qint64 deadline = pending.value(it.value()).deadlineMs;
        if (deadline <= now) {
            const quint64 id = it.value();
            it = idOfMid.erase(it);
            doneSlot(
                id, false, QStringLiteral("no acknowledgement from the broker within %1 ms").arg(responseTimeoutMs));
            continue;
        }
        next = next < 0 ? deadline : std::min(next, deadline);
        ++it;
    }
    if (next >= 0)
        mqttDeadline.start(int(next - now));
}

void CDownlinks::keepWritten(const SPending &_pending)
{
    if (_pending.command.isCoil) {
        const uint16_t address = uint16_t(_pending.startAddr + _pending.command.coil);
        QMutexLocker locker(&coilMutex);
        coilStates.insert({ _pending.port, address }, _pending.coilOn);
        return;
    }
    SDeviceRegData data;
    data.devEui = _pending.devEui;
    data.startAddr = _pending.startAddr;
    const QString full = wordsText(_pending.words);
    for (int i = 0; i < _pending.words.size(); ++i) {
        SRegisterValue reg;
        reg.value = full.mid(4 * i, 4);
        reg.fullValue = i == 0 ? full : QString();
        reg.regOffset = _pending.command.regMapBias + i;
        reg.word = _pending.words.at(i);
        data.registers.append(reg);
    }
    if (store->saveRegisterData(data))
        emit registersChanged(_pending.devEui);
}

void CDownlinks::setCode(const QString &_devEui, const QString &_appEui, qint32 _startAddr, ECode _code)
{
    const qint32 offset = registry->downlinkCodeRegister(_appEui);
    if (offset < 0)
        return;
    SDeviceRegData data;
    data.devEui = _devEui;
    data.startAddr = _startAddr;
    const QString text = QStringLiteral("%1").arg(int(_code), 4, 16, QLatin1Char('0'));
    data.registers.append(SRegisterValue { text, text, offset, uint16_t(_code) });
    if (store->saveRegisterData(data))
        emit registersChanged(_devEui);
}

MODBUS::EException CDownlinks::coils(uint16_t _port, uint16_t _first, uint16_t _count, QVector<bool> *_states) const
{
    QMutexLocker locker(&coilMutex);
    const auto portCoils = coilAddresses.constFind(_port);
    // A SCADA must not read a switch state that does not exist.
    if (portCoils == coilAddresses.cend())
        return MODBUS::ILLEGAL_FUNCTION;
    _states->clear();
    for (uint32_t address = _first; address < uint32_t(_first) + _count; ++address) {
        if (!portCoils->contains(uint16_t(address)))
            return MODBUS::ILLEGAL_DATA_ADDRESS;
        _states->append(coilStates.value({ _port, uint16_t(address) }, false));
    }
    return MODBUS::NO_EXCEPTION;
}

void CDownlinks::refreshCoils()
{
    QHash<uint16_t, QSet<uint16_t>> addresses;
    if (registry) {
        for (uint16_t port : registry->servedPorts()) {
            for (const QString &devEui : registry->devicesOnPort(port)) {
                const DB::SDeviceRegMapDescription device = registry->getServedDevice(devEui);
                for (const SDownlinkCommand &command : registry->getDownlinkCommands(device.appEui)) {
                    if (command.isCoil && device.startAddr + command.coil >= 0
                        && device.startAddr + command.coil <= 0xffff)
                        addresses[port].insert(uint16_t(device.startAddr + command.coil));
                }
            }
        }
    }
    QMutexLocker locker(&coilMutex);
    coilAddresses = addresses;
}
