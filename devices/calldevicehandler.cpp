#include "devices/calldevicehandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QMutexLocker>
#include <QSet>

#include <algorithm>
#include <utility>

#include "app/logsink.h"
#include "app/constants.h"
#include "app/threadpriority.h"
#include "devices/ccodecrunner.h"
#include "devices/uplinkdecoder.h"
#include "modbus/cdevicehandler.h"
#include "store/cdatabasehandler.h"
#include "store/cgatewaycounters.h"

CAllDeviceHandler::CAllDeviceHandler(CDataBaseHandler *_store, const QString &_templateDir, CClock *_clock,
                                     const SModbusLimits &_limits, const STemplateContext &_templates,
                                     QObject *parent)
    : QObject(parent)
    , store(_store)
    , templateDir(_templateDir)
    , templateContext(_templates)
    , log(_templates.log ? _templates.log : CLogSink::discard())
    , refusalLog([_clock] { return _clock->nowMs(); })
    , clock(_clock)
    , portRetryTimer(_clock)
    , batchTimer(_clock)
    , modbusConnections(_limits, _clock, _templates.log)
{
    // Queued connections from the window and the dialogs carry these.
    qRegisterMetaType<DB::SDeviceRegMapDescription>("DB::SDeviceRegMapDescription");
    qRegisterMetaType<uint16_t>("uint16_t");
    modbusThread.setObjectName(QStringLiteral("modbus"));
    modbusConnections.moveToThread(&modbusThread);
    modbusThread.start();
    // Answers first: the Modbus thread runs ahead of decoding and the store's writer.
    bool raised = false;
    QString refusal;
    onModbusThread([&raised, &refusal] {
        raised = ThreadPriority::raiseThisThread(ThreadPriority::MODBUS_NICE, &refusal);
    });
    if (!raised)
        log->addLine(
            QStringLiteral("INFO: [CAllDeviceHandler] The Modbus thread keeps the normal priority: %1").arg(refusal));
    connect(&portRetryTimer, &CClockTimer::timeout, this, &CAllDeviceHandler::retryClosedPorts);
    connect(&batchTimer, &CClockTimer::timeout, this, [this] { commitPending(false); });
    if (store)
        connect(store, &CDataBaseHandler::registersWritten, this, &CAllDeviceHandler::announceWritten);
    loadTemplates();
}

CAllDeviceHandler::~CAllDeviceHandler()
{
    flushUplinks();
    onModbusThread([this] {
        qDeleteAll(ports);
        modbusConnections.closeAll();
    });
    // Leaving, the thread deletes the connections just closed.
    modbusThread.quit();
    modbusThread.wait();
}

void CAllDeviceHandler::setWriteTarget(CModbusWriteTarget *_target)
{
    std::unique_ptr<CWriteRelay> relay = _target ? std::make_unique<CWriteRelay>(_target, &modbusThread) : nullptr;
    onModbusThread([this, &relay] {
        modbusConnections.setWriteTarget(relay.get());
        std::swap(writeRelay, relay);
    });
}

void CAllDeviceHandler::setCounters(CGatewayCounters *_counters)
{
    counters = _counters;
    onModbusThread([this, _counters] { modbusConnections.setCounters(_counters); });
}

void CAllDeviceHandler::noteUplink(const API::SApiDeviceData &_uplink, const SDecodedUplink &_decoded)
{
    CGatewayCounters::SUplink entry;
    entry.epochMs = clock->epochMs();
    entry.fcnt = _uplink.fcnt;
    entry.rssi = _uplink.rssi;
    entry.snr = _uplink.snr;
    entry.payload = _uplink.data;
    entry.accepted = _decoded.accepted;
    if (_decoded.accepted) {
        entry.values = _decoded.data.registers;
    } else {
        counters->countRefusal(_uplink.refusal.isEmpty() ? CGatewayCounters::eRefusedUndecodable
                                                         : CGatewayCounters::eRefusedMalformed);
        // A codec's refusal has its own text; a payload's is its last log line.
        entry.refusal = !_uplink.refusal.isEmpty() ? _uplink.refusal
            : !_decoded.refusal.isEmpty()           ? _decoded.refusal
                                                    : _decoded.logLines.value(_decoded.logLines.size() - 1);
    }
    counters->noteUplink(_uplink.devEui, entry);
}

