#include "modbus/modbuswrite.h"

namespace {

const uint16_t COIL_ON = 0xff00;
const uint16_t COIL_OFF = 0x0000;
// Unit identifier, function, address, quantity and byte count come before the values of 16.
const int MULTIPLE_VALUES_OFFSET = 13;

} // namespace

namespace MODBUS {

bool isWriteFunction(uint8_t _function)
{
    return _function == WRITE_SINGLE_COIL || _function == WRITE_SINGLE_REGISTER
        || _function == WRITE_MULTIPLE_REGISTERS;
}

EException parseWriteRequest(const QByteArray &_frame, SWriteRequest *_request)
{
    SWriteRequest request;
    request.function = uint8_t(_frame.at(7));
    // Address and quantity or value: a frame without them is malformed.
    if (_frame.size() < MBAP_FIELDS_SIZE + MIN_REQUEST_LENGTH)
        return ILLEGAL_DATA_VALUE;
    request.address = readWord(_frame, 8);
    const uint16_t second = readWord(_frame, 10);
    switch (request.function) {
    case READ_COILS:
        if (second < 1 || second > MAX_READ_COILS)
            return ILLEGAL_DATA_VALUE;
        request.count = second;
        break;
    case WRITE_SINGLE_COIL:
        if (second != COIL_ON && second != COIL_OFF)
            return ILLEGAL_DATA_VALUE;
        request.coilOn = second == COIL_ON;
        request.count = 1;
        break;
    case WRITE_SINGLE_REGISTER:
        request.count = 1;
        request.words = { second };
        break;
    case WRITE_MULTIPLE_REGISTERS: {
        if (second < 1 || second > MAX_WRITE_REGISTERS || _frame.size() < MULTIPLE_VALUES_OFFSET)
            return ILLEGAL_DATA_VALUE;
        const int byteCount = uint8_t(_frame.at(12));
        if (byteCount != 2 * second || _frame.size() < MULTIPLE_VALUES_OFFSET + byteCount)
            return ILLEGAL_DATA_VALUE;
        request.count = second;
        for (int i = 0; i < second; ++i)
            request.words.append(readWord(_frame, MULTIPLE_VALUES_OFFSET + 2 * i));
        break;
    }
    default:
        return ILLEGAL_FUNCTION;
    }
    if (uint32_t(request.address) + request.count > ADDRESS_SPACE)
        return ILLEGAL_DATA_ADDRESS;
    *_request = request;
    return NO_EXCEPTION;
}

QByteArray writeAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, const SWriteRequest &_request)
{
    QByteArray bytes = answerHead(_mbap, _header, 6, _header.functionCode);
    appendWord(bytes, _request.address);
    switch (_request.function) {
    case WRITE_SINGLE_COIL:
        appendWord(bytes, _request.coilOn ? COIL_ON : COIL_OFF);
        break;
    case WRITE_SINGLE_REGISTER:
        appendWord(bytes, _request.words.value(0));
        break;
    default:
        appendWord(bytes, _request.count);
        break;
    }
    return bytes;
}

QByteArray coilsAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, const QVector<bool> &_states)
{
    const int byteCount = (_states.size() + 7) / 8;
    QByteArray bytes = answerHead(_mbap, _header, uint16_t(3 + byteCount), _header.functionCode);
    bytes.append(char(byteCount));
    QByteArray packed(byteCount, '\0');
    for (int i = 0; i < _states.size(); ++i) {
        if (_states.at(i))
            packed[i / 8] = char(uint8_t(packed.at(i / 8)) | (1 << (i % 8)));
    }
    return bytes + packed;
}

int exactRange(const QList<QPair<int, int>> &_ranges, int _first, int _count)
{
    for (int i = 0; i < _ranges.size(); ++i) {
        if (_ranges.at(i).first == _first && _ranges.at(i).second == _count)
            return i;
    }
    return -1;
}

bool parseWriteAllow(const QString &_text, WriteAllowList *_list, QString *_error)
{
    WriteAllowList list;
    for (const QString &part : _text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString entry = part.trimmed();
        if (entry.isEmpty())
            continue;
        QPair<QHostAddress, int> network;
        if (entry.contains(QLatin1Char('/'))) {
            network = QHostAddress::parseSubnet(entry);
        } else {
            network.first = QHostAddress(entry);
            network.second = network.first.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32;
        }
        if (network.first.isNull() || network.second < 0) {
            *_error = entry;
            return false;
        }
        list.append(network);
    }
    *_list = list;
    return true;
}

bool writeAllowed(const WriteAllowList &_list, const QHostAddress &_peer)
{
    if (_list.isEmpty())
        return true;
    // The servers listen on both stacks: an IPv4 peer arrives as ::ffff:a.b.c.d.
    bool isIpv4 = false;
    const quint32 ipv4 = _peer.toIPv4Address(&isIpv4);
    const QHostAddress peer = isIpv4 ? QHostAddress(ipv4) : _peer;
    for (const auto &network : _list) {
        if (peer.isInSubnet(network))
            return true;
    }
    return false;
}

} // namespace MODBUS
