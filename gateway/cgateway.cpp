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
#include "store/cdatabasehandler.h"
#include "store/storecolumns.h"

namespace {

const qint64 LAST_REGISTER_ADDRESS = 65535;
const int REGISTER_BITS = 16;

// Lowest and highest register address the map takes from _startAddr on; a value
// takes one register per started 16 bits, and at least one.
QPair<qint64, qint64> registerSpan(qint64 _startAddr, const QList<SRegisterDescription> &_registers)
{
    qint64 lowest = _startAddr;
    qint64 highest = _startAddr;
    for (const SRegisterDescription &reg : _registers) {
        const qint64 first = _startAddr + reg.offset;
        const qint64 count = std::max<qint64>(1, (qint64(reg.bitSize) + REGISTER_BITS - 1) / REGISTER_BITS);
        lowest = std::min(lowest, first);
        highest = std::max(highest, first + count - 1);
    }
    return { lowest, highest };
}

SGatewayResult refused(EGatewayError _error, const QString &_message)
{
    return SGatewayResult { _error, _message };
}

QString settingsKey(const QString &_key)
{
    return SETTINGS_GROUP_SERVER + _key;
}

} // namespace

CGateway::CGateway(const SGatewayConfig &_config, QObject *_parent)
    : QObject(_parent)
    , config(_config)
    , server(_config.clock, _config.serverTimings)
{
    connect(&server, &CServerHandler::changeServerStatus, this, &CGateway::serverStatusSlot, Qt::QueuedConnection);
    connect(&server, &CServerHandler::getDevicesListResp, this, &CGateway::deviceListReceived, Qt::QueuedConnection);
}

CGateway::~CGateway()
{
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
                                                     config.clock);
    if (!opened->open(_error))
        return false;
    store = std::move(opened);
    connect(store.get(), &CDataBaseHandler::savingStatusChanged, this, &CGateway::storeStatusChanged);
    // The store has no slots: its calls run on the caller's thread under its own lock.
    storeWorker = new QThread();
    store->moveToThread(storeWorker);
    storeWorker->start(QThread::InheritPriority);

    registry = std::make_unique<CAllDeviceHandler>(store.get(), workDir.filePath(DEVICE_FOLDER), config.clock);
    connect(&server, &CServerHandler::newPacketReceived, registry.get(), &CAllDeviceHandler::newPacketReceivedSlot,
            Qt::QueuedConnection);
    connect(registry.get(), &CAllDeviceHandler::newDataForDevice, this, &CGateway::newDataForDevice);
    serveStoredDevices();
    return true;
}

void CGateway::serveStoredDevices()
{
    QSqlQuery rows = store->getDevices(QString());
    while (rows.next()) {
        DB::SDeviceRegMapDescription device;
        device.devEui = rows.value(DEV_COL_DEV_EUI).toString();
        device.appEui = rows.value(DEV_COL_APP_EUI).toString();
        device.name = rows.value(DEV_COL_NAME).toString();
        device.startAddr = rows.value(DEV_COL_START_ADDR).toInt();
        registry->addNewDevice(device, static_cast<uint16_t>(rows.value(DEV_COL_PORT).toUInt()));
    }
}

bool CGateway::portFreeForUs(uint16_t _port) const
{
    // Held by the gateway itself: the new device shares that port's server.
    if (registry->getPortList().contains(_port))
        return true;
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, _port))
        return false;
    probe.close();
    return true;
}

SGatewayResult CGateway::checkPlacement(const QList<SRegisterDescription> &_registers, uint16_t _port,
                                        qint64 _startAddr, const QString &_devEui) const
{
    if (_port == 0)
        return refused(EGatewayError::INVALID_PORT, tr("Invalid TCP port: use 1-65535"));
    const QPair<qint64, qint64> span = registerSpan(_startAddr, _registers);
    if (_startAddr < 0 || span.first < 0 || span.second > LAST_REGISTER_ADDRESS)
        return refused(EGatewayError::INVALID_START_ADDRESS,
                       tr("Invalid start address: the device's registers must lie in 0-65535"));
    if (!portFreeForUs(_port))
        return refused(EGatewayError::PORT_BUSY, tr("Port %1 is busy: another program listens on it").arg(_port));
    const QString other = registry->overlappingDevice(_port, _startAddr, _registers, CEui(_devEui));
    if (!other.isEmpty())
        return refused(EGatewayError::OVERLAP,
                       tr("The registers overlap those of %1 on port %2").arg(other).arg(_port));
    return SGatewayResult();
}

