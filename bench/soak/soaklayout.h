#pragma once

#include <cstdint>

// Where the soak puts its devices and what their registers hold, shared by the
// setup program and the Modbus checker. Device d is served on port d / DEVICES_PER_PORT
// at start address (d % DEVICES_PER_PORT) * DEVICE_STRIDE; its block reads
//   +0..1 frame counter, +2..3 d, +4..5 ~d, +6 phase = (fcnt - 1) % PHASES, +7 MAGIC,
// and +8..9 stay unused. Before its first uplink a block is all zero.
namespace soak {

constexpr int DEVICES = 1000;
constexpr int PORTS = 50;
constexpr int DEVICES_PER_PORT = DEVICES / PORTS;
constexpr int DEVICE_STRIDE = 10;
constexpr int USED_REGISTERS = 8;
constexpr int PHASES = 4;
constexpr uint16_t MAGIC = 0xc0de;
// Registers past the last device that a poll also reads: they must read 0.
constexpr int TAIL_REGISTERS = 10;

constexpr int OFFSET_FCNT = 0;
constexpr int OFFSET_INDEX = 2;
constexpr int OFFSET_COMPLEMENT = 4;
constexpr int OFFSET_PHASE = 6;
constexpr int OFFSET_MAGIC = 7;

} // namespace soak
