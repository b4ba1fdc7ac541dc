// Polls Modbus TCP servers with concurrent connections for a fixed time,
// checks every register against the expected value and prints the
// request rate and latency percentiles.
//
// usage: kelvara-bench-modbusload SECONDS CONNECTIONS QUANTITY REGISTERS PORT [PORT...]
// Connection i polls PORT[i % ports]; the port's position is its index in the
// expected values. Addresses sweep 0 .. REGISTERS - QUANTITY.

#include <modbus.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "expectedvalue.h"

namespace {

struct PollerResult {
    std::vector<double> latenciesMs;
    long wrongAnswers = 0;
    long failedRequests = 0;
};

void poll(int port, int portIndex, int quantity, int registers, int offset,
          std::chrono::steady_clock::time_point deadline, PollerResult &result)
{
    modbus_t *context = modbus_new_tcp("127.0.0.1", port);
    if (!context || modbus_connect(context) != 0) {
        std::fprintf(stderr, "modbusload: cannot connect to %d: %s\n", port, modbus_strerror(errno));
        result.failedRequests++;
        if (context)
            modbus_free(context);
        return;
    }
    modbus_set_response_timeout(context, 2, 0);
    std::vector<uint16_t> answer(quantity);
    const int span = registers - quantity + 1;
    int address = offset % span;
    bool holding = true;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto start = std::chrono::steady_clock::now();
        const int read = holding ? modbus_read_registers(context, address, quantity, answer.data())
                                 : modbus_read_input_registers(context, address, quantity, answer.data());
        const auto end = std::chrono::steady_clock::now();
        if (read != quantity) {
            result.failedRequests++;
            // A broken connection would spin: reconnect once, then give up.
            modbus_close(context);
            if (modbus_connect(context) != 0)
                break;
            continue;
        }
        result.latenciesMs.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        for (int i = 0; i < quantity; ++i) {
            if (answer[i] != expectedRegisterValue(portIndex, address + i)) {
                result.wrongAnswers++;
                break;
            }
        }
        address = (address + 37) % span;
        holding = !holding;
    }
    modbus_close(context);
    modbus_free(context);
}

double percentile(std::vector<double> &sorted, double fraction)
{
    if (sorted.empty())
        return 0.0;
    const size_t index = std::min(sorted.size() - 1, static_cast<size_t>(fraction * sorted.size()));
    return sorted[index];
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 6) {
        std::fprintf(stderr, "usage: %s SECONDS CONNECTIONS QUANTITY REGISTERS PORT [PORT...]\n", argv[0]);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int connections = std::atoi(argv[2]);
    const int quantity = std::atoi(argv[3]);
    const int registers = std::atoi(argv[4]);
    std::vector<int> ports;
    for (int i = 5; i < argc; ++i)
        ports.push_back(std::atoi(argv[i]));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<PollerResult> results(connections);
    std::vector<std::thread> pollers;
    for (int i = 0; i < connections; ++i) {
        const int portIndex = i % static_cast<int>(ports.size());
        pollers.emplace_back(poll, ports[portIndex], portIndex, quantity, registers, i * 11, deadline,
                             std::ref(results[i]));
    }
    for (auto &poller : pollers)
        poller.join();

    std::vector<double> latencies;
    long wrong = 0, failed = 0;
    for (const auto &result : results) {
        latencies.insert(latencies.end(), result.latenciesMs.begin(), result.latenciesMs.end());
        wrong += result.wrongAnswers;
        failed += result.failedRequests;
    }
    std::sort(latencies.begin(), latencies.end());
    std::printf("requests=%zu requests_per_second=%.0f p50_ms=%.3f p99_ms=%.3f wrong_answers=%ld failed=%ld\n",
                latencies.size(), latencies.size() / static_cast<double>(seconds), percentile(latencies, 0.50),
                percentile(latencies, 0.99), wrong, failed);
    return (wrong == 0 && failed == 0) ? 0 : 1;
}
