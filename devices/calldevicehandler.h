#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

#include "devices/devicetemplate.h"
#include "devices/registerdescription.h"
#include "modbus/cmodbusconnections.h"
#include "server/apitypes.h"
#include "store/storerecords.h"

class CDeviceHandler;

// The gateway's device side: the loaded device templates, the served devices with one
// Modbus server per port in use, and the decoding of their uplinks.
class CAllDeviceHandler : public QObject
{
    Q_OBJECT

public:
    static CAllDeviceHandler *getInstance();
    ~CAllDeviceHandler() override;

    // Ports that currently have a Modbus server, ascending.
    QList<uint16_t> getPortList() const;

    // Type name and colour of a template; empty texts and an invalid colour when unknown.
    SDeviceTemplateInfo getTemplateInfo(const QString &appEui) const;
    // One entry per template, ascending AppEUI.
    QList<SDeviceTemplateInfo> getTemplateList() const;
    // The register map a template exposes; empty AppEUI and list when unknown.
    SDeviceRegMap getRegMapDescription(const QString &appEui) const;

signals:
    void newDataForDevice(QString _devEui);

protected:
    explicit CAllDeviceHandler(QObject *parent = nullptr);

protected slots:
    // Adds every valid template of the template directory whose AppEUI is new.
    void init();
    void processDataSlot(API::SApiDeviceData _devData);

public slots:
    // Serves the device on the port, opening the port's server when it is the first there.
    // A device served on another port is taken off that port first.
    void addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port);
    // Stops serving the device; the port's server closes with its last device.
    void removeDevice(QString _devEui, uint16_t _port);
    // Decodes the uplink when its DevEUI (any letter case) is served.
    void newPacketReceivedSlot(API::SApiDeviceData _devData);

private:
    // Takes the DevEUI (any letter case) off every server but the one on _keepPort.
    void detachFromOtherPorts(const QString &_devEui, uint16_t _keepPort);
    // Takes every spelling of the DevEUI off the server, except exactly _keep when given.
    static void dropFromServer(CDeviceHandler *_server, const QString &_devEui, const QString &_keep = QString());
    void closePort(uint16_t _port);

protected:
    QMap<QString, SDeviceTemplate> templates;
    QMap<uint16_t, CDeviceHandler *> ports;
    // The client connections of all ports, under one cap; outlives every server.
    CModbusConnections modbusConnections;
    // Keyed by the upper-case DevEUI, as uplinks carry it; the description keeps its own case.
    QMap<QString, DB::SDeviceRegMapDescription> devices;
    mutable QMutex mutex;
};
