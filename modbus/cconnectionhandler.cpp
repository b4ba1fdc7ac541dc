#include "modbus/cconnectionhandler.h"

#include <sys/socket.h>

#include <QDebug>
#include <QHostAddress>
#include <QLoggingCategory>

#include <utility>

#include "app/logsink.h"
#include "modbus/deviceidentification.h"
#include "store/registerreader.h"
#include "store/cgatewaycounters.h"

// One line per answered poll is too much for a console at thousands of polls a
// second: shown only when asked for, with
// QT_LOGGING_RULES="kelvara.modbus.requests.debug=true".
Q_LOGGING_CATEGORY(modbusRequests, "kelvara.modbus.requests", QtInfoMsg)

CConnectionHandler::CConnectionHandler(uint16_t _port, CRegisterReader *_store, const SModbusLimits &limits,
                                       CClock *_clock, CLogSink *_log)
    : port(_port)
    , store(_store)
    , limits(limits)
    , clock(_clock)
    , log(_log ? _log : CLogSink::discard())
    , lastActivity(_clock->nowMs())
    , idleTimer(_clock)
    , clientLog(limits.clientLogIntervalMs, _clock, log,
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
    connect(&idleTimer, &CClockTimer::timeout, this, &CConnectionHandler::idleTimeoutSlot);
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
    lastActivity = clock->nowMs();
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
    lastActivity = clock->nowMs();
    // While held, the new bytes stay in the socket's bounded buffer until the answers drain.
    if (!holding)
        answerRequests();
}

void CConnectionHandler::bytesWrittenSlot()
{
    lastActivity = clock->nowMs();
    if (holding && state() == QAbstractSocket::ConnectedState && bytesToWrite() <= limits.maxUnsentBytes)
        answerRequests();
}

void CConnectionHandler::idleTimeoutSlot()
{
    const qint64 idle = clock->nowMs() - lastActivity;
    if (idle < limits.idleTimeoutMs) {
        idleTimer.start(int(limits.idleTimeoutMs - idle));
        return;
    }
    log->addLine(QStringLiteral("[CConnectionHandler] Client [%1] idle for [%2] ms. Close connection...")
                     .arg(getPeerText())
                     .arg(idle));
    // Answers such a client left untaken are dropped: waiting for them would keep the socket.
    abort();
}

void CConnectionHandler::answerRequests()
{
    const auto answerOne = [this](const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header) {
        if (counters)
            counters->countModbusRequest(_header.functionCode);
        if (_header.functionCode == MODBUS::READ_COILS || MODBUS::isWriteFunction(_header.functionCode)) {
            answerWrite(_mbap, _header, requests.currentFrame());
            return;
        }
        if (_header.functionCode == MODBUS::ENCAPSULATED_INTERFACE)
            answer = MODBUS::deviceIdentificationAnswer(_mbap, _header, requests.currentFrame(),
                identities ? identities->identity(port, _header.unitId) : SDeviceIdentity());
        else
            answerFrame(_mbap, _header);
        if (!answers.isEmpty()) {
            answers.append(SAnswer { nextAnswerId++, true, answer });
            return;
        }
        if (!sendAnswer(answer))
            clientLog.addLog(QStringLiteral("[CConnectionHandler] Answer is not written! Error_text[%1]")
                                 .arg(errorString()));
    };
    const auto ready = [this] {
        return bytesToWrite() <= limits.maxUnsentBytes && waitingWrites < MAX_WAITING_WRITES;
    };
    feeding = true;
    CRequestAssembler::EVerdict verdict = CRequestAssembler::EVerdict::KEEP_OPEN;
    if (holding)
        verdict = requests.feed(QByteArray(), answerOne, ready);
    if (verdict == CRequestAssembler::EVerdict::KEEP_OPEN)
        verdict = requests.feed(readAll(), answerOne, ready);
    feeding = false;
    holding = verdict == CRequestAssembler::EVerdict::HOLD;
    if (verdict == CRequestAssembler::EVerdict::CLOSE) {
        disconnectFromHost();
        return;
    }
    // Send the answers now rather than on the event loop's next round: a client polling one
    // request at a time waits for exactly that round. A client that is not reading is left to
    // the event loop, which resumes its requests as its answers drain.
    if (!holding)
        flush();
}

