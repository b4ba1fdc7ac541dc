#pragma once

#include <QStringList>
#include <QTcpServer>

// The Modbus TCP server of one port: one CConnectionHandler per accepted client.
// The port alone selects the registers; the DevEUI list only tells the registry
// whether the port is still in use.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    explicit CDeviceHandler(const uint16_t &port);

    uint16_t getPort() const { return port; }
    const QStringList &getDevEuiList() const { return devEuiList; }

public slots:
    void appendDevice(QString _devEui);
    void removeDevice(QString _devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    uint16_t port;
    QStringList devEuiList;
};
