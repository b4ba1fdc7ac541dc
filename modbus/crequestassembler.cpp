#include "modbus/crequestassembler.h"

#include <utility>

CRequestAssembler::CRequestAssembler(LogSink _log)
    : log(std::move(_log))
{
}

CRequestAssembler::EVerdict CRequestAssembler::feed(const QByteArray &_bytes, const FrameHandler &_answer,
                                                    const ReadyCheck &_ready)
{
    buffer.append(_bytes);
    // Every pass consumes a whole frame of at least six bytes or returns.
    for (;;) {
        const MODBUS::SFrameCheck check = MODBUS::checkFrame(buffer);
        switch (check.state) {
        case MODBUS::EFrameState::NEED_HEADER:
            log(QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue..."));
            return EVerdict::KEEP_OPEN;
        case MODBUS::EFrameState::NEED_BODY:
            log(QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue..."));
            return EVerdict::KEEP_OPEN;
        case MODBUS::EFrameState::TOO_LONG:
            // Waiting for such a frame would let the buffer grow without bound.
            log(QStringLiteral("[CConnectionHandler] Invalid packet length [%1]. Close connection...")
                                 .arg(check.frameSize - MODBUS::MBAP_FIELDS_SIZE));
            buffer.clear();
            return EVerdict::CLOSE;
        case MODBUS::EFrameState::TOO_SHORT:
            log(QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer..."));
            buffer.remove(0, check.frameSize);
            break;
        case MODBUS::EFrameState::COMPLETE:
            if (_ready && !_ready())
                return EVerdict::HOLD;
            currentFrameSize = check.frameSize;
            _answer(MODBUS::parseMbap(buffer), MODBUS::parseHeader(buffer));
            currentFrameSize = 0;
            buffer.remove(0, check.frameSize);
            if (buffer.isEmpty())
                return EVerdict::KEEP_OPEN;
            break;
        }
    }
}
