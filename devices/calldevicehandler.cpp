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

void CAllDeviceHandler::loadTemplates()
{
    const QDir dir(templateDir);
    if (!dir.exists()) {
        const QString message
            = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        log->addLine(message);
        qDebug().noquote() << message;
        return;
    }
    const QStringList names = dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        const QString message = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        log->addLine(message);
        qDebug().noquote() << message;
        return;
    }
    qDebug() << names;

    for (const QString &name : names) {
        const SDeviceTemplate deviceTemplate = loadTemplateFile(dir.absolutePath(), name, templateContext);
        if (!deviceTemplate.valid)
            continue;
        if (templates.contains(deviceTemplate.appEui)) {
            log->addLine(QStringLiteral("Device [%1] already inited. Skip").arg(deviceTemplate.appEui));
            continue;
        }
        log->addLine(QStringLiteral("Device [%1] inited SUCCESSULLY").arg(deviceTemplate.appEui));
        templates.insert(deviceTemplate.appEui, deviceTemplate);
    }
}

SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString &appEui) const
{
    const auto found = templates.constFind(CEui(appEui).text());
    if (found == templates.constEnd())
        return SDeviceTemplateInfo { QString(), QString(), QString() };
    return SDeviceTemplateInfo { found->appEui, found->devType, found->color };
}

QList<SDeviceTemplateInfo> CAllDeviceHandler::getTemplateList() const
{
    QList<SDeviceTemplateInfo> list;
    for (const SDeviceTemplate &deviceTemplate : templates)
        list.append(SDeviceTemplateInfo { deviceTemplate.appEui, deviceTemplate.devType, deviceTemplate.color });
    return list;
}

QString CAllDeviceHandler::templateOfDeviceProfile(const QString &_profile) const
{
    for (const SDeviceTemplate &deviceTemplate : templates) {
        if (!deviceTemplate.deviceProfile.isEmpty() && deviceTemplate.deviceProfile == _profile)
            return deviceTemplate.appEui;
    }
    return QString();
}

SDeviceRegMap CAllDeviceHandler::getRegMapDescription(const QString &appEui) const
{
    const auto found = templates.constFind(CEui(appEui).text());
    if (found == templates.constEnd())
        return SDeviceRegMap();
    return regMapOfTemplate(*found);
}

QList<SDownlinkCommand> CAllDeviceHandler::getDownlinkCommands(const QString &appEui) const
{
    return templates.value(CEui(appEui).text()).downlinks;
}

qint32 CAllDeviceHandler::downlinkCodeRegister(const QString &appEui) const
{
    const SDeviceTemplate found = templates.value(CEui(appEui).text());
    const auto code = found.serverData.constFind(SERVER_KEYWORD_DOWNLINK);
    return code == found.serverData.constEnd() ? -1 : code->regMapBias;
}

