// Reference Modbus TCP server: every holding and input register holds the
// benchmark's expected value for port index 0, answers come from memory.
//
// usage: kelvara-bench-refserver PORT REGISTERS SECONDS

#include <modbus.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/select.h>
#include <unistd.h>

#include "../modbus-load/expectedvalue.h"

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s PORT REGISTERS SECONDS\n", argv[0]);
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const int registers = std::atoi(argv[2]);
    const int seconds = std::atoi(argv[3]);

    modbus_t *context = modbus_new_tcp("127.0.0.1", port);
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, registers, registers);
    if (!context || !mapping) {
        std::fprintf(stderr, "refserver: cannot allocate: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int address = 0; address < registers; ++address) {
        mapping->tab_registers[address] = expectedRegisterValue(0, address);
        mapping->tab_input_registers[address] = expectedRegisterValue(0, address);
    }

    const int listener = modbus_tcp_listen(context, 64);
    if (listener < 0) {
        std::fprintf(stderr, "refserver: cannot listen on %d: %s\n", port, modbus_strerror(errno));
        return 1;
    }
    std::printf("listening on port %d\n", port);
    std::fflush(stdout);

    fd_set clients;
    FD_ZERO(&clients);
    FD_SET(listener, &clients);
    int highest = listener;
    const time_t deadline = std::time(nullptr) + seconds;
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];

    while (std::time(nullptr) < deadline) {
        fd_set ready = clients;
        timeval tick{0, 200000};
        const int count = select(highest + 1, &ready, nullptr, nullptr, &tick);
        if (count < 0)
            break;
        for (int fd = 0; fd <= highest && count > 0; ++fd) {
            if (!FD_ISSET(fd, &ready))
                continue;
            if (fd == listener) {
                const int client = modbus_tcp_accept(context, const_cast<int *>(&listener));
                if (client >= 0) {
                    FD_SET(client, &clients);
                    if (client > highest)
                        highest = client;
                }
                continue;
            }
            modbus_set_socket(context, fd);
            const int length = modbus_receive(context, query);
            if (length > 0) {
                modbus_reply(context, query, length, mapping);
            } else if (length < 0) {
                close(fd);
                FD_CLR(fd, &clients);
            }
        }
    }
    close(listener);
    modbus_mapping_free(mapping);
    modbus_free(context);
    return 0;
}