SGatewayResult CGateway::addDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port)
{
    if (registry->getTemplateInfo(_device.appEui).appEui.isEmpty())
        return refused(EGatewayError::UNKNOWN_TEMPLATE, tr("No template for AppEUI %1").arg(_device.appEui));
    if (registeredDevices().contains(CEui(_device.devEui).text()))
        return refused(EGatewayError::ALREADY_REGISTERED, tr("Device %1 is already registered").arg(_device.devEui));
    const SGatewayResult placement = checkPlacement(_device.registers, _port, _device.startAddr, _device.devEui);
    if (!placement.ok())
        return placement;
    if (!store->registerNewDevice(_device, _port)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::addDevice] device is not created!"));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not added! See LOG-file for more details"));
    }
    registry->addNewDevice(_device, _port);
    CLogFile::addLog(QStringLiteral("INFO: [CGateway::addDevice] device created successfully"));
    emit devicesChanged();
    return SGatewayResult();
}

SGatewayResult CGateway::editDevice(const SDeviceRegUpdate &_update)
{
    if (!store->updateRegInfo(_update)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::editDevice] device [%1] is not updated!")
                             .arg(_update.deviceId));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not edited! See LOG-file for more details"));
    }
    emit devicesChanged();
    return SGatewayResult();
}

SGatewayResult CGateway::removeDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port)
{
    // The store first: a device it keeps must go on being served.
    if (!store->deleteDevice(_deviceId)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CGateway::removeDevice] device [%1] is not deleted!").arg(_devEui));
        return refused(EGatewayError::STORE_FAILED, tr("Device is not deleted! See LOG-file for more details"));
    }
    registry->removeDevice(_devEui, _port);
    emit devicesChanged();
    return SGatewayResult();
}

void CGateway::connectToServer(const SServerLogin &_login, bool _saveOnSuccess)
{
    saveLoginOnSuccess = _saveOnSuccess;
    pendingLogin = _login;
    server.connectSlot(_login.origin(), _login.login, _login.password);
}

void CGateway::serverStatusSlot(COMM::EServerStatus _status)
{
    if (_status == COMM::eSuccess) {
        CLogFile::addLog(QStringLiteral("INFO: [CGateway::serverStatusSlot] Logged in to the server as [%1]")
                             .arg(pendingLogin.login));
        // Only a log-in the operator confirmed and the server accepted is kept for the next start;
        // reconnections by themselves change nothing.
        if (saveLoginOnSuccess) {
            saveLoginOnSuccess = false;
            const bool saved = CSettings::writeValue(settingsKey(SETTINGS_KEY_IP), pendingLogin.host)
                && CSettings::writeValue(settingsKey(SETTINGS_KEY_PORT), pendingLogin.port)
                && CSettings::writeValue(settingsKey(SETTINGS_KEY_LOGIN), pendingLogin.login)
                && CSettings::writeValue(settingsKey(SETTINGS_KEY_PASSWORD), pendingLogin.password);
            if (!saved)
                CLogFile::addLog(QStringLiteral("ERROR: [CGateway::serverStatusSlot] Server log-in is not saved!"));
        }
    } else if (_status == COMM::eInvalidAuth) {
        saveLoginOnSuccess = false;
    }
    emit serverStatusChanged(_status);
}

COMM::EServerStatus CGateway::serverStatus() const
{
    return server.status();
}

bool CGateway::requestDeviceList()
{
    QStringList appEuis;
    for (const SDeviceTemplateInfo &info : registry->getTemplateList())
        appEuis.append(info.appEui);
    return server.getDevicesList(appEuis);
}

QSqlQuery CGateway::devices(const QString &_search) const
{
    return store->getDevices(_search);
}

QSqlQuery CGateway::registers(uint32_t _deviceId) const
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

QList<uint16_t> CGateway::openPorts() const
{
    return registry->getPortList();
}
