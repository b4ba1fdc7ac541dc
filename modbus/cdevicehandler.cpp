#include "modbus/cdevicehandler.h"

#include <QTimer>

#include <cerrno>
#include <cstring>
#include <sys/socket.h>

#include "app/logsink.h"
#include "modbus/cacceptwatcher.h"
#include "modbus/cconnectionhandler.h"
#include "modbus/cmodbusconnections.h"

namespace {

const int ACCEPT_RETRY_MS = 1000;

} // namespace

CDeviceHandler::CDeviceHandler(uint16_t _port, CRegisterReader *_store, CModbusConnections &_connections,
                               CAcceptWatcher *_watcher)
    : port(_port)
    , store(_store)
    , connections(_connections)
    , watcher(_watcher)
{
    connect(this, &QTcpServer::acceptError, this, &CDeviceHandler::acceptErrorSlot);
}

CDeviceHandler::~CDeviceHandler()
{
    // The watcher must not wake a server that is gone.
    if (watcher)
        watcher->forget(this);
    close();
}

bool CDeviceHandler::open(const QHostAddress &_address, bool _logFailure)
{
    if (isListening())
        return true;
    if (listen(_address, port)) {
        // Qt listens with a backlog of 50: a burst of SCADA clients connecting at once would
        // overflow it and wait a second for the kernel to retry. Linux takes a new backlog
        // from a second listen() on the same socket.
        if (::listen(int(socketDescriptor()), SOMAXCONN) != 0)
            log()->addLine(QStringLiteral("WARNING: [CDeviceHandler] Port [%1] keeps a listen backlog of 50: %2")
                               .arg(port)
                               .arg(QString::fromLocal8Bit(std::strerror(errno))));
        watched = watcher && watcher->watch(this, [this] { acceptWaiting(); });
        return true;
    }
    if (_logFailure)
        log()->addLine(QStringLiteral("ERROR: [CDeviceHandler] Port [%1] is not opened! Error_text[%2]")
                           .arg(port)
                           .arg(errorString()));
    return false;
}

void CDeviceHandler::acceptWaiting()
{
    const int listening = int(socketDescriptor());
    for (;;) {
        const int fd = accept4(listening, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            incomingConnection(fd);
            continue;
        }
        // The client gave up before it was taken: the next one may still wait.
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO || errno == EPERM)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
            connections.reportAcceptError(port, QAbstractSocket::SocketResourceError);
            // The connection closed for room goes on the next round of the loop; accept after it.
            const int delayMs = connections.closeLongestIdle().isEmpty() ? ACCEPT_RETRY_MS : 0;
            QTimer::singleShot(delayMs, this, [this] {
                if (isListening())
                    acceptWaiting();
            });
            return;
        }
        // The socket is closing: nothing more to accept.
        return;
    }
    watcher->rearm(this);
}

CLogSink *CDeviceHandler::log() const
{
    return connections.getLog() ? connections.getLog() : CLogSink::discard();
}

void CDeviceHandler::acceptErrorSlot(QAbstractSocket::SocketError _error)
{
    connections.reportAcceptError(port, _error);
    // Out of descriptors the longest idle connection makes room at once; otherwise, or
    // with nothing to close, accepting resumes a little later instead of never.
    if (_error == QAbstractSocket::SocketResourceError && !connections.closeLongestIdle().isEmpty())
        resumeAccepting();
    else
        QTimer::singleShot(ACCEPT_RETRY_MS, this, &QTcpServer::resumeAccepting);
}

void CDeviceHandler::incomingConnection(qintptr socketDescriptor)
{
    if (socketDescriptor <= 0)
        return;
    // No parent: the connection outlives this server and deletes itself on disconnect.
    auto *connection = new CConnectionHandler(port, store, connections.getLimits(), connections.getClock(),
                                              connections.getLog());
    if (!connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        log()->addLine(QStringLiteral("ERROR: [CDeviceHandler] Connection on port [%1] is not accepted! "
                                      "Error_text[%2]")
                           .arg(port)
                           .arg(connection->errorString()));
        delete connection;
        return;
    }
    connection->setWriteTarget(connections.getWriteTarget());
    connection->setCounters(connections.getCounters());
    connection->setIdentities(connections.getIdentities());
    connections.admit(connection);
}
