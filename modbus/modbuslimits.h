#pragma once

#include <QtGlobal>

// Bounds of the Modbus TCP service.
struct SModbusLimits {
    // Answers a client has not taken yet, in bytes: beyond this its further requests wait
    // unread in the socket, so a client that never reads costs a bounded amount of memory.
    qint64 maxUnsentBytes = 64 * 1024;
};
