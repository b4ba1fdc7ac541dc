#pragma once

#include <QtGlobal>

class CLogSink;

// Bounds of the Modbus TCP service. The defaults are those of a settings file without
// a [modbus] group.
struct SModbusLimits
{
    // Answers a client has not taken yet, in bytes: beyond this its further requests wait
    // unread in the socket, so a client that never reads costs a bounded amount of memory.
    qint64 maxUnsentBytes = 64 * 1024;
    // A connection that neither sent nor took anything for this long is closed; 0: never.
    int idleTimeoutMs = 300 * 1000;
    // Open client connections over all ports; a new one beyond closes the longest idle one.
    int maxConnections = 1000;
    // Log lines one client causes (bad or partial frames): at most one per interval, so a
    // client cannot flood the log.
    int clientLogIntervalMs = 1000;
};

// Raises the soft limit of open files to the hard one, so the connection cap rather than
// the descriptor limit decides who is served. False, logged, when it cannot be raised.
bool raiseOpenFileLimit(CLogSink *_log);
