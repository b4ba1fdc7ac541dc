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

    enum class EVerdict {
        KEEP_OPEN, // every complete frame answered, the rest waits for more bytes
        CLOSE // the peer is not speaking Modbus: close the connection
    };

    // Appends _bytes and answers every complete frame now at the front of the buffer.
    EVerdict feed(const QByteArray &_bytes, const FrameHandler &_answer);

    // Bytes kept for a frame not complete yet; below one whole frame after every feed.
    int pendingSize() const { return buffer.size(); }

private:
    QByteArray buffer;
};
