#pragma once

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
    // Starts listening on every interface; false with a log line (when _logFailure) if the port is taken.
    bool open(bool _logFailure);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    uint16_t port;
    CDataBaseHandler *store;
};
