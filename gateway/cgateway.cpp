#include "gateway/cgateway.h"

#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QThread>

#include <algorithm>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "devices/calldevicehandler.h"
#include "devices/ccodecrunner.h"
#include "gateway/settingsfile.h"
#include "store/cdatabasehandler.h"
#include "store/chistorystore.h"
#include "store/historyformat.h"
#include "store/storecolumns.h"
#include "web/cwebconsole.h"

namespace {

const qint64 LAST_REGISTER_ADDRESS = 65535;

// Lowest and highest register address the map takes from _startAddr on; a value
// takes one register per started 16 bits, and at least one.
QPair<qint64, qint64> registerSpan(qint64 _startAddr, const QList<SRegisterDescription> &_registers)
{
    qint64 lowest = _startAddr;
    qint64 highest = _startAddr;
    for (const SRegisterDescription &reg : _registers) {
        const qint64 first = _startAddr + reg.offset;
        const qint64 count = registersOfBits(reg.bitSize);
        lowest = std::min(lowest, first);
        highest = std::max(highest, first + count - 1);
    }
    return { lowest, highest };
}

SGatewayResult refused(EGatewayError _error, const QString &_message)
{
    return SGatewayResult { _error, _message };
}

// Each stored device with the port it is served on.
QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> placementsOf(const QList<SStoredDevice> &_stored)
{
    QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> placed;
    placed.reserve(_stored.size());
    for (const SStoredDevice &device : _stored)
        placed.append({ device.device, device.port });
    return placed;
}

} // namespace

CGateway::CGateway(const SGatewayConfig &_config, QObject *_parent)
    : QObject(_parent)
    , config(_config)
    , log(_config.log ? _config.log : CLogFile::getInstance(QString()))
    , server(_config.clock, _config.serverTimings, log)
    , mqtt(_config.clock, _config.mqttFirstRetryMs, log)
    , heardDevices(log)
    , downlinks(server, mqtt, heardDevices, _config.clock, _config.serverTimings.responseTimeoutMs)
{
    downlinks.setServerKind(config.serverKind);
    downlinks.setWriteAllow(config.writeAllow);
    connect(&downlinks, &CDownlinks::registersChanged, this, &CGateway::newDataForDevice);
    // Only the link of the current kind speaks for the gateway: the one just stopped may still
    // have a status or an answer on its way.
    connect(
        &server, &CServerHandler::changeServerStatus, this,
        [this](COMM::EServerStatus _status) {
            if (config.serverKind == EServerKind::eWebSocket)
                serverStatusSlot(_status);
        },
        Qt::QueuedConnection);
    connect(
        &server, &CServerHandler::getDevicesListResp, this,
        [this](bool _status, QList<API::SServerDeviceInfo> _devices) {
            if (config.serverKind == EServerKind::eWebSocket)
                emit deviceListReceived(_status, _devices);
        },
        Qt::QueuedConnection);
    connect(
        &mqtt, &CMqttLink::changeServerStatus, this,
        [this](COMM::EServerStatus _status) {
            if (config.serverKind != EServerKind::eWebSocket)
                serverStatusSlot(_status);
        },
        Qt::QueuedConnection);
    connect(&mqtt, &CMqttLink::deviceHeard, &heardDevices, &CHeardDevices::deviceHeardSlot);
    downlinks.setCounters(&counted);
    // Counted on the link's thread as each arrives, decoded or not.
    connect(&server, &CServerHandler::newPacketReceived, this, [this] { counted.countUplink(false); },
            Qt::DirectConnection);
    connect(&mqtt, &CMqttLink::newPacketReceived, this, [this] { counted.countUplink(true); }, Qt::DirectConnection);
}

CGateway::~CGateway()
{
    // The console asks the rest; it stops first.
    console.reset();
    // Ports close before the store they answer from goes.
    registry.reset();
    if (storeWorker) {
        storeWorker->quit();
        storeWorker->wait();
        delete storeWorker;
    }
}

