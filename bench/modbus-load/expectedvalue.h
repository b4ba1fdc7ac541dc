#pragma once

#include <cstdint>

// The value both benchmark servers hold at a register, so every answer can be
// checked word by word.
inline uint16_t expectedRegisterValue(int portIndex, int address)
{
    return static_cast<uint16_t>((address * 7919 + portIndex * 131 + 0x1234) & 0xffff);
}
