#include "modbus/cacceptwatcher.h"

#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Once per readiness: the server accepts, then asks to be watched again.
bool control(int _pollFd, int _operation, int _fd)
{
    epoll_event event {};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.fd = _fd;
    return epoll_ctl(_pollFd, _operation, _fd, &event) == 0;
}

} // namespace

CAcceptWatcher::CAcceptWatcher()
    : pollFd(epoll_create1(EPOLL_CLOEXEC))
    , stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event stop {};
    stop.events = EPOLLIN;
    stop.data.fd = stopFd;
    if (pollFd >= 0 && stopFd >= 0 && epoll_ctl(pollFd, EPOLL_CTL_ADD, stopFd, &stop) == 0)
        thread = std::thread(&CAcceptWatcher::run, this);
}

CAcceptWatcher::~CAcceptWatcher()
{
    if (thread.joinable()) {
        const uint64_t one = 1;
        if (write(stopFd, &one, sizeof(one)) == sizeof(one))
            thread.join();
        else
            thread.detach();
    }
    if (stopFd >= 0)
        close(stopFd);
    if (pollFd >= 0)
        close(pollFd);
}

bool CAcceptWatcher::watch(QTcpServer *_server, std::function<void()> _accept)
{
    const int fd = int(_server->socketDescriptor());
    if (!thread.joinable() || fd < 0)
        return false;
    QMutexLocker locker(&mutex);
    if (!control(pollFd, EPOLL_CTL_ADD, fd))
        return false;
    servers.insert(fd, SWatched { _server, std::move(_accept) });
    _server->pauseAccepting();
    return true;
}

void CAcceptWatcher::rearm(QTcpServer *_server)
{
    const int fd = int(_server->socketDescriptor());
    QMutexLocker locker(&mutex);
    if (servers.value(fd).server != _server)
        return;
    control(pollFd, EPOLL_CTL_MOD, fd);
}

void CAcceptWatcher::forget(QTcpServer *_server)
{
    QMutexLocker locker(&mutex);
    for (auto it = servers.begin(); it != servers.end(); ++it) {
        if (it.value().server == _server) {
            epoll_ctl(pollFd, EPOLL_CTL_DEL, it.key(), nullptr);
            servers.erase(it);
            return;
        }
    }
}

void CAcceptWatcher::run()
{
    const int MAX_EVENTS = 64;
    epoll_event events[MAX_EVENTS];
    for (;;) {
        const int ready = epoll_wait(pollFd, events, MAX_EVENTS, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return;
        QMutexLocker locker(&mutex);
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.fd == stopFd)
                return;
            const auto watched = servers.constFind(events[i].data.fd);
            // Posted under the lock: a server forgotten and deleted afterwards takes the call with it;
            // one only closed meanwhile has nothing to accept.
            if (watched != servers.constEnd()) {
                QTcpServer *server = watched->server;
                const std::function<void()> accept = watched->accept;
                QMetaObject::invokeMethod(server, [server, accept] {
                    if (server->isListening())
                        accept();
                }, Qt::QueuedConnection);
            }
        }
    }
}