DB::SDeviceRegMapDescription CAllDeviceHandler::getServedDevice(const QString &_devEui) const
{
    QMutexLocker locker(&mutex);
    return devices.value(CEui(_devEui));
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

void CAllDeviceHandler::reloadTemplates()
{
    templates.clear();
    loadTemplates();
    QMutexLocker locker(&mutex);
    for (auto it = devices.constBegin(); it != devices.constEnd(); ++it)
        deviceRanges.insert(it.key(), addressRanges(it.value()));
}

void CAllDeviceHandler::setServerDecodes(bool _decodes)
{
    if (templateContext.serverDecodes == _decodes)
        return;
    templateContext.serverDecodes = _decodes;
    reloadTemplates();
}

QString CAllDeviceHandler::codecOfTemplate(const QString &_appEui) const
{
    const auto found = templates.constFind(CEui(_appEui).text());
    return found == templates.constEnd() ? QString() : found->decoder.codecPath;
}

void CAllDeviceHandler::serveExactly(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_stored)
{
    QMap<CEui, QPair<DB::SDeviceRegMapDescription, uint16_t>> wanted;
    for (const auto &device : _stored)
        wanted.insert(CEui(device.first.devEui), device);
    QList<QPair<QString, uint16_t>> gone;
    {
        QMutexLocker locker(&mutex);
        for (auto it = devicePorts.constBegin(); it != devicePorts.constEnd(); ++it) {
            if (!wanted.contains(it.key()))
                gone.append({ devices.value(it.key()).devEui, it.value() });
        }
    }
    for (const auto &device : gone) {
        removeDevice(device.first, device.second);
        log->addLine(QStringLiteral("INFO: [CAllDeviceHandler::serveExactly] Device [%1] is no longer served on "
                                        "port [%2]")
                             .arg(device.first)
                             .arg(device.second));
    }
    for (const auto &device : wanted) {
        const CEui devEui(device.first.devEui);
        uint16_t servedPort = 0;
        {
            QMutexLocker locker(&mutex);
            if (devicePorts.contains(devEui) && devices.value(devEui).startAddr == device.first.startAddr)
                servedPort = devicePorts.value(devEui);
        }
        if (servedPort == device.second) {
            // Same place: the settings (unit, word order, stale time) may still have changed.
            QMutexLocker locker(&mutex);
            devices.insert(devEui, device.first);
            continue;
        }
        addNewDevice(device.first, device.second);
    }
}

QList<uint16_t> CAllDeviceHandler::servedPorts() const
{
    QMutexLocker locker(&mutex);
    QList<uint16_t> served = QSet<uint16_t>(devicePorts.cbegin(), devicePorts.cend()).values();
    std::sort(served.begin(), served.end());
    return served;
}

QStringList CAllDeviceHandler::devicesOnPort(uint16_t _port) const
{
    QMutexLocker locker(&mutex);
    QStringList served;
    for (auto it = devicePorts.constBegin(); it != devicePorts.constEnd(); ++it) {
        if (it.value() == _port)
            served.append(devices.value(it.key()).devEui);
    }
    return served;
}

QList<QPair<qint64, qint64>> CAllDeviceHandler::addressRanges(const DB::SDeviceRegMapDescription &_device) const
{
    // Stored devices come back without their map: their template has it.
    const QList<SRegisterDescription> registers
        = _device.registers.isEmpty() ? getRegMapDescription(_device.appEui).registers : _device.registers;
    QList<QPair<qint64, qint64>> ranges;
    for (const SRegisterDescription &reg : registers) {
        const qint64 first = qint64(_device.startAddr) + reg.offset;
        const qint64 count = registersOfBits(reg.bitSize);
        ranges.append({ first, first + count - 1 });
    }
    return ranges;
}

QString CAllDeviceHandler::overlappingDevice(uint16_t _port, qint64 _startAddr,
                                             const QList<SRegisterDescription> &_registers, const CEui &_except,
                                             quint8 _unitId) const
{
    DB::SDeviceRegMapDescription candidate;
    candidate.startAddr = qint32(_startAddr);
    candidate.registers = _registers;
    return deviceOverlapping(_port, addressRanges(candidate), _except, _unitId);
}

QString CAllDeviceHandler::deviceOverlapping(uint16_t _port, const QList<QPair<qint64, qint64>> &_wanted,
                                             const CEui &_except, quint8 _unitId) const
{
    QMutexLocker locker(&mutex);
    for (const CEui &member : portMembers.value(_port)) {
        if (member == _except)
            continue;
        const DB::SDeviceRegMapDescription &other = devices.value(member);
        if (_unitId != 0 && other.unitId != 0 && other.unitId != _unitId)
            continue;
        for (const auto &taken : deviceRanges.value(member)) {
            for (const auto &range : _wanted) {
                if (range.first <= taken.second && taken.first <= range.second)
                    return QStringLiteral("%1 [%2]").arg(other.name, other.devEui);
            }
        }
    }
    return QString();
}

bool CAllDeviceHandler::addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port)
{
    const CEui devEui(_devInfo.devEui);
    const QList<QPair<qint64, qint64>> ranges = addressRanges(_devInfo);
    const QString overlap = deviceOverlapping(_port, ranges, devEui, _devInfo.unitId);
    if (!overlap.isEmpty())
        log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler::addNewDevice] Registers of device [%1] on port "
                                        "[%2] overlap those of %3")
                             .arg(_devInfo.devEui)
                             .arg(_port)
                             .arg(overlap));
    QMutexLocker locker(&mutex);
    detachFromOtherPorts(devEui, _port);
    CDeviceHandler *server = ports.value(_port);
    if (server) {
        log->addLine(
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(_port));
    } else {
        server = new CDeviceHandler(_port, store, modbusConnections, &acceptWatcher);
        server->moveToThread(&modbusThread);
        ports.insert(_port, server);
        bool opened = false;
        if (serving)
            onModbusThread([this, server, &opened] { opened = server->open(bindAddress, true); });
        if (opened)
            listeningPorts.insert(_port);
        else if (serving && !portRetryTimer.isActive())
            portRetryTimer.start(PORT_RETRY_MS);
    }
    devices.insert(devEui, _devInfo);
    deviceRanges.insert(devEui, ranges);
    devicePorts.insert(devEui, _port);
    portMembers[_port].insert(devEui);
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
    devices.remove(devEui);
    deviceRanges.remove(devEui);
    if (devicePorts.contains(devEui))
        portMembers[devicePorts.value(devEui)].remove(devEui);
    devicePorts.remove(devEui);
    if (ports.contains(_port) && portMembers.value(_port).isEmpty())
        closePort(_port);
    qDebug().noquote() << QStringLiteral("[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
                              .arg(_devEui)
                              .arg(_port);
}

