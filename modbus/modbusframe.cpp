#include "modbus/modbusframe.h"

#include <QtEndian>

namespace MODBUS {

uint16_t readWord(const QByteArray &_bytes, int _offset)
{
    return uint16_t((uint8_t(_bytes.at(_offset)) << 8) | uint8_t(_bytes.at(_offset + 1)));
}

void appendWord(QByteArray &_bytes, uint16_t _value)
{
    _bytes.append(char(_value >> 8));
    _bytes.append(char(_value & 0xff));
}

QByteArray answerHead(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, uint16_t _length,
                      uint8_t _function)
{
    QByteArray bytes;
    bytes.reserve(MODBUS::MBAP_FIELDS_SIZE + _length);
    appendWord(bytes, _mbap.transactionId);
    appendWord(bytes, _mbap.protocolId);
    appendWord(bytes, _length);
    bytes.append(char(_header.unitId));
    bytes.append(char(_function));
    return bytes;
}

} // namespace MODBUS

namespace MODBUS {

SFrameCheck checkFrame(const QByteArray &_buffer)
{
    SFrameCheck check;
    if (_buffer.size() < MBAP_FIELDS_SIZE)
        return check;
    const uint16_t length = readWord(_buffer, 4);
    check.frameSize = MBAP_FIELDS_SIZE + length;
    if (length > MAX_LENGTH)
        check.state = EFrameState::TOO_LONG;
    else if (_buffer.size() < check.frameSize)
        check.state = EFrameState::NEED_BODY;
    else if (length < MIN_FRAME_LENGTH)
        check.state = EFrameState::TOO_SHORT;
    else
        check.state = EFrameState::COMPLETE;
    return check;
}

SModbusMBAP parseMbap(const QByteArray &_frame)
{
    return SModbusMBAP{readWord(_frame, 0), readWord(_frame, 2), readWord(_frame, 4)};
}

SModbusTcpPacketHeader parseHeader(const QByteArray &_frame)
{
    const int frameSize = MBAP_FIELDS_SIZE + readWord(_frame, 4);
    const auto wordAt = [&](int _offset) { return frameSize >= _offset + 2 ? readWord(_frame, _offset) : uint16_t(0); };
    return SModbusTcpPacketHeader{uint8_t(_frame.at(6)), uint8_t(_frame.at(7)), wordAt(8), wordAt(10)};
}

EException checkRequest(const SModbusTcpPacketHeader &_header, uint16_t _length)
{
    if (_header.functionCode != READ_HOLDING_REGISTERS && _header.functionCode != READ_INPUT_REGISTERS)
        return ILLEGAL_FUNCTION;
    if (_length < MIN_REQUEST_LENGTH)
        return ILLEGAL_DATA_VALUE;
    if (_header.quantity < 1 || _header.quantity > MAX_READ_QUANTITY)
        return ILLEGAL_DATA_VALUE;
    if (uint32_t(_header.startAddress) + _header.quantity > ADDRESS_SPACE)
        return ILLEGAL_DATA_ADDRESS;
    return NO_EXCEPTION;
}

EException readException(EReadStatus _status)
{
    return _status == EReadStatus::OK ? NO_EXCEPTION : GATEWAY_TARGET_FAILED;
}

QByteArray readAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                      const QMap<uint16_t, uint16_t> &_data)
{
    const int dataBytes = 2 * _data.size();
    QByteArray bytes = answerHead(_mbap, _header, uint16_t(dataBytes + 3), _header.functionCode);
    bytes.reserve(bytes.size() + 1 + dataBytes);
    bytes.append(char(uint8_t(dataBytes)));
    for (auto it = _data.cbegin(); it != _data.cend(); ++it)
        appendWord(bytes, it.value());
    return bytes;
}

void writeReadAnswer(QByteArray &_out, const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                     const uint16_t *_words, int _count)
{
    const int dataBytes = 2 * _count;
    const uint16_t length = uint16_t(dataBytes + 3);
    const int headBytes = MBAP_FIELDS_SIZE + 3;
    _out.resize(headBytes + dataBytes);
    uchar *bytes = reinterpret_cast<uchar *>(_out.data());
    qToBigEndian<quint16>(_mbap.transactionId, bytes);
    qToBigEndian<quint16>(_mbap.protocolId, bytes + 2);
    qToBigEndian<quint16>(length, bytes + 4);
    bytes[6] = _header.unitId;
    bytes[7] = _header.functionCode;
    bytes[8] = uchar(dataBytes);
    for (int i = 0; i < _count; ++i)
        qToBigEndian<quint16>(_words[i], bytes + headBytes + 2 * i);
}

QByteArray exceptionAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, EException _code)
{
    const uint8_t exceptionFlag = 0x80;
    QByteArray bytes = answerHead(_mbap, _header, 3, uint8_t(_header.functionCode | exceptionFlag));
    bytes.append(char(_code));
    return bytes;
}

} // namespace MODBUS
