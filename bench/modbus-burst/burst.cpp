// Opens CLIENTS Modbus TCP connections at once (client i to PORT[i % ports]), sends one read
// of 10 holding registers from address 0 on each as soon as it connects, and prints how long
// each client waited from its connect() to the whole answer: p50, p99 and the slowest.
//
// usage: kelvara-bench-burst CLIENTS PORT [PORT...]

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int QUANTITY = 10;
const int ANSWER_BYTES = 9 + 2 * QUANTITY;
const int GIVE_UP_MS = 10000;

struct Client {
    int fd = -1;
    Clock::time_point started;
    bool sent = false;
    int received = 0;
    unsigned char answer[ANSWER_BYTES];
    double waitedMs = -1;
};

bool sendRequest(Client &_client, int _id)
{
    const unsigned char request[12] = { static_cast<unsigned char>(_id >> 8), static_cast<unsigned char>(_id), 0, 0,
                                        0, 6, 1, 3, 0, 0, 0, QUANTITY };
    return send(_client.fd, request, sizeof request, MSG_NOSIGNAL) == sizeof request;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s CLIENTS PORT [PORT...]\n", argv[0]);
        return 2;
    }
    const int count = std::atoi(argv[1]);
    std::vector<int> ports;
    for (int i = 2; i < argc; ++i)
        ports.push_back(std::atoi(argv[i]));
    rlimit files {};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < rlim_t(count + 64)) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, count + 64);
        setrlimit(RLIMIT_NOFILE, &files);
    }
    const int poller = epoll_create1(0);
    std::vector<Client> clients(count);
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        Client &client = clients[i];
        client.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(uint16_t(ports[i % ports.size()]));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        setsockopt(client.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        client.started = Clock::now();
        if (connect(client.fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
            ++failed;
            close(client.fd);
            client.fd = -1;
            continue;
        }
        epoll_event event {};
        event.events = EPOLLOUT | EPOLLIN;
        event.data.u32 = uint32_t(i);
        epoll_ctl(poller, EPOLL_CTL_ADD, client.fd, &event);
    }
    int open = count - failed;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(GIVE_UP_MS);
    std::vector<epoll_event> events(256);
    while (open > 0 && Clock::now() < deadline) {
        const int ready = epoll_wait(poller, events.data(), int(events.size()), 100);
        for (int e = 0; e < ready; ++e) {
            const int i = int(events[e].data.u32);
            Client &client = clients[i];
            bool done = false;
            bool broken = (events[e].events & (EPOLLERR | EPOLLHUP)) != 0 && !(events[e].events & EPOLLIN);
            if (!broken && !client.sent && (events[e].events & EPOLLOUT)) {
                client.sent = sendRequest(client, i);
                broken = !client.sent;
                epoll_event event {};
                event.events = EPOLLIN;
                event.data.u32 = uint32_t(i);
                epoll_ctl(poller, EPOLL_CTL_MOD, client.fd, &event);
            }
            if (!broken && (events[e].events & EPOLLIN)) {
                const ssize_t got = recv(client.fd, client.answer + client.received, ANSWER_BYTES - client.received, 0);
                if (got <= 0 && !(got < 0 && errno == EAGAIN))
                    broken = true;
                else if (got > 0)
                    client.received += int(got);
                if (client.received == ANSWER_BYTES) {
                    done = client.answer[7] == 3 && client.answer[8] == 2 * QUANTITY;
                    broken = !done;
                    client.waitedMs = std::chrono::duration<double, std::milli>(Clock::now() - client.started).count();
                }
            }
            if (done || broken) {
                failed += broken ? 1 : 0;
                close(client.fd);
                client.fd = -1;
                --open;
            }
        }
    }
    failed += open;
    std::vector<double> waited;
    for (const Client &client : clients) {
        if (client.fd >= 0)
            close(client.fd);
        if (client.waitedMs >= 0 && client.received == ANSWER_BYTES)
            waited.push_back(client.waitedMs);
    }
    std::sort(waited.begin(), waited.end());
    auto at = [&waited](double _share) {
        return waited.empty() ? 0.0 : waited[std::min(waited.size() - 1, size_t(_share * waited.size()))];
    };
    std::printf("clients=%d answered=%zu failed=%d p50_ms=%.1f p99_ms=%.1f max_ms=%.1f\n", count, waited.size(), failed,
                at(0.5), at(0.99), waited.empty() ? 0.0 : waited.back());
    return failed == 0 ? 0 : 1;
}
