#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVector>

#include <functional>

#include "modbus/modbusframe.h"

// Modbus writes and coil reads as plain functions over bytes, and the interface through
// which a connection hands a write on to whoever carries it out.
namespace MODBUS {

enum EWriteFunction : uint8_t {
    READ_COILS = 0x01,
    WRITE_SINGLE_COIL = 0x05,
    WRITE_SINGLE_REGISTER = 0x06,
    WRITE_MULTIPLE_REGISTERS = 0x10
};

constexpr uint16_t MAX_READ_COILS = 2000;
constexpr uint16_t MAX_WRITE_REGISTERS = 123;

// A write or coil read as parsed from its frame.
struct SWriteRequest
{
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t count = 0; // registers written, or coils read
    QVector<uint16_t> words; // the registers written
    bool coilOn = false; // function 05
};

bool isWriteFunction(uint8_t _function);

// Reads the PDU of a complete frame with function 01, 05, 06 or 16; the exception its
// fields call for (03 for a bad quantity, byte count or coil value, 02 past address
// 65535), or NO_EXCEPTION.
EException parseWriteRequest(const QByteArray &_frame, SWriteRequest *_request);

// The normal answer of a write: 05 and 06 echo the request, 16 its address and quantity.
QByteArray writeAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, const SWriteRequest &_request);
// The answer of function 01: the states packed eight to a byte, the first coil in bit 0.
QByteArray coilsAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header, const QVector<bool> &_states);

// Of _ranges (first address, register count), the one a write of _count registers from
// _first covers exactly; -1 when it touches anything else or only part of one.
int exactRange(const QList<QPair<int, int>> &_ranges, int _first, int _count);

// Addresses and networks that may write: "10.0.0.5, 192.168.1.0/24". Empty allows any.
using WriteAllowList = QList<QPair<QHostAddress, int>>;
// False with the entry at fault in *_error.
bool parseWriteAllow(const QString &_text, WriteAllowList *_list, QString *_error);
bool writeAllowed(const WriteAllowList &_list, const QHostAddress &_peer);

} // namespace MODBUS

// One write as a connection hands it on.
struct SModbusWrite
{
    uint16_t port = 0;
    QHostAddress peer;
    uint16_t peerPort = 0;
    uint8_t unitId = 0;
    MODBUS::SWriteRequest request;
};

// Carries out the writes of every port: the gateway's downlinks. A QObject, so a
// connection that outlives it notices.
class CModbusWriteTarget : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Called exactly once, now or later, with NO_EXCEPTION when the write went through.
    using Done = std::function<void(MODBUS::EException _exception)>;

    virtual void write(const SModbusWrite &_write, Done _done) = 0;
    // The last written states of the port's coils [_first, _first + _count), off before any write,
    // into *_states; ILLEGAL_FUNCTION on a port without coils, ILLEGAL_DATA_ADDRESS when an
    // address of the range is no coil.
    virtual MODBUS::EException coils(uint16_t _port, uint16_t _first, uint16_t _count,
                                     QVector<bool> *_states) const = 0;
};
