// Polls the soak's gateway over Modbus TCP for a fixed time and checks every
// answer against the self-checking layout of soaklayout.h, while the values
// change under it: a device block is all zero (no uplink yet) or carries the
// device's index, its complement, the marker, and a frame counter that never goes
// back and matches the phase stored with it; unused registers read 0.
//
// usage: kelvara-soak-check SECONDS CONNECTIONS QUANTITY PORT... (soak::PORTS ports,
// in port-index order). Each connection moves to another port every
// SESSION_REQUESTS requests, so all ports are read and connections come and go.
// Prints one line of figures; exits 1 on any wrong answer or failed request.

#include <modbus.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "soaklayout.h"

namespace {

const int SESSION_REQUESTS = 2000;
const int REPORTED_FAULTS = 20;
const int SPAN = soak::DEVICES_PER_PORT * soak::DEVICE_STRIDE + soak::TAIL_REGISTERS;

std::mutex reportMutex;
std::atomic<int> reported { 0 };

void report(int _port, int _address, const std::string &_what)
{
    if (reported.fetch_add(1) >= REPORTED_FAULTS)
        return;
    std::lock_guard<std::mutex> lock(reportMutex);
    std::fprintf(stderr, "soak check: port %d, read from %d: %s\n", _port, _address, _what.c_str());
}

struct SConnectionResult {
    long requests = 0;
    long wrongAnswers = 0;
    long failedRequests = 0;
    long sessions = 0;
    // Device blocks read with an uplink's data and still empty: shows the checks were not idle.
    long writtenBlocks = 0;
    long emptyBlocks = 0;
};

// What one answer showed of one device's block.
struct SBlock {
    std::array<uint16_t, soak::USED_REGISTERS> words {};
    std::array<bool, soak::USED_REGISTERS> present {};
};

class CConnectionChecker
{
public:
    explicit CConnectionChecker(SConnectionResult &_result)
        : result(_result)
        , lastFcnt(soak::DEVICES, 0)
    {
    }

    // True when every register of the answer is as the layout allows.
    bool checkAnswer(int _port, int _portIndex, int _address, const std::vector<uint16_t> &_answer)
    {
        std::vector<SBlock> blocks(soak::DEVICES_PER_PORT);
        std::vector<bool> seen(soak::DEVICES_PER_PORT, false);
        bool right = true;
        for (size_t i = 0; i < _answer.size(); ++i) {
            const int address = _address + int(i);
            const int slot = address / soak::DEVICE_STRIDE;
            const int offset = address % soak::DEVICE_STRIDE;
            if (slot >= soak::DEVICES_PER_PORT || offset >= soak::USED_REGISTERS) {
                if (_answer[i] != 0) {
                    report(_port, _address, "unused register " + std::to_string(address) + " reads "
                                                + std::to_string(_answer[i]));
                    right = false;
                }
                continue;
            }
            blocks[size_t(slot)].words[size_t(offset)] = _answer[i];
            blocks[size_t(slot)].present[size_t(offset)] = true;
            seen[size_t(slot)] = true;
        }
        for (int slot = 0; slot < soak::DEVICES_PER_PORT; ++slot) {
            if (seen[size_t(slot)] && !checkBlock(_port, _address, _portIndex * soak::DEVICES_PER_PORT + slot,
                                                  blocks[size_t(slot)]))
                right = false;
        }
        return right;
    }

private:
    bool checkBlock(int _port, int _address, int _device, const SBlock &_block)
    {
        const auto has = [&](int _offset) { return _block.present[size_t(_offset)]; };
        const auto word = [&](int _offset) { return _block.words[size_t(_offset)]; };
        const auto fault = [&](const std::string &_what) {
            report(_port, _address, "device " + std::to_string(_device) + ": " + _what);
            return false;
        };
        // Registers that are never 0 once the device has had an uplink (fcnt stays below 65536 here).
        const int witnesses[] = { soak::OFFSET_FCNT + 1, soak::OFFSET_COMPLEMENT, soak::OFFSET_COMPLEMENT + 1,
                                  soak::OFFSET_MAGIC };
        bool anyWitness = false, written = false;
        for (int offset : witnesses) {
            if (has(offset)) {
                anyWitness = true;
                written = written || word(offset) != 0;
            }
        }
        if (!anyWitness) {
            for (int offset = 0; offset < soak::USED_REGISTERS; ++offset)
                written = written || (has(offset) && word(offset) != 0);
        }
        uint32_t &last = lastFcnt[size_t(_device)];
        if (!written) {
            for (int offset = 0; offset < soak::USED_REGISTERS; ++offset) {
                if (has(offset) && word(offset) != 0)
                    return fault("a block partly written");
            }
            if (anyWitness && last != 0)
                return fault("reads empty after frame counter " + std::to_string(last));
            result.emptyBlocks++;
            return true;
        }
        result.writtenBlocks++;
        const uint32_t index = uint32_t(_device), complement = ~uint32_t(_device);
        const std::pair<int, uint16_t> fixed[] = { { soak::OFFSET_INDEX, uint16_t(index >> 16) },
            { soak::OFFSET_INDEX + 1, uint16_t(index) }, { soak::OFFSET_COMPLEMENT, uint16_t(complement >> 16) },
            { soak::OFFSET_COMPLEMENT + 1, uint16_t(complement) }, { soak::OFFSET_MAGIC, soak::MAGIC } };
        for (const auto &expected : fixed) {
            if (has(expected.first) && word(expected.first) != expected.second)
                return fault("register +" + std::to_string(expected.first) + " reads " + std::to_string(word(expected.first))
                             + ", expected " + std::to_string(expected.second));
        }
        if (has(soak::OFFSET_PHASE) && word(soak::OFFSET_PHASE) >= soak::PHASES)
            return fault("phase " + std::to_string(word(soak::OFFSET_PHASE)));
        if (!has(soak::OFFSET_FCNT) || !has(soak::OFFSET_FCNT + 1))
            return true;
        const uint32_t fcnt = uint32_t(word(soak::OFFSET_FCNT)) << 16 | word(soak::OFFSET_FCNT + 1);
        if (fcnt == 0)
            return fault("frame counter 0 with data");
        if (fcnt < last)
            return fault("frame counter went back from " + std::to_string(last) + " to " + std::to_string(fcnt));
        last = fcnt;
        if (has(soak::OFFSET_PHASE) && word(soak::OFFSET_PHASE) != (fcnt - 1) % soak::PHASES)
            return fault("phase " + std::to_string(word(soak::OFFSET_PHASE)) + " stored with frame counter "
                         + std::to_string(fcnt));
        return true;
    }

