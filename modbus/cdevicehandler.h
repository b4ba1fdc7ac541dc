#pragma once

#include <QHostAddress>
#include <QTcpServer>

class CAcceptWatcher;
class CLogSink;
class CRegisterReader;
class CModbusConnections;

// The Modbus TCP server of one port: one CConnectionHandler per accepted client, each
// answering from the register store. The connections of all ports count against one
// cap, kept by the CModbusConnections every server is given.
class CDeviceHandler : public QTcpServer
{
    Q_OBJECT

public:
    // _connections must outlive the server, and so must _watcher, which (when given) watches
    // the listening socket instead of the event loop.
    CDeviceHandler(uint16_t _port, CRegisterReader *_store, CModbusConnections &_connections,
                   CAcceptWatcher *_watcher = nullptr);
    // Frees the port.
    ~CDeviceHandler() override;

    uint16_t getPort() const { return port; }
    // Starts listening on _address (every interface when Any); false with a log line (when _logFailure)
    // if the port is taken.
    bool open(const QHostAddress &_address, bool _logFailure);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private slots:
    // QTcpServer stops accepting after an accept error, out of descriptors for one.
    void acceptErrorSlot(QAbstractSocket::SocketError _error);

private:
    // Watched by the accept watcher: takes every client the listen queue holds, then has the
    // socket watched again, so a burst of clients costs one wake-up.
    void acceptWaiting();
    CLogSink *log() const;

    uint16_t port;
    CRegisterReader *store;
    CModbusConnections &connections;
    CAcceptWatcher *watcher;
    // The watcher took the listening socket over.
    bool watched = false;
};
