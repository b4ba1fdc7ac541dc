#include "modbus/cconnectionhandler.h"

#include <QDebug>
#include <QHostAddress>
#include <QLoggingCategory>

#include <utility>

#include "app/clogfile.h"
#include "store/cdatabasehandler.h"

// One line per answered poll is too much for a console at thousands of polls a
// second: shown only when asked for, with
// QT_LOGGING_RULES="kelvara.modbus.requests.debug=true".
Q_LOGGING_CATEGORY(modbusRequests, "kelvara.modbus.requests", QtInfoMsg)

CConnectionHandler::CConnectionHandler(uint16_t _port, CDataBaseHandler *_store, const SModbusLimits &limits,
                                       MODBUS::Clock clock)
    : port(_port)
    , store(_store)
    , limits(limits)
    , clock(std::move(clock))
    , lastActivity(this->clock())
    , clientLog(limits.clientLogIntervalMs, this->clock,
                [this](int _count) {
                    return QStringLiteral("[CConnectionHandler] [%1] more lines of client [%2] left out")
                        .arg(_count)
                        .arg(getPeerText());
                })
    , requests([this](const QString &_line) { clientLog.addLog(_line); })
{
    connect(this, &QTcpSocket::readyRead, this, &CConnectionHandler::readyReadSlot);
    connect(this, &QTcpSocket::disconnected, this, &CConnectionHandler::disconnectedSlot);
    connect(this, &QTcpSocket::bytesWritten, this, &CConnectionHandler::bytesWrittenSlot);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &CConnectionHandler::idleTimeoutSlot);
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
    // Peers that vanished without a word go away even when idle connections are kept.
    setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    lastActivity = clock();
    if (limits.idleTimeoutMs > 0)
        idleTimer.start(limits.idleTimeoutMs);
    return true;
}

QString CConnectionHandler::getPeerText() const
{
    // The servers listen on both stacks: an IPv4 peer is shown without its ::ffff: prefix.
    bool isIpv4 = false;
    const quint32 ipv4 = peerAddress().toIPv4Address(&isIpv4);
    const QString address = isIpv4 ? QHostAddress(ipv4).toString() : peerAddress().toString();
    return QStringLiteral("%1:%2").arg(address).arg(peerPort());
}

void CConnectionHandler::readyReadSlot()
{
    if (state() != QAbstractSocket::ConnectedState) {
        readAll();
        return;
    }
    lastActivity = clock();
    // While held, the new bytes stay in the socket's bounded buffer until the answers drain.
    if (!holding)
        answerRequests();
}

void CConnectionHandler::bytesWrittenSlot()
{
    lastActivity = clock();
    if (holding && state() == QAbstractSocket::ConnectedState && bytesToWrite() <= limits.maxUnsentBytes)
        answerRequests();
}

void CConnectionHandler::idleTimeoutSlot()
{
    const qint64 idle = clock() - lastActivity;
    if (idle < limits.idleTimeoutMs) {
        idleTimer.start(int(limits.idleTimeoutMs - idle));
        return;
    }
    CLogFile::addLog(QStringLiteral("[CConnectionHandler] Client [%1] idle for [%2] ms. Close connection...")
                         .arg(getPeerText())
                         .arg(idle));
    // Answers such a client left untaken are dropped: waiting for them would keep the socket.
    abort();
}

void CConnectionHandler::answerRequests()
{
    const auto answer = [this](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header) {
        const QByteArray bytes = answerFrame(_mbap, _header);
        if (write(bytes) != bytes.size())
            clientLog.addLog(QStringLiteral("[CConnectionHandler] Answer is not written! Error_text[%1]")
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

    if (!store)
        return MODBUS::exceptionAnswer(_mbap, _header, MODBUS::SERVER_DEVICE_FAILURE);
    const SRegisterRead read = store->readRegisters(port, _header.unitId, _header.startAddress, _header.quantity);
    qCDebug(modbusRequests).noquote() << QStringLiteral("[CConnectionHandler] Request [%1] registers beginning from [%2]")
                              .arg(_header.quantity)
                              .arg(_header.startAddress);
    if (MODBUS::readException(read.status) != MODBUS::NO_EXCEPTION)
        return MODBUS::exceptionAnswer(_mbap, _header, MODBUS::readException(read.status));
    return getAnswerDataSlot(_mbap, _header, read.words);
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