    SConnectionResult &result;
    // Highest frame counter this connection has read per device: what it reads later may not be lower.
    std::vector<uint32_t> lastFcnt;
};

void poll(int _first, int _step, int _quantity, const std::vector<int> &_ports,
          std::chrono::steady_clock::time_point _deadline, SConnectionResult &_result)
{
    CConnectionChecker checker(_result);
    std::vector<uint16_t> answer(static_cast<size_t>(_quantity));
    const int span = SPAN - _quantity + 1;
    int portIndex = _first % int(_ports.size());
    int address = (_first * 11) % span;
    bool holding = (_first % 2) == 0;
    while (std::chrono::steady_clock::now() < _deadline) {
        const int port = _ports[size_t(portIndex)];
        modbus_t *context = modbus_new_tcp("127.0.0.1", port);
        if (!context || modbus_connect(context) != 0) {
            std::fprintf(stderr, "soak check: cannot connect to %d: %s\n", port, modbus_strerror(errno));
            _result.failedRequests++;
            if (context)
                modbus_free(context);
            return;
        }
        modbus_set_response_timeout(context, 2, 0);
        _result.sessions++;
        for (int n = 0; n < SESSION_REQUESTS && std::chrono::steady_clock::now() < _deadline; ++n) {
            const int read = holding ? modbus_read_registers(context, address, _quantity, answer.data())
                                     : modbus_read_input_registers(context, address, _quantity, answer.data());
            _result.requests++;
            if (read != _quantity) {
                _result.failedRequests++;
                report(port, address, std::string("request failed: ") + modbus_strerror(errno));
                break;
            }
            if (!checker.checkAnswer(port, portIndex, address, answer))
                _result.wrongAnswers++;
            address = (address + 37) % span;
            holding = !holding;
        }
        modbus_close(context);
        modbus_free(context);
        portIndex = (portIndex + _step) % int(_ports.size());
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4 + soak::PORTS) {
        std::fprintf(stderr, "usage: %s SECONDS CONNECTIONS QUANTITY PORT... (%d ports)\n", argv[0], soak::PORTS);
        return 2;
    }
    const int seconds = std::atoi(argv[1]);
    const int connections = std::atoi(argv[2]);
    const int quantity = std::atoi(argv[3]);
    if (seconds < 1 || connections < 1 || quantity < 1 || quantity > 125 || quantity > SPAN) {
        std::fprintf(stderr, "soak check: SECONDS and CONNECTIONS at least 1, QUANTITY 1..125\n");
        return 2;
    }
    std::vector<int> ports;
    for (int i = 4; i < argc; ++i)
        ports.push_back(std::atoi(argv[i]));

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<SConnectionResult> results(static_cast<size_t>(connections));
    std::vector<std::thread> pollers;
    for (int i = 0; i < connections; ++i)
        pollers.emplace_back(poll, i, connections, quantity, std::cref(ports), deadline, std::ref(results[size_t(i)]));
    for (auto &poller : pollers)
        poller.join();

    SConnectionResult total;
    for (const auto &result : results) {
        total.requests += result.requests;
        total.wrongAnswers += result.wrongAnswers;
        total.failedRequests += result.failedRequests;
        total.sessions += result.sessions;
        total.writtenBlocks += result.writtenBlocks;
        total.emptyBlocks += result.emptyBlocks;
    }
    std::printf("modbus: requests=%ld requests_per_second=%.0f sessions=%ld blocks_with_data=%ld empty_blocks=%ld "
                "wrong_answers=%ld failed=%ld\n",
                total.requests, total.requests / double(seconds), total.sessions, total.writtenBlocks,
                total.emptyBlocks, total.wrongAnswers, total.failedRequests);
    return (total.wrongAnswers == 0 && total.failedRequests == 0) ? 0 : 1;
}