void CAllDeviceHandler::detachFromOtherPorts(const CEui &_devEui, uint16_t _keepPort)
{
    const auto served = devicePorts.constFind(_devEui);
    if (served == devicePorts.constEnd() || served.value() == _keepPort)
        return;
    const uint16_t oldPort = served.value();
    devicePorts.remove(_devEui);
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
    {
        QMutexLocker locker(&mutex);
        if (!devices.contains(CEui(_devData.devEui))) {
            if (counters)
                counters->countRefusal(CGatewayCounters::eRefusedUnknownDevice);
            return;
        }
    }
    processDataSlot(_devData);
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData _devData)
{
    DB::SDeviceRegMapDescription device;
    {
        QMutexLocker locker(&mutex);
        device = devices.value(CEui(_devData.devEui));
    }
    if (!store) {
        log->addLine(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not running, "
                                        "uplink of [%1] dropped")
                             .arg(_devData.devEui));
        return;
    }
    const SDeviceTemplate &deviceTemplate = templates.value(CEui(device.appEui).text());
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
    CDataBaseHandler *registerStore = store;
    storeDecoded(_devData,
        decodeUplink(_devData, deviceTemplate, device,
            [registerStore](const QString &_devEui, uint32_t _regAddr) {
                return registerStore->getRegisterParam(_devEui, _regAddr);
            },
            store->getDeviceCounters(_devData.devEui), clock->epochMs()));
}

void CAllDeviceHandler::storeObjectUplink(const API::SApiDeviceData &_devData, const SCodecResult &_decoded)
{
    DB::SDeviceRegMapDescription device;
    {
        QMutexLocker locker(&mutex);
        const auto served = devices.constFind(CEui(_devData.devEui));
        // Removed while its codec ran.
        if (served == devices.constEnd())
            return;
        device = served.value();
    }
    CDataBaseHandler *registerStore = store;
    const SDecodedUplink decoded = decodeObjectUplink(_devData, templates.value(CEui(device.appEui).text()), device,
        [registerStore](const QString &_devEui, uint32_t _regAddr) {
            return registerStore->getRegisterParam(_devEui, _regAddr);
        },
        _decoded, store->getDeviceCounters(_devData.devEui), clock->epochMs());
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