bool CGateway::start(QString *_error)
{
    const QDir workDir(config.workDir);
    auto opened = std::make_unique<CDataBaseHandler>(workDir.filePath(DB_FILE_NAME), config.storeBusyTimeoutMs,
                                                     config.clock, log);
    // The gateway serves what it has where it cannot write; a command, which could change nothing, refuses.
    opened->setReadOnlyFallback(config.serveDevices);
    if (!opened->open(_error))
        return false;
    store = std::move(opened);
    connect(store.get(), &CDataBaseHandler::savingStatusChanged, this, &CGateway::storeStatusChanged);
    // Only a serving gateway keeps history; it never stops the start, whatever its file.
    if (config.serveDevices && config.history.enabled()) {
        history = std::make_unique<CHistoryStore>(historyFile(), config.history, config.clock, log);
        history->open();
        history->keepDevices(store->getRegisteredDevices());
        store->setHistory(history.get());
    }
    // The store has no slots: its calls run on the caller's thread under its own lock.
    storeWorker = new QThread();
    store->moveToThread(storeWorker);
    storeWorker->start(QThread::InheritPriority);

    codecs = std::make_unique<CCodecRunner>();
    STemplateContext templates;
    templates.codecs = codecs.get();
    templates.log = log;
    templates.serverDecodes = config.serverKind != EServerKind::eWebSocket;
    registry = std::make_unique<CAllDeviceHandler>(store.get(), workDir.filePath(DEVICE_FOLDER), config.clock,
                                                   config.modbusLimits, templates);
    downlinks.setCodecs(codecs.get());
    registry->setServing(config.modbusBind, config.serveDevices);
    registry->setBatching(config.uplinkBatchMs, config.uplinkBatchMax);
    downlinks.setDevices(store.get(), registry.get());
    registry->setWriteTarget(&downlinks);
    connect(&server, &CServerHandler::newPacketReceived, registry.get(), &CAllDeviceHandler::newPacketReceivedSlot,
            Qt::QueuedConnection);
    connect(&mqtt, &CMqttLink::newPacketReceived, registry.get(), &CAllDeviceHandler::newPacketReceivedSlot,
            Qt::QueuedConnection);
    connect(registry.get(), &CAllDeviceHandler::newDataForDevice, this, &CGateway::newDataForDevice);
    store->setClock(config.clock);
    store->setCounters(&counted);
    registry->setCounters(&counted);
    // The device list is read once: serving it comes first, then what else needs it.
    const QList<SStoredDevice> stored = storedRecords();
    const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> placed = placementsOf(stored);
    publishAgeRegisters(placed);
    registry->serveStored(stored);
    downlinks.refreshCoils();
    connect(this, &CGateway::devicesChanged, &downlinks, &CDownlinks::refreshCoils);
    registry->setIdentities(&identities);
    publishIdentities(placed);
    connect(this, &CGateway::devicesChanged, this, [this] { publishIdentities(storedDevices()); });
    if (config.web.enabled && config.serveDevices) {
        // Without an account or its address the gateway serves Modbus all the same; the log says why.
        console = std::make_unique<CWebConsole>(this, &counted, config.web, config.workDir, config.clock);
        if (!console->start())
            console.reset();
    }
    return true;
}

int CGateway::modbusConnectionCount() const
{
    return registry ? registry->modbusConnectionCount() : 0;
}

int CGateway::webPort() const
{
    return console ? console->port() : 0;
}

void CGateway::publishIdentities(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices)
{
    QHash<uint16_t, QList<CDeviceIdentities::SEntry>> ports;
    for (const auto &device : _devices) {
        CDeviceIdentities::SEntry entry;
        entry.unitId = device.first.unitId;
        entry.identity.productCode = registry->getTemplateInfo(device.first.appEui).devType;
        entry.identity.productName = device.first.name;
        ports[device.second].append(entry);
    }
    identities.replace(ports);
}

void CGateway::publishAgeRegisters(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices)
{
    for (const auto &device : _devices) {
        QList<QPair<qint64, int>> ages;
        // A const copy: iterating it copies no register.
        const QList<SRegisterDescription> registers = registry->getRegMapDescription(device.first.appEui).registers;
        for (const SRegisterDescription &reg : registers) {
            if (reg.keyword == SERVER_KEYWORD_AGE)
                ages.append({ qint64(device.first.startAddr) + reg.offset, reg.bitSize });
        }
        store->setAgeRegisters(device.first.devEui, ages);
    }
}

bool CGateway::isDeviceStale(const QString &_devEui) const
{
    return store->isDeviceStale(_devEui);
}

SDeviceCounters CGateway::deviceCounters(const QString &_devEui) const
{
    return store->getDeviceCounters(_devEui);
}

QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> CGateway::storedDevices() const
{
    return placementsOf(store->getStoredDevices(false));
}

QList<SStoredDevice> CGateway::storedRecords() const
{
    return store->getStoredDevices(true);
}

void CGateway::flushUplinks()
{
    if (registry)
        registry->flushUplinks();
}

QString CGateway::historyFile() const
{
    return QDir(config.workDir).filePath(QLatin1String(HISTORY::FILE_NAME));
}

bool CGateway::reload()
{
    CLogFile::addLog(QStringLiteral("INFO: [CGateway::reload] Reading templates and devices again"));
    registry->reloadTemplates();
    if (!store->reload())
        return false;
    if (history)
        history->keepDevices(store->getRegisteredDevices());
    registry->serveExactly(storedRecords());
    publishAgeRegisters(storedDevices());
    emit devicesChanged();
    return true;
}

bool CGateway::portFreeForUs(uint16_t _port) const
{
    // Held by the gateway itself: the new device shares that port's server.
    if (registry->hasPort(_port))
        return true;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, _port))
        return false;
    probe.close();
    return true;
}

SGatewayResult CGateway::checkPlacement(const QList<SRegisterDescription> &_registers, uint16_t _port,
                                        qint64 _startAddr, const QString &_devEui, quint8 _unitId) const
{
    if (_unitId > MAX_UNIT_ID)
        return refused(EGatewayError::INVALID_UNIT_ID, tr("Invalid unit ID: use 0-247"));
    if (_port == 0)
        return refused(EGatewayError::INVALID_PORT, tr("Invalid TCP port: use 1-65535"));
    const QPair<qint64, qint64> span = registerSpan(_startAddr, _registers);
    if (_startAddr < 0 || span.first < 0 || span.second > LAST_REGISTER_ADDRESS)
        return refused(EGatewayError::INVALID_START_ADDRESS,
                       tr("Invalid start address: the device's registers must lie in 0-65535"));
    if (!portFreeForUs(_port))
        return refused(EGatewayError::PORT_BUSY, tr("Port %1 is busy: another program listens on it").arg(_port));
    const QString other = registry->overlappingDevice(_port, _startAddr, _registers, CEui(_devEui), _unitId);
    if (!other.isEmpty())
        return refused(EGatewayError::OVERLAP,
                       tr("The registers overlap those of %1 on port %2").arg(other).arg(_port));
    return SGatewayResult();
}

SGatewayResult CGateway::checkNewDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port,
                                        const QStringList &_registered) const
{
    if (registry->getTemplateInfo(_device.appEui).appEui.isEmpty())
        return refused(EGatewayError::UNKNOWN_TEMPLATE, tr("No template for AppEUI %1").arg(_device.appEui));
    if (_registered.contains(CEui(_device.devEui).text()))
        return refused(EGatewayError::ALREADY_REGISTERED, tr("Device %1 is already registered").arg(_device.devEui));
    return checkPlacement(_device.registers, _port, _device.startAddr, _device.devEui, _device.unitId);
}

SGatewayResult CGateway::addDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port)
{
    const SGatewayResult check = checkNewDevice(_device, _port, registeredDevices());
    if (!check.ok())
        return check;
    if (!store->registerNewDevice(_device, _port)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::addDevice] device is not created!"));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not added! See LOG-file for more details"));
    }
    registry->addNewDevice(_device, _port);
    publishAgeRegisters(storedDevices());
    CLogFile::addLog(QStringLiteral("INFO: [CGateway::addDevice] device created successfully"));
    emit devicesChanged();
    return SGatewayResult();
}

SGatewayResult CGateway::addDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices,
                                    int *_failedAt)
{
    // Each checked device is recorded with the registry at once, so the next is checked
    // against it too; a refusal takes them all back.
    QList<QPair<QString, uint16_t>> recorded;
    const auto takeBack = [&] {
        for (const auto &device : recorded)
            registry->removeDevice(device.first, device.second);
    };
    QStringList registered = registeredDevices();
    for (int i = 0; i < _devices.size(); ++i) {
        const DB::SDeviceRegMapDescription &device = _devices.at(i).first;
        const uint16_t port = _devices.at(i).second;
        const SGatewayResult result = checkNewDevice(device, port, registered);
        if (!result.ok()) {
            *_failedAt = i;
            takeBack();
            return result;
        }
        registered << CEui(device.devEui).text();
        registry->addNewDevice(device, port);
        recorded.append({ device.devEui, port });
    }
    if (!store->registerNewDevices(_devices)) {
        *_failedAt = -1;
        takeBack();
        return refused(EGatewayError::STORE_FAILED, tr("Devices are not added! See LOG-file for more details"));
    }
    publishAgeRegisters(storedDevices());
    emit devicesChanged();
    return SGatewayResult();
}

