#pragma once

#include <QString>

#include <cstdint>

// A register's value text as the 16-bit word a Modbus client reads: up to four hex
// digits, any letter case; anything else reads 0.
uint16_t registerWord(const QString &_value);
