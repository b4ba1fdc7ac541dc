#pragma once

#include <QStringList>
#include <QTcpServer>

class CModbusConnections;

// The Modbus TCP server of one port: one CConnectionHandler per accepted client.
// The port alone selects the registers; the DevEUI list only tells the registry
// whether the port is still in use. The connections of all ports count against one
// cap, kept by the CModbusConnections every server is given.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    // _connections must outlive the server.
    CDeviceHandler(const uint16_t &port, CModbusConnections &_connections);

    uint16_t getPort() const { return port; }
    const QStringList &getDevEuiList() const { return devEuiList; }

public slots:
    void appendDevice(QString _devEui);
    void removeDevice(QString _devEui);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    // QTcpServer stops accepting after an accept error, out of descriptors for one.
    void acceptErrorSlot(QAbstractSocket::SocketError _error);

private:
    uint16_t port;
    QStringList devEuiList;
    CModbusConnections &connections;
};
