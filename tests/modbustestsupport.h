#pragma once

// Helpers for tests that talk to a running Modbus server over loopback.

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "modbus/cdevicehandler.h"
#include "modbus/cmodbusconnections.h"
#include "store/cdatabasehandler.h"

namespace ModbusTest {

inline QByteArray hex(const char *text) { return QByteArray::fromHex(QByteArray(text).replace(' ', "")); }

// A port nobody listens on right now.
inline uint16_t freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 0;
    return probe.serverPort();
}

// A CDeviceHandler answering from _store, its clients counted by _connections, listening on a port picked now; a few tries
// against a racing process.
inline std::unique_ptr<CDeviceHandler> startServer(CDataBaseHandler *_store, CModbusConnections &_connections)
{
    std::unique_ptr<CDeviceHandler> server;
    for (int attempt = 0; attempt < 5 && !(server && server->isListening()); ++attempt) {
        server.reset(new CDeviceHandler(freePort(), _store, _connections));
        server->open(QHostAddress::Any, false);
    }
    return server;
}

// Reads count bytes, running the event loop (the server lives in it) for at most
// five seconds; fewer bytes on time-out.
inline QByteArray readExactly(QTcpSocket &socket, int count)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.bytesAvailable() < count && timer.elapsed() < 5000) {
        QSignalSpy arrived(&socket, &QIODevice::readyRead);
        arrived.wait(int(5000 - timer.elapsed()));
    }
    return socket.read(count);
}

// Connects a client to the loopback port, running the event loop meanwhile.
inline bool connectClient(QTcpSocket &socket, uint16_t port)
{
    QSignalSpy connected(&socket, &QTcpSocket::connected);
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.state() == QAbstractSocket::ConnectedState || connected.wait(5000);
}

} // namespace ModbusTest
