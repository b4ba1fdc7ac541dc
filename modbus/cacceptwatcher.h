#pragma once

#include <QHash>
#include <QMutex>

#include <thread>

class QTcpServer;

// Watches the listening sockets of the Modbus ports on a thread of its own. A server it
// watches does not accept on its own: the event loop that answers polls would otherwise look
// at every idle listening socket on each of its rounds, and with hundreds of ports that costs
// more than the answers. When a client waits, the server is told to accept on its own thread.
class CAcceptWatcher
{
public:
    CAcceptWatcher();
    ~CAcceptWatcher();
    CAcceptWatcher(const CAcceptWatcher &) = delete;
    CAcceptWatcher &operator=(const CAcceptWatcher &) = delete;

    // Takes over the listening _server until it is forgotten; false (the server accepting on
    // its own as before) when the socket cannot be watched.
    bool watch(QTcpServer *_server);
    // The server has accepted what waited: watch its socket for the next client.
    void rearm(QTcpServer *_server);
    // Before the server closes or goes.
    void forget(QTcpServer *_server);

private:
    void run();

    int pollFd = -1;
    int stopFd = -1;
    QMutex mutex;
    // Listening descriptor to its server, for the servers watched now.
    QHash<int, QTcpServer *> servers;
    std::thread thread;
};
