#pragma once

#include <QByteArray>
#include <QMap>
#include <QTcpSocket>

#include "modbus/crequestassembler.h"
#include "modbus/modbusframe.h"

class CDataBaseHandler;

// One Modbus TCP client connection: reassembles request frames from the stream and
// answers register reads of its port from the register store. Owns itself and is
// deleted when the peer goes.
class CConnectionHandler : public QTcpSocket
{
    Q_OBJECT

public:
    CConnectionHandler(uint16_t _port, CDataBaseHandler *_store);

    bool setSocketDescriptor(qintptr socketDescriptor, SocketState state = ConnectedState,
                             OpenMode openMode = ReadWrite) override;

protected slots:
    void readyReadSlot();
    void disconnectedSlot();
    QByteArray getAnswerDataSlot(SModbusMBAP _mbap, SModbusTcpPacketHeader _header, QMap<uint16_t, uint16_t> _data);

private:
    // The answer to one complete request frame.
    QByteArray answerFrame(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header);

    uint16_t port;
    CDataBaseHandler *store;
    CRequestAssembler requests;
};