void CAllDeviceHandler::setIdentities(const CDeviceIdentities *_identities)
{
    onModbusThread([this, _identities] { modbusConnections.setIdentities(_identities); });
}

void CAllDeviceHandler::onModbusThread(const std::function<void()> &_work) const
{
    if (QThread::currentThread() == &modbusThread || !modbusThread.isRunning())
        _work();
    else
        QMetaObject::invokeMethod(const_cast<CModbusConnections *>(&modbusConnections), _work,
                                  Qt::BlockingQueuedConnection);
}

void CAllDeviceHandler::setBatching(int _windowMs, int _maxUplinks)
{
    batchWindowMs = _windowMs;
    batchMaxUplinks = qMax(1, _maxUplinks);
}

void CAllDeviceHandler::flushUplinks()
{
    // Uplinks still with the codecs come back as posted calls: take them in first.
    if (templateContext.codecs) {
        templateContext.codecs->waitForQueued();
        QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
    }
    commitPending(true);
}

void CAllDeviceHandler::commitPending(bool _wait)
{
    batchTimer.stop();
    if (pendingUplinks.isEmpty() || !store)
        return;
    const QList<SDeviceRegData> batch = std::exchange(pendingUplinks, {});
    QStringList devEuis;
    QSet<QString> listed;
    for (const SDeviceRegData &data : batch) {
        if (!listed.contains(data.devEui)) {
            listed.insert(data.devEui);
            devEuis.append(data.devEui);
        }
    }
    const quint64 ticket = store->stageRegisterBatch(batch);
    if (ticket == 0) {
        // Nothing of it to write: nothing to wait for.
        for (const QString &devEui : qAsConst(devEuis))
            emit newDataForDevice(devEui);
        return;
    }
    unannounced.append({ ticket, devEuis });
    if (!_wait)
        return;
    store->waitForWrite(ticket);
    announceWritten(ticket);
}

void CAllDeviceHandler::announceWritten(quint64 _ticket)
{
    while (!unannounced.isEmpty() && unannounced.first().first <= _ticket) {
        const QStringList devEuis = unannounced.takeFirst().second;
        for (const QString &devEui : devEuis)
            emit newDataForDevice(devEui);
    }
}

DB::SDeviceRegMapDescription CAllDeviceHandler::getServedDevice(const QString &_devEui) const
{
    QMutexLocker locker(&mutex);
    return devices.value(CEui(_devEui)).device;
}

SDeviceDecoding CAllDeviceHandler::decodingOf(const QString &_devEui) const
{
    QMutexLocker locker(&mutex);
    return devices.value(CEui(_devEui)).decoding;
}

void CAllDeviceHandler::setScaling(const QString &_devEui, const QVector<SRegisterScale> &_changed)
{
    QMutexLocker locker(&mutex);
    const auto served = devices.find(CEui(_devEui));
    if (served != devices.end())
        served->decoding.scaling = served->decoding.scaling.with(_changed);
}

QList<uint16_t> CAllDeviceHandler::getPortList() const
{
    QMutexLocker locker(&mutex);
    QList<uint16_t> open = listeningPorts.values();
    std::sort(open.begin(), open.end());
    return open;
}

bool CAllDeviceHandler::hasPort(uint16_t _port) const
{
    QMutexLocker locker(&mutex);
    return !portMembers.value(_port).isEmpty();
}

void CAllDeviceHandler::setServing(const QHostAddress &_address, bool _serve)
{
    bindAddress = _address;
    serving = _serve;
}

