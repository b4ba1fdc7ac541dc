#include <QList>
#include <QMap>

#include "fuzz/fuzzsupport.h"
#include "modbus/crequestassembler.h"
#include "modbus/modbusframe.h"
#include "store/cregisterimage.h"

// Modbus request reassembly and answering. Input: one byte n, n segment lengths, then the
// stream. The stream is fed in segments of those lengths (cycled; 0 = an empty read), and
// again in one piece: both must give the same answers, each well formed and each frame
// answered once.

namespace {

const uint16_t PORT = 502;

CRegisterImage &registers()
{
    static CRegisterImage image;
    return image;
}

struct SStreamRun
{
    QList<QByteArray> answers;
    bool closed = false;
};

// What the connection handler sends for one request, with the image standing in for the store.
QByteArray answer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header)
{
    const MODBUS::EException exception = MODBUS::checkRequest(_header, _mbap.length);
    if (exception != MODBUS::NO_EXCEPTION)
        return MODBUS::exceptionAnswer(_mbap, _header, exception);
    return MODBUS::readAnswer(_mbap, _header, registers().words(PORT, _header.startAddress, _header.quantity));
}

uint16_t wordAt(const QByteArray &_bytes, int _at)
{
    return uint16_t((uint8_t(_bytes.at(_at)) << 8) | uint8_t(_bytes.at(_at + 1)));
}

void checkAnswer(const QByteArray &_answer, const QByteArray &_stream, int _frameAt)
{
    FUZZ_CHECK(_answer.size() >= 9);
    // The MBAP and unit identifier are echoed from the request at that place in the stream.
    FUZZ_CHECK(_answer.left(4) == _stream.mid(_frameAt, 4));
    FUZZ_CHECK(_answer.at(6) == _stream.at(_frameAt + 6));
    FUZZ_CHECK(wordAt(_answer, 4) == _answer.size() - MODBUS::MBAP_FIELDS_SIZE);

    const SModbusTcpPacketHeader header = MODBUS::parseHeader(_stream.mid(_frameAt, 12));
    const uint8_t function = uint8_t(_answer.at(7));
    const MODBUS::EException expected = MODBUS::checkRequest(header, wordAt(_stream, _frameAt + 4));
    if (function & 0x80) {
        FUZZ_CHECK(_answer.size() == 9);
        FUZZ_CHECK(function == uint8_t(header.functionCode | 0x80));
        FUZZ_CHECK(uint8_t(_answer.at(8)) == expected);
        FUZZ_CHECK(expected != MODBUS::NO_EXCEPTION);
        return;
    }
    FUZZ_CHECK(expected == MODBUS::NO_EXCEPTION);
    FUZZ_CHECK(function == MODBUS::READ_HOLDING_REGISTERS || function == MODBUS::READ_INPUT_REGISTERS);
    FUZZ_CHECK(function == header.functionCode);
    FUZZ_CHECK(header.quantity >= 1 && header.quantity <= MODBUS::MAX_READ_QUANTITY);
    FUZZ_CHECK(uint32_t(header.startAddress) + header.quantity <= MODBUS::ADDRESS_SPACE);
    FUZZ_CHECK(uint8_t(_answer.at(8)) == 2 * header.quantity);
    FUZZ_CHECK(_answer.size() == 9 + 2 * header.quantity);
}

SStreamRun run(const QByteArray &_stream, const QList<int> &_segments)
{
    SStreamRun result;
    CRequestAssembler assembler([](const QString &) {});
    int fed = 0;
    int nextFrameAt = 0;
    const auto onFrame = [&](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header) {
        // The frame starts where the bytes still held begin: never before the end of the last one.
        const int frameAt = fed - assembler.pendingSize();
        FUZZ_CHECK(frameAt >= nextFrameAt);
        FUZZ_CHECK(_mbap.length >= MODBUS::MIN_FRAME_LENGTH && _mbap.length <= MODBUS::MAX_LENGTH);
        FUZZ_CHECK(frameAt + MODBUS::MBAP_FIELDS_SIZE + _mbap.length <= fed);
        nextFrameAt = frameAt + MODBUS::MBAP_FIELDS_SIZE + _mbap.length;
        const QByteArray reply = answer(_mbap, _header);
        checkAnswer(reply, _stream, frameAt);
        result.answers << reply;
    };
    int segment = 0;
    while (fed < _stream.size()) {
        const int length = _segments.isEmpty() ? _stream.size() : _segments.at(segment++ % _segments.size());
        const QByteArray bytes = _stream.mid(fed, length);
        fed += bytes.size();
        if (assembler.feed(bytes, onFrame) == CRequestAssembler::EVerdict::CLOSE) {
            FUZZ_CHECK(assembler.pendingSize() == 0);
            result.closed = true;
            return result;
        }
        // Whatever is held is less than one frame of the largest size.
        FUZZ_CHECK(assembler.pendingSize() < MODBUS::MBAP_FIELDS_SIZE + MODBUS::MAX_LENGTH);
        FUZZ_CHECK(assembler.pendingSize() <= fed - nextFrameAt);
    }
    return result;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    // A few stored words, one at the very top of the address space.
    registers().setWord(PORT, 0, 0x1234);
    registers().setWord(PORT, 7, 0xfffe);
    registers().setWord(PORT, 65535, 0x00ff);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    FUZZ::CInput input(_data, _size);
    const int count = input.byte() % 16;
    QList<int> segments;
    for (int i = 0; i < count; ++i)
        segments << input.byte();
    // Empty reads only would never get anywhere.
    if (!segments.isEmpty() && segments.count(0) == segments.size())
        segments.clear();
    const QByteArray stream = input.rest();

    const SStreamRun split = run(stream, segments);
    const SStreamRun whole = run(stream, {});
    FUZZ_CHECK(split.closed == whole.closed);
    FUZZ_CHECK(split.answers == whole.answers);
    return 0;
}
