#pragma once

#include <QByteArray>
#include <QMap>
#include <QTcpSocket>

#include "modbus/crequestassembler.h"
#include "modbus/modbusframe.h"
#include "modbus/modbuslimits.h"

// One Modbus TCP client connection: reassembles request frames from the stream and
// answers register reads of its port from the register store. Owns itself and is
// deleted when the peer goes. Reads no further requests while too many answers wait
// for the peer.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    explicit CConnectionHandler(const uint16_t &port, const SModbusLimits &limits = SModbusLimits());

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header, QMap<uint16_t, uint16_t> _data);

private:
    // Answers the frames held back first, then what the peer sent since.
    void answerRequests();
    void bytesWrittenSlot();
    // The answer to one complete request frame.
    QByteArray answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header);

    uint16_t port;
    SModbusLimits limits;
    CRequestAssembler requests;
    // Complete frames wait in `requests` until the unsent answers drain.
    bool holding = false;
};
