#pragma once

#include <cstdint>

#include "store/storerecords.h"

// What a Modbus poll needs of the store: the words a unit reads on a port, from memory.
class CRegisterReader
{
public:
    virtual ~CRegisterReader() = default;
    // What a poll of unit _unit reads, into _words[0.._count) for a range within 0-65535;
    // or why it reads nothing. Never waits for the disk.
    virtual EReadStatus readRegisters(uint16_t _port, uint8_t _unit, int _first, int _count, uint16_t *_words) = 0;
};
