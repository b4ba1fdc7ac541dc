#pragma once

#include <QHash>
#include <QMutex>

#include <functional>
#include <thread>

class QTcpServer;

// Watches the listening sockets of the Modbus ports on a thread of its own. A server it
// watches does not accept on its own: the event loop that answers polls would otherwise look
// at every idle listening socket on each of its rounds, and with hundreds of ports that costs
// more than the answers. When a client waits, the server's accept function runs on the server's
// thread: it takes everything the listen queue holds, then rearms the watch once.
class CAcceptWatcher
{
public:
    CAcceptWatcher();
    ~CAcceptWatcher();
    CAcceptWatcher(const CAcceptWatcher &) = delete;
    CAcceptWatcher &operator=(const CAcceptWatcher &) = delete;

    // Takes over the listening _server until it is forgotten: _accept runs on the server's thread
    // whenever clients wait. False (the server accepting on its own as before) when the socket
    // cannot be watched.
    bool watch(QTcpServer *_server, std::function<void()> _accept);
    // The server has accepted what waited: watch its socket for the next client.
    void rearm(QTcpServer *_server);
    // Before the server closes or goes.
    void forget(QTcpServer *_server);

private:
    void run();

    int pollFd = -1;
    int stopFd = -1;
    QMutex mutex;
    struct SWatched
    {
        QTcpServer *server = nullptr;
        std::function<void()> accept;
    };
    // Listening descriptor to its server, for the servers watched now.
    QHash<int, SWatched> servers;
    std::thread thread;
};
