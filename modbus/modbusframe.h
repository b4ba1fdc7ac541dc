#pragma once

#include <QByteArray>
#include <QMap>

#include <cstdint>

#include "store/storerecords.h"

// The MBAP header of a request (its first six bytes), in host order.
struct SModbusMBAP {
    uint16_t transactionId = 0;
    uint16_t protocolId = 0;
    uint16_t length = 0; // bytes after the length field: unit identifier and PDU
};

// Unit identifier and the PDU fields of a register read.
struct SModbusTcpPacketHeader {
    uint8_t unitId = 0;
    uint8_t functionCode = 0;
    uint16_t startAddress = 0;
    uint16_t quantity = 0;
};

// Modbus TCP framing and answers as plain functions over bytes.
namespace MODBUS {

enum EFunction : uint8_t { READ_HOLDING_REGISTERS = 0x03, READ_INPUT_REGISTERS = 0x04 };

enum EException : uint8_t {
    NO_EXCEPTION = 0x00,
    ILLEGAL_FUNCTION = 0x01,
    ILLEGAL_DATA_ADDRESS = 0x02,
    ILLEGAL_DATA_VALUE = 0x03,
    SERVER_DEVICE_FAILURE = 0x04,
    SERVER_DEVICE_BUSY = 0x06,
    // No device answers the unit, or its values are stale.
    GATEWAY_TARGET_FAILED = 0x0B
};

// Bytes up to and including the length field.
constexpr int MBAP_FIELDS_SIZE = 6;
// Unit identifier and function code: the least a frame needs to be answered.
constexpr uint16_t MIN_FRAME_LENGTH = 2;
// Unit identifier, function code, start address, quantity.
constexpr uint16_t MIN_REQUEST_LENGTH = 6;
// A Modbus TCP frame is at most 260 bytes.
constexpr uint16_t MAX_LENGTH = 254;
constexpr uint16_t MAX_READ_QUANTITY = 125;
constexpr uint32_t ADDRESS_SPACE = 0x10000;

// What the start of a receive buffer holds.
enum class EFrameState {
    NEED_HEADER, // fewer than six bytes
    NEED_BODY,   // header read, frame not complete yet
    TOO_SHORT,   // complete, but without a function code: dropped unanswered
    TOO_LONG,    // length beyond any Modbus frame: the peer is not speaking Modbus
    COMPLETE
};

struct SFrameCheck {
    EFrameState state = EFrameState::NEED_HEADER;
    int frameSize = 0; // bytes the frame occupies in the stream, once its header is known
};

// A big-endian word of a frame, and the other way.
uint16_t readWord(const QByteArray &_bytes, int _offset);
void appendWord(QByteArray &_bytes, uint16_t _value);
// Transaction and protocol id echoed, the length, the unit and the function of an answer.
QByteArray answerHead(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, uint16_t _length,
                      uint8_t _function);

SFrameCheck checkFrame(const QByteArray &_buffer);
// Both read the first bytes of a buffer already checked by checkFrame; fields past the end
// of a short frame read 0.
SModbusMBAP parseMbap(const QByteArray &_frame);
SModbusTcpPacketHeader parseHeader(const QByteArray &_frame);

// The exception a register read calls for before any register is read, or NO_EXCEPTION;
// _length is the frame's MBAP length.
EException checkRequest(const SModbusTcpPacketHeader &_header, uint16_t _length = MIN_REQUEST_LENGTH);

// The exception a register read of the store calls for, or NO_EXCEPTION: a unit no device on
// the port has, and values of a device whose stale policy is exception, get 0x0B.
EException readException(EReadStatus _status);

// Normal answer carrying every register of _data in ascending address order.
QByteArray readAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                      const QMap<uint16_t, uint16_t> &_data);
// The same answer written into _out (its old content replaced, its capacity kept), from
// _count words in address order: what the connection sends per poll, without allocating.
void writeReadAnswer(QByteArray &_out, const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                     const uint16_t *_words, int _count);
// Nine-byte exception answer.
QByteArray exceptionAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, EException _code);

} // namespace MODBUS