SGatewayResult CGateway::editDevice(const SDeviceRegUpdate &_update)
{
    DB::SDeviceRegMapDescription edited;
    uint16_t port = 0;
    bool found = false;
    for (const SStoredDevice &stored : store->getStoredDevices(false)) {
        if (stored.deviceId != _update.deviceId)
            continue;
        edited = stored.device;
        port = stored.port;
        found = true;
        break;
    }
    if (_update.hasSettings) {
        if (!found)
            return refused(EGatewayError::STORE_FAILED, tr("Device is not edited! See LOG-file for more details"));
        const SGatewayResult placement = checkPlacement(registry->getRegMapDescription(edited.appEui).registers, port,
                                                        edited.startAddr, edited.devEui, _update.unitId);
        if (!placement.ok())
            return placement;
        edited.unitId = _update.unitId;
        edited.wordOrder = _update.wordOrder;
        edited.staleAfter = _update.staleAfter;
        edited.stalePolicy = _update.stalePolicy;
    }
    if (!store->updateRegInfo(_update)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::editDevice] device [%1] is not updated!")
                             .arg(_update.deviceId));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not edited! See LOG-file for more details"));
    }
    // The registry decodes with the new scaling and word order and places by the new unit from now on.
    QVector<SRegisterScale> scaling;
    for (const SRegisterUpdate &reg : _update.registers)
        scaling.append(SRegisterScale { qint64(reg.regAddr), reg.startValue, reg.gratingPeriod, reg.unit });
    if (found)
        registry->setScaling(edited.devEui, scaling);
    if (_update.hasSettings)
        registry->addNewDevice(edited, port);
    emit devicesChanged();
    return SGatewayResult();
}

SGatewayResult CGateway::setWritable(const QString &_devEui, bool _writable)
{
    if (!store->setDeviceWritable(_devEui, _writable))
        return refused(EGatewayError::STORE_FAILED, tr("Device is not edited! See LOG-file for more details"));
    CLogFile::addLog(QStringLiteral("INFO: [CGateway::setWritable] Writes to device [%1] are %2")
                         .arg(_devEui, _writable ? QStringLiteral("on") : QStringLiteral("off")));
    return SGatewayResult();
}

bool CGateway::isWritable(const QString &_devEui) const
{
    return store->isDeviceWritable(_devEui);
}

SGatewayResult CGateway::removeDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port)
{
    // The store first: a device it keeps must go on being served.
    if (!store->deleteDevice(_deviceId)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::removeDevice] device [%1] is not deleted!").arg(_devEui));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not deleted! See LOG-file for more details"));
    }
    registry->removeDevice(_devEui, _port);
    if (history)
        history->keepDevices(store->getRegisteredDevices());
    counted.forgetDevice(_devEui);
    emit devicesChanged();
    return SGatewayResult();
}

QVector<QSqlRecord> CGateway::devices(const QString &_search) const
{
    return store->getDevices(_search);
}

QVector<QSqlRecord> CGateway::registers(uint32_t _deviceId) const
{
    return store->getRegisters(_deviceId);
}

QStringList CGateway::registeredDevices() const
{
    return store->getRegisteredDevices();
}

QList<SDeviceTemplateInfo> CGateway::templates() const
{
    return registry->getTemplateList();
}

SDeviceTemplateInfo CGateway::templateInfo(const QString &_appEui) const
{
    return registry->getTemplateInfo(_appEui);
}

SDeviceRegMap CGateway::regMap(const QString &_appEui) const
{
    return registry->getRegMapDescription(_appEui);
}

QList<SDownlinkCommand> CGateway::downlinkCommands(const QString &_appEui) const
{
    return registry->getDownlinkCommands(_appEui);
}

QMap<uint16_t, uint16_t> CGateway::registerWords(uint16_t _port, int _first, int _count) const
{
    return store->getRegisterData(_port, _first, _count);
}

QList<uint16_t> CGateway::openPorts() const
{
    return registry->getPortList();
}
