#include "devices/calldevicehandler.h"

#include <QDebug>
#include <QDir>
#include <QMutexLocker>

#include "app/clogfile.h"
#include "app/constants.h"
#include "devices/uplinkdecoder.h"
#include "modbus/cdevicehandler.h"
#include "store/cdatabasehandler.h"

CAllDeviceHandler *CAllDeviceHandler::getInstance()
{
    static CAllDeviceHandler *instance = new CAllDeviceHandler();
    return instance;
}

CAllDeviceHandler::CAllDeviceHandler(QObject *parent)
    : QObject(parent)
    , modbusConnections(readModbusLimits())
{
    // Queued connections from the window and the dialogs carry these.
    qRegisterMetaType<DB::SDeviceRegMapDescription>("DB::SDeviceRegMapDescription");
    qRegisterMetaType<uint16_t>("uint16_t");
    init();
}

CAllDeviceHandler::~CAllDeviceHandler()
{
    qDeleteAll(ports);
}

void CAllDeviceHandler::init()
{
    const QString dirPath = QDir::currentPath() + QStringLiteral("/") + DEVICE_FOLDER;
    const QDir dir(dirPath);
    if (!dir.exists()) {
        const QString message
            = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        CLogFile::addLog(message);
        qDebug().noquote() << message;
        return;
    }
    const QStringList names = dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        const QString message = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        CLogFile::addLog(message);
        qDebug().noquote() << message;
        return;
    }
    qDebug() << names;

    for (const QString &name : names) {
        const SDeviceTemplate deviceTemplate = loadTemplateFile(dirPath, name);
        if (!deviceTemplate.valid)
            continue;
        if (templates.contains(deviceTemplate.appEui)) {
            CLogFile::addLog(QStringLiteral("Device [%1] already inited. Skip").arg(deviceTemplate.appEui));
            continue;
        }
        CLogFile::addLog(QStringLiteral("Device [%1] inited SUCCESSULLY").arg(deviceTemplate.appEui));
        templates.insert(deviceTemplate.appEui, deviceTemplate);
    }
}

SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString &appEui) const
{
    const auto found = templates.constFind(appEui);
    if (found == templates.constEnd())
        return SDeviceTemplateInfo { QString(), QString(), QColor() };
    return SDeviceTemplateInfo { found->appEui, found->devType, found->color };
}

QList<SDeviceTemplateInfo> CAllDeviceHandler::getTemplateList() const
{
    QList<SDeviceTemplateInfo> list;
    for (const SDeviceTemplate &deviceTemplate : templates)
        list.append(SDeviceTemplateInfo { deviceTemplate.appEui, deviceTemplate.devType, deviceTemplate.color });
    return list;
}

SDeviceRegMap CAllDeviceHandler::getRegMapDescription(const QString &appEui) const
{
    const auto found = templates.constFind(appEui);
    if (found == templates.constEnd())
        return SDeviceRegMap();
    return regMapOfTemplate(*found);
}

QList<uint16_t> CAllDeviceHandler::getPortList() const
{
    QMutexLocker locker(&mutex);
    return ports.keys();
}

void CAllDeviceHandler::addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port)
{
    QMutexLocker locker(&mutex);
    detachFromOtherPorts(_devInfo.devEui, _port);
    CDeviceHandler *server = ports.value(_port);
    if (server) {
        CLogFile::addLog(
            QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(_port));
    } else {
        server = new CDeviceHandler(_port, modbusConnections);
        ports.insert(_port, server);
    }
    server->appendDevice(_devInfo.devEui);
    devices.insert(_devInfo.devEui.toUpper(), _devInfo);
    CLogFile::addLog(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[%1], port[%2]")
                         .arg(_devInfo.devEui)
                         .arg(_port));
}

void CAllDeviceHandler::removeDevice(QString _devEui, uint16_t _port)
{
    QMutexLocker locker(&mutex);
    CDeviceHandler *server = ports.value(_port);
    if (server) {
        dropFromServer(server, _devEui);
        if (server->getDevEuiList().isEmpty())
            closePort(_port);
    } else {
        CLogFile::addLog(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(_port));
    }
    devices.remove(_devEui.toUpper());
    qDebug().noquote() << QStringLiteral("[CAllDeviceHandler::removeDevice] Delete device: DevEUI[%1], port[%2]")
                              .arg(_devEui)
                              .arg(_port);
}

void CAllDeviceHandler::detachFromOtherPorts(const QString &_devEui, uint16_t _keepPort)
{
    for (const uint16_t port : ports.keys()) {
        CDeviceHandler *server = ports.value(port);
        // On the target port only another spelling goes; the exact one stays put.
        dropFromServer(server, _devEui, port == _keepPort ? _devEui : QString());
        if (port != _keepPort && server->getDevEuiList().isEmpty())
            closePort(port);
    }
}

void CAllDeviceHandler::dropFromServer(CDeviceHandler *_server, const QString &_devEui, const QString &_keep)
{
    for (const QString &served : QStringList(_server->getDevEuiList())) {
        if (served.compare(_devEui, Qt::CaseInsensitive) == 0 && served != _keep)
            _server->removeDevice(served);
    }
}

void CAllDeviceHandler::closePort(uint16_t _port)
{
    CDeviceHandler *server = ports.take(_port);
    // Free the port now; the object itself goes once the event loop is back.
    server->close();
    server->deleteLater();
}

void CAllDeviceHandler::newPacketReceivedSlot(API::SApiDeviceData _devData)
{
    {
        QMutexLocker locker(&mutex);
        if (!devices.contains(_devData.devEui.toUpper()))
            return;
    }
    processDataSlot(_devData);
}

void CAllDeviceHandler::processDataSlot(API::SApiDeviceData _devData)
{
    qDebug().noquote()
        << QStringLiteral("[CAllDeviceHandler::processDataSlot] Process device [%1]").arg(_devData.devEui);
    DB::SDeviceRegMapDescription device;
    {
        QMutexLocker locker(&mutex);
        device = devices.value(_devData.devEui.toUpper());
    }
    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store) {
        CLogFile::addLog(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not running, "
                                        "uplink of [%1] dropped")
                             .arg(_devData.devEui));
        return;
    }
    const SDecodedUplink decoded = decodeUplink(_devData, templates.value(device.appEui.toUpper()), device,
        [store](const QString &_devEui, uint32_t _regAddr) { return store->getRegisterParam(_devEui, _regAddr); });
    for (const QString &line : decoded.logLines)
        CLogFile::addLog(line);
    if (!decoded.accepted)
        return;
    store->saveRegisterData(decoded.data);
    emit newDataForDevice(_devData.devEui);
}