QList<uint16_t> CAllDeviceHandler::servedPorts() const
{
    QMutexLocker locker(&mutex);
    QList<uint16_t> served;
    for (auto it = portMembers.constBegin(); it != portMembers.constEnd(); ++it) {
        if (!it->isEmpty())
            served.append(it.key());
    }
    std::sort(served.begin(), served.end());
    return served;
}

QStringList CAllDeviceHandler::devicesOnPort(uint16_t _port) const
{
    QMutexLocker locker(&mutex);
    QList<CEui> members = portMembers.value(_port).values();
    std::sort(members.begin(), members.end());
    QStringList served;
    for (const CEui &member : qAsConst(members))
        served.append(devices.value(member).device.devEui);
    return served;
}

QString CAllDeviceHandler::overlappingDevice(uint16_t _port, qint64 _startAddr,
                                             const QList<SRegisterDescription> &_registers, const CEui &_except,
                                             quint8 _unitId) const
{
    DB::SDeviceRegMapDescription candidate;
    candidate.registers = _registers;
    return deviceOverlapping(_port, _startAddr, addressRanges(candidate), _except, _unitId);
}

QString CAllDeviceHandler::deviceOverlapping(uint16_t _port, qint64 _startAddr,
                                             const QVector<QPair<qint64, qint64>> &_wanted, const CEui &_except,
                                             quint8 _unitId) const
{
    QMutexLocker locker(&mutex);
    for (const CEui &member : portMembers.value(_port)) {
        if (member == _except)
            continue;
        const SServed &other = devices.value(member);
        if (_unitId != 0 && other.device.unitId != 0 && other.device.unitId != _unitId)
            continue;
        const qint64 shift = qint64(other.device.startAddr) - _startAddr;
        for (const auto &taken : other.ranges) {
            for (const auto &range : _wanted) {
                if (range.first <= taken.second + shift && taken.first + shift <= range.second)
                    return QStringLiteral("%1 [%2]").arg(other.device.name, other.device.devEui);
            }
        }
    }
    return QString();
}

CDeviceHandler *CAllDeviceHandler::serverOfPort(uint16_t _port, bool _open)
{
    CDeviceHandler *server = ports.value(_port);
    if (server)
        return server;
    server = new CDeviceHandler(_port, store, modbusConnections, &acceptWatcher);
    server->moveToThread(&modbusThread);
    ports.insert(_port, server);
    if (!_open)
        return server;
    bool opened = false;
    if (serving)
        onModbusThread([this, server, &opened] { opened = server->open(bindAddress, true); });
    if (opened)
        listeningPorts.insert(_port);
    else if (serving && !portRetryTimer.isActive())
        portRetryTimer.start(PORT_RETRY_MS);
    return server;
}

void CAllDeviceHandler::record(const DB::SDeviceRegMapDescription &_device, uint16_t _port,
                               const SDeviceDecoding &_decoding)
{
    const CEui devEui(_device.devEui);
    SServed &served = devices[devEui];
    served.device = _device;
    served.port = _port;
    served.ranges = addressRanges(_device);
    served.decoding = _decoding;
    portMembers[_port].insert(devEui);
}

bool CAllDeviceHandler::addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port)
{
    return placeDevice(_devInfo, _port, nullptr);
}

