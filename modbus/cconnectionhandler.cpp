#include "modbus/cconnectionhandler.h"

#include <QDebug>
#include <QLoggingCategory>

#include "app/clogfile.h"
#include "store/cdatabasehandler.h"

// One line per answered poll is too much for a console at thousands of polls a
// second: shown only when asked for, with
// QT_LOGGING_RULES="kelvara.modbus.requests.debug=true".
Q_LOGGING_CATEGORY(modbusRequests, "kelvara.modbus.requests", QtInfoMsg)

CConnectionHandler::CConnectionHandler(const uint16_t &port)
    : port(port)
{
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
}

bool CConnectionHandler::setSocketDescriptor(qintptr socketDescriptor, SocketState state, OpenMode openMode)
{
    if (!QAbstractSocket::setSocketDescriptor(socketDescriptor, state, openMode))
        return false;
    // Answers are single small segments: send each at once instead of waiting for an ACK.
    setSocketOption(QAbstractSocket::LowDelayOption, 1);
    return true;
}

void CConnectionHandler::readyReadSlot()
{
    if (state() != QAbstractSocket::ConnectedState) {
        readAll();
        return;
    }
    buffer.append(readAll());
    // Every pass consumes a whole frame of at least six bytes or returns.
    for (;;) {
        const MODBUS::SFrameCheck check = MODBUS::checkFrame(buffer);
        switch (check.state) {
        case MODBUS::EFrameState::NEED_HEADER:
            CLogFile::addLog(QStringLiteral("[CConnectionHandler] Incomplete packet [1]. Wait for continue..."));
            return;
        case MODBUS::EFrameState::NEED_BODY:
            CLogFile::addLog(QStringLiteral("[CConnectionHandler] Incomplete packet [2]. Wait for continue..."));
            return;
        case MODBUS::EFrameState::TOO_LONG:
            // Waiting for such a frame would let the buffer grow without bound.
            CLogFile::addLog(QStringLiteral("[CConnectionHandler] Invalid packet length [%1]. Close connection...")
                                 .arg(check.frameSize - MODBUS::MBAP_FIELDS_SIZE));
            buffer.clear();
            disconnectFromHost();
            return;
        case MODBUS::EFrameState::TOO_SHORT:
            CLogFile::addLog(QStringLiteral("[CConnectionHandler] Incomplete packet [3]. Clear buffer..."));
            buffer.remove(0, check.frameSize);
            break;
        case MODBUS::EFrameState::COMPLETE: {
            const QByteArray answer = answerFrame();
            if (write(answer) != answer.size())
                CLogFile::addLog(QStringLiteral("[CConnectionHandler] Answer is not written! Error_text[%1]")
                                     .arg(errorString()));
            buffer.remove(0, check.frameSize);
            if (buffer.isEmpty())
                return;
            break;
        }
        }
    }
}

QByteArray CConnectionHandler::answerFrame()
{
    const SModbusMBAP mbap = MODBUS::parseMbap(buffer);
    const SModbusTcpPacketHeader header = MODBUS::parseHeader(buffer);
    const MODBUS::EException exception = MODBUS::checkRequest(header);
    if (exception != MODBUS::NO_EXCEPTION)
        return MODBUS::exceptionAnswer(mbap, header, exception);

    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store)
        return MODBUS::exceptionAnswer(mbap, header, MODBUS::SERVER_DEVICE_FAILURE);
    const QMap<uint16_t, uint16_t> data = store->getRegisterData(port, header.startAddress, header.quantity);
    qCDebug(modbusRequests).noquote() << QStringLiteral("[CConnectionHandler] Request [%1] registers beginning from [%2]")
                              .arg(header.quantity)
                              .arg(header.startAddress);
    return getAnswerDataSlot(mbap, header, data);
}

void CConnectionHandler::disconnectedSlot()
{
    deleteLater();
}

QByteArray CConnectionHandler::getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header,
                                                 QMap<uint16_t, uint16_t> _data)
{
    return MODBUS::readAnswer(_mbap, _header, _data);
}
