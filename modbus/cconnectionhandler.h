#pragma once

#include <QByteArray>
#include <QMap>
#include <QTcpSocket>

#include "modbus/modbusframe.h"

// One Modbus TCP client connection: reassembles request frames from the stream and
// answers register reads of its port from the register store. Owns itself and is
// deleted when the peer goes.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    explicit CConnectionHandler(const uint16_t &port);

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header, QMap<uint16_t, uint16_t> _data);

private:
    // The answer to one complete request frame at the start of buffer.
    QByteArray answerFrame();

    uint16_t port;
    QByteArray buffer;
};