void CConnectionHandler::answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header)
{
    const MODBUS::EException exception = MODBUS::checkRequest(_header, _mbap.length);
    if (exception != MODBUS::NO_EXCEPTION) {
        answer = MODBUS::exceptionAnswer(_mbap, _header, exception);
        return;
    }
    if (!store) {
        answer = MODBUS::exceptionAnswer(_mbap, _header, MODBUS::SERVER_DEVICE_FAILURE);
        return;
    }
    const EReadStatus status
        = store->readRegisters(port, _header.unitId, _header.startAddress, _header.quantity, words);
    qCDebug(modbusRequests).noquote() << QStringLiteral("[CConnectionHandler] Request [%1] registers beginning from [%2]")
                              .arg(_header.quantity)
                              .arg(_header.startAddress);
    if (MODBUS::readException(status) != MODBUS::NO_EXCEPTION) {
        answer = MODBUS::exceptionAnswer(_mbap, _header, MODBUS::readException(status));
        return;
    }
    MODBUS::writeReadAnswer(answer, _mbap, _header, words, _header.quantity);
}

void CConnectionHandler::answerWrite(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                                     const QByteArray &_frame)
{
    const quint64 id = nextAnswerId++;
    answers.append(SAnswer { id, false, QByteArray() });
    ++waitingWrites;
    MODBUS::SWriteRequest request;
    const MODBUS::EException malformed = MODBUS::parseWriteRequest(_frame, &request);
    if (!writeTarget) {
        writeDone(id, MODBUS::exceptionAnswer(_mbap, _header, MODBUS::ILLEGAL_FUNCTION));
        return;
    }
    if (malformed != MODBUS::NO_EXCEPTION) {
        writeDone(id, MODBUS::exceptionAnswer(_mbap, _header, malformed));
        return;
    }
    if (request.function == MODBUS::READ_COILS) {
        QVector<bool> states;
        const MODBUS::EException exception = writeTarget->coils(port, request.address, request.count, &states);
        writeDone(id, exception == MODBUS::NO_EXCEPTION ? MODBUS::coilsAnswer(_mbap, _header, states)
                                                        : MODBUS::exceptionAnswer(_mbap, _header, exception));
        return;
    }
    SModbusWrite writeRequest;
    writeRequest.port = port;
    writeRequest.peer = peerAddress();
    writeRequest.peerPort = peerPort();
    writeRequest.unitId = _header.unitId;
    writeRequest.request = request;
    const QPointer<CConnectionHandler> self(this);
    writeTarget->write(writeRequest, [self, id, _mbap, _header, request](MODBUS::EException _exception) {
        if (!self)
            return;
        self->writeDone(id, _exception == MODBUS::NO_EXCEPTION ? MODBUS::writeAnswer(_mbap, _header, request)
                                                               : MODBUS::exceptionAnswer(_mbap, _header, _exception));
    });
}

void CConnectionHandler::writeDone(quint64 _id, const QByteArray &_answer)
{
    for (SAnswer &answer : answers) {
        if (answer.id == _id && !answer.known) {
            answer.known = true;
            answer.bytes = _answer;
            --waitingWrites;
            break;
        }
    }
    flushAnswers();
}

bool CConnectionHandler::sendAnswer(const QByteArray &_bytes)
{
    // MBAP (7 bytes), then the function with its high bit set and the exception code.
    if (counters && _bytes.size() >= 9 && (quint8(_bytes.at(7)) & 0x80))
        counters->countModbusException(quint8(_bytes.at(8)));
    qint64 sent = 0;
    if (bytesToWrite() == 0) {
        const ssize_t taken = ::send(int(socketDescriptor()), _bytes.constData(), size_t(_bytes.size()),
                                     MSG_DONTWAIT | MSG_NOSIGNAL);
        sent = taken > 0 ? qint64(taken) : 0;
    }
    if (sent == _bytes.size())
        return true;
    return write(_bytes.constData() + sent, _bytes.size() - sent) == _bytes.size() - sent;
}

void CConnectionHandler::flushAnswers()
{
    while (!answers.isEmpty() && answers.first().known) {
        const QByteArray bytes = answers.takeFirst().bytes;
        if (state() == QAbstractSocket::ConnectedState && !sendAnswer(bytes))
            clientLog.addLog(QStringLiteral("[CConnectionHandler] Answer is not written! Error_text[%1]")
                                 .arg(errorString()));
    }
    // Requests held back for the writes in flight go on now.
    if (holding && !feeding && state() == QAbstractSocket::ConnectedState && waitingWrites < MAX_WAITING_WRITES
        && bytesToWrite() <= limits.maxUnsentBytes)
        answerRequests();
}

void CConnectionHandler::disconnectedSlot()
{
    deleteLater();
}
