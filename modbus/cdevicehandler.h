#pragma once

#include <QHostAddress>
#include <QTcpServer>

class CDataBaseHandler;

// The Modbus TCP server of one port: one CConnectionHandler per accepted client,
// each answering from the register store.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    CDeviceHandler(uint16_t _port, CDataBaseHandler *_store);

    uint16_t getPort() const { return port; }
    // Starts listening on _address (every interface when Any); false with a log line (when _logFailure)
    // if the port is taken.
    bool open(const QHostAddress &_address, bool _logFailure);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    uint16_t port;
    CDataBaseHandler *store;
};