bool CAllDeviceHandler::placeDevice(const DB::SDeviceRegMapDescription &_devInfo, uint16_t _port,
                                    const SDeviceDecoding *_decoding)
{
    const CEui devEui(_devInfo.devEui);
    const QString overlap = deviceOverlapping(_port, _devInfo.startAddr, addressRanges(_devInfo), devEui,
                                              _devInfo.unitId);
    if (!overlap.isEmpty())
        log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler::addNewDevice] Registers of device [%1] on port "
                                    "[%2] overlap those of %3")
                         .arg(_devInfo.devEui)
                         .arg(_port)
                         .arg(overlap));
    SDeviceDecoding decoding;
    bool known = _decoding != nullptr;
    if (_decoding) {
        decoding = *_decoding;
    } else {
        QMutexLocker locker(&mutex);
        const auto served = devices.constFind(devEui);
        known = served != devices.constEnd();
        if (known)
            decoding = served->decoding;
    }
    if (!known) {
        // New here: a device brought with its map is scaled as the map says; one from the store
        // as the store says, read once: from then on the registry keeps both.
        if (!_devInfo.registers.isEmpty())
            decoding.scaling = CRegisterScaling::ofMap(_devInfo.startAddr, _devInfo.registers);
        else if (store)
            decoding.scaling = CRegisterScaling(store->getScaledRegisters(_devInfo.devEui).value(devEui.text()));
        if (store)
            decoding.counters = store->getDeviceCounters(_devInfo.devEui);
    }
    decoding.deviceTemplate = templateOf(_devInfo.appEui);
    QMutexLocker locker(&mutex);
    detachFromOtherPorts(devEui, _port);
    if (ports.contains(_port))
        log->addLine(
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(_port));
    else
        serverOfPort(_port, true);
    record(_devInfo, _port, decoding);
    log->addLine(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
                     .arg(_devInfo.devEui)
                     .arg(_port));
    return listeningPorts.contains(_port);
}

void CAllDeviceHandler::retryClosedPorts()
{
    QMutexLocker locker(&mutex);
    bool stillClosed = false;
    onModbusThread([this, &stillClosed] {
        for (CDeviceHandler *server : qAsConst(ports)) {
            if (listeningPorts.contains(server->getPort()))
                continue;
            if (server->open(bindAddress, false)) {
                listeningPorts.insert(server->getPort());
                log->addLine(QStringLiteral("INFO: [CAllDeviceHandler::retryClosedPorts] Port [%1] is open now")
                                 .arg(server->getPort()));
            } else {
                stillClosed = true;
            }
        }
    });
    if (stillClosed)
        portRetryTimer.start(PORT_RETRY_MS);
}

void CAllDeviceHandler::removeDevice(QString _devEui, uint16_t _port)
{
    QMutexLocker locker(&mutex);
    const CEui devEui(_devEui);
    if (!ports.contains(_port))
        log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(_port));
    const auto served = devices.constFind(devEui);
    if (served != devices.constEnd()) {
        portMembers[served->port].remove(devEui);
        devices.erase(served);
    }
    if (ports.contains(_port) && portMembers.value(_port).isEmpty())
        closePort(_port);
    qDebug().noquote() << QStringLiteral("[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
                              .arg(_devEui)
                              .arg(_port);
}

void CAllDeviceHandler::detachFromOtherPorts(const CEui &_devEui, uint16_t _keepPort)
{
    const auto served = devices.find(_devEui);
    if (served == devices.end() || served->port == _keepPort)
        return;
    const uint16_t oldPort = served->port;
    portMembers[oldPort].remove(_devEui);
    if (portMembers.value(oldPort).isEmpty())
        closePort(oldPort);
}

void CAllDeviceHandler::closePort(uint16_t _port)
{
    CDeviceHandler *server = ports.take(_port);
    if (!server)
        return;
    // The port is free on return.
    listeningPorts.remove(_port);
    onModbusThread([server] { delete server; });
}

void CAllDeviceHandler::newPacketReceivedSlot(API::SApiDeviceData _devData)
{
    // One look-up: whether the device is served, and what decoding it goes on from.
    SServed served;
    {
        QMutexLocker locker(&mutex);
        const auto found = devices.constFind(CEui(_devData.devEui));
        if (found == devices.constEnd()) {
            if (counters)
                counters->countRefusal(CGatewayCounters::eRefusedUnknownDevice);
            return;
        }
        served = found.value();
    }
    decodeServed(_devData, served);
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData _devData)
{
    SServed served;
    {
        QMutexLocker locker(&mutex);
        served = devices.value(CEui(_devData.devEui));
    }
    decodeServed(_devData, served);
}

