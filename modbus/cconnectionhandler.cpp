#include "modbus/cconnectionhandler.h"

#include <QDebug>
#include <QLoggingCategory>

#include "app/clogfile.h"
#include "store/cdatabasehandler.h"

// One line per answered poll is too much for a console at thousands of polls a
// second: shown only when asked for, with
// QT_LOGGING_RULES="kelvara.modbus.requests.debug=true".
Q_LOGGING_CATEGORY(modbusRequests, "kelvara.modbus.requests", QtInfoMsg)

CConnectionHandler::CConnectionHandler(const uint16_t &port, const SModbusLimits &limits)
    : port(port)
    , limits(limits)
{
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
    connect(this, &QTcpSocket::bytesWritten, this, &CConnectionHandler::bytesWrittenSlot);
}

bool CConnectionHandler::setSocketDescriptor(qintptr socketDescriptor, SocketState state, OpenMode openMode)
{
    if (!QAbstractSocket::setSocketDescriptor(socketDescriptor, state, openMode))
        return false;
    // Answers are single small segments: send each at once instead of waiting for an ACK.
    setSocketOption(QAbstractSocket::LowDelayOption, 1);
    // Requests read ahead are bounded too: once this much waits unread, Qt leaves the
    // rest in the kernel and TCP flow control stops the peer.
    setReadBufferSize(limits.maxUnsentBytes);
    return true;
}

void CConnectionHandler::readyReadSlot()
{
    if (state() != QAbstractSocket::ConnectedState) {
        readAll();
        return;
    }
    // While held, the new bytes stay in the socket's bounded buffer until the answers drain.
    if (!holding)
        answerRequests();
}

void CConnectionHandler::bytesWrittenSlot()
{
    if (holding && state() == QAbstractSocket::ConnectedState && bytesToWrite() <= limits.maxUnsentBytes)
        answerRequests();
}

void CConnectionHandler::answerRequests()
{
    const auto answer = [this](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header) {
        const QByteArray bytes = answerFrame(_mbap, _header);
        if (write(bytes) != bytes.size())
            CLogFile::addLog(QStringLiteral("[CConnectionHandler] Answer is not written! Error_text[%1]")
                                 .arg(errorString()));
    };
    const auto ready = [this] { return bytesToWrite() <= limits.maxUnsentBytes; };
    CRequestAssembler::EVerdict verdict = CRequestAssembler::EVerdict::KEEP_OPEN;
    if (holding)
        verdict = requests.feed(QByteArray(), answer, ready);
    if (verdict == CRequestAssembler::EVerdict::KEEP_OPEN)
        verdict = requests.feed(readAll(), answer, ready);
    holding = verdict == CRequestAssembler::EVerdict::HOLD;
    if (verdict == CRequestAssembler::EVerdict::CLOSE)
        disconnectFromHost();
}

QByteArray CConnectionHandler::answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header)
{
    const MODBUS::EException exception = MODBUS::checkRequest(_header);
    if (exception != MODBUS::NO_EXCEPTION)
        return MODBUS::exceptionAnswer(_mbap, _header, exception);

    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store)
        return MODBUS::exceptionAnswer(_mbap, _header, MODBUS::SERVER_DEVICE_FAILURE);
    const QMap<uint16_t, uint16_t> data = store->getRegisterData(port, _header.startAddress, _header.quantity);
    qCDebug(modbusRequests).noquote() << QStringLiteral("[CConnectionHandler] Request [%1] registers beginning from [%2]")
                              .arg(_header.quantity)
                              .arg(_header.startAddress);
    return getAnswerDataSlot(_mbap, _header, data);
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
