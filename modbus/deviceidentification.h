#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include "modbus/modbusframe.h"

// What function 43/14 (read device identification) tells of the device a unit ID names.
struct SDeviceIdentity
{
    QString productCode = QStringLiteral("Kelvara gateway"); // the device's template type
    QString productName = QStringLiteral("Kelvara gateway"); // the device's name
};

// The identities of every port's devices, set on the main thread and read by the Modbus
// thread's connections.
class CDeviceIdentities
{
public:
    struct SEntry
    {
        uint8_t unitId = 0;
        SDeviceIdentity identity;
    };

    void replace(const QHash<uint16_t, QList<SEntry>> &_ports);
    // The device with unit ID _unit, or the port's only device when it answers every unit;
    // the gateway's own identity where the unit ID names no device.
    SDeviceIdentity identity(uint16_t _port, uint8_t _unit) const;

private:
    mutable QMutex mutex;
    QHash<uint16_t, QList<SEntry>> ports;
};

namespace MODBUS {

constexpr uint8_t ENCAPSULATED_INTERFACE = 0x2B;
constexpr uint8_t MEI_READ_DEVICE_IDENTIFICATION = 0x0E;

// The answer to a complete function 43 frame: basic (01) and regular (02) stream access and
// individual access (04) to the objects VendorName, ProductCode, MajorMinorRevision,
// ProductName and ModelName; an exception for any other request.
QByteArray deviceIdentificationAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                                      const QByteArray &_frame, const SDeviceIdentity &_identity);

} // namespace MODBUS