void CAllDeviceHandler::decodeServed(const API::SApiDeviceData &_devData, const SServed &_served)
{
    if (!store) {
        log->addLine(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not running, "
                                    "uplink of [%1] dropped")
                         .arg(_devData.devEui));
        return;
    }
    static const SDeviceTemplate NO_TEMPLATE;
    const SDeviceTemplate &deviceTemplate = _served.decoding.deviceTemplate ? *_served.decoding.deviceTemplate
                                                                           : NO_TEMPLATE;
    if (deviceTemplate.hasDecoder) {
        if (deviceTemplate.decoder.network) {
            SCodecResult decoded;
            if (_devData.hasDecoded)
                decoded.data = _devData.decoded;
            else
                decoded.error = QStringLiteral("the network server sent no decoded object (is a codec set for the "
                                               "device there?)");
            storeObjectUplink(_devData, decoded);
            return;
        }
        if (!templateContext.codecs)
            return;
        // Decoded on the codec thread; the result comes back here, in the order sent.
        templateContext.codecs->decodeLater(deviceTemplate.decoder.codecPath, _devData.port, _devData.data,
            qint64(_devData.ts), this,
            [this, _devData](const SCodecResult &_decoded) { storeObjectUplink(_devData, _decoded); });
        return;
    }
    storeDecoded(_devData,
        decodeUplink(_devData, deviceTemplate, _served.device, _served.decoding.scaling, _served.decoding.counters,
            clock->epochMs()));
}

void CAllDeviceHandler::storeObjectUplink(const API::SApiDeviceData &_devData, const SCodecResult &_decoded)
{
    SServed served;
    {
        QMutexLocker locker(&mutex);
        const auto found = devices.constFind(CEui(_devData.devEui));
        // Removed while its codec ran.
        if (found == devices.constEnd())
            return;
        served = found.value();
    }
    static const SDeviceTemplate NO_TEMPLATE;
    const SDecodedUplink decoded = decodeObjectUplink(_devData,
        served.decoding.deviceTemplate ? *served.decoding.deviceTemplate : NO_TEMPLATE, served.device,
        served.decoding.scaling, _decoded, served.decoding.counters, clock->epochMs());
    if (!decoded.refusal.isEmpty()) {
        const int count = refusalLog.record(CEui(_devData.devEui).text());
        if (count > 0)
            log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler] Uplink of device [%1] refused (%2 since the "
                                        "last report): %3")
                             .arg(_devData.devEui)
                             .arg(count)
                             .arg(decoded.refusal));
    }
    storeDecoded(_devData, decoded);
}

void CAllDeviceHandler::storeDecoded(const API::SApiDeviceData &_devData, const SDecodedUplink &_decoded)
{
    for (const QString &line : _decoded.logLines)
        log->addLine(line);
    {
        QMutexLocker locker(&mutex);
        const auto served = devices.find(CEui(_devData.devEui));
        if (served != devices.end())
            served->decoding.counters = _decoded.counters;
    }
    // The store keeps them with the device: staged, written with the next write.
    store->saveDeviceCounters(_devData.devEui, _decoded.counters);
    if (counters)
        noteUplink(_devData, _decoded);
    // A dropped uplink still moves the device's error count in its registers.
    if (_decoded.data.registers.isEmpty())
        return;
    if (batchWindowMs <= 0) {
        store->saveRegisterData(_decoded.data);
        if (_decoded.accepted)
            emit newDataForDevice(_devData.devEui);
        return;
    }
    // One commit costs about as much as a hundred rows: uplinks arriving together share one.
    pendingUplinks.append(_decoded.data);
    if (pendingUplinks.size() >= batchMaxUplinks)
        commitPending(false);
    else if (!batchTimer.isActive())
        batchTimer.start(batchWindowMs);
}
