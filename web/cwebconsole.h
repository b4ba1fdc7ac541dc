#pragma once

#include <QString>

#include <memory>
#include <thread>

#include "web/websettings.h"

class CClock;
class CGateway;
class CGatewayBackend;
class CGatewayCounters;
class CSessions;
class CWebRouter;
class CWebUsers;
namespace httplib {
class Server;
}

// The web console: an HTTP(S) server on its own few worker threads (never the Modbus, store or
// decoding threads), serving the router. Built by the gateway when [web] listen is set; starts
// only with an account to log in with.
class CWebConsole
{
public:
    // Worker threads answering requests; a live page costs one short request now and then.
    static constexpr int WORKERS = 4;

    CWebConsole(CGateway *_gateway, CGatewayCounters *_counters, const SWebSettings &_settings,
                const QString &_workDir, CClock *_clock);
    ~CWebConsole();

    // Listens; false with the reason logged when there is no account or the address cannot be bound.
    bool start();
    // The port listened on (the one given, or the one the system chose for port 0).
    int port() const { return boundPort; }

private:
    SWebSettings settings;
    std::unique_ptr<CWebUsers> users;
    std::unique_ptr<CSessions> sessions;
    std::unique_ptr<CGatewayBackend> backend;
    std::unique_ptr<CWebRouter> router;
    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    int boundPort = 0;
    int listeningSocket = -1;
};
