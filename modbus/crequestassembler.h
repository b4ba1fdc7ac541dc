#pragma once

#include <QByteArray>

#include <functional>

#include "modbus/modbusframe.h"

// Cuts the byte stream of one Modbus TCP connection into request frames, however the
// peer's segments fall, and hands each complete register read to be answered once.
// Kept apart from the socket so the reassembly can be driven with plain bytes.
class CRequestAssembler
{
public:
    // Called once per complete request frame, in stream order.
    using FrameHandler = std::function<void(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header)>;

    // Takes the assembler's log lines.
    using LogSink = std::function<void(const QString &_line)>;
    // Asked before each complete frame is answered; false holds that frame and the rest.
    using ReadyCheck = std::function<bool()>;

    enum class EVerdict {
        KEEP_OPEN, // every complete frame answered, the rest waits for more bytes
        HOLD, // complete frames wait until the caller is ready: feed again, with no bytes first
        CLOSE // the peer is not speaking Modbus: close the connection
    };

    explicit CRequestAssembler(LogSink _log);

    // Appends _bytes and answers every complete frame now at the front of the buffer,
    // as long as _ready (when given) agrees.
    EVerdict feed(const QByteArray &_bytes, const FrameHandler &_answer, const ReadyCheck &_ready = ReadyCheck());

    // Bytes kept for frames not answered yet; below one whole frame after every feed
    // that does not hold.
    int pendingSize() const { return buffer.size(); }
    // The whole frame being answered, for a handler that needs more than its header.
    QByteArray currentFrame() const { return buffer.left(currentFrameSize); }

private:
    LogSink log;
    QByteArray buffer;
    int currentFrameSize = 0;
};
