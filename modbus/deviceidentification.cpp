#include "modbus/deviceidentification.h"

#include <QMutexLocker>

void CDeviceIdentities::replace(const QHash<uint16_t, QList<SEntry>> &_ports)
{
    QMutexLocker locker(&mutex);
    ports = _ports;
}

SDeviceIdentity CDeviceIdentities::identity(uint16_t _port, uint8_t _unit) const
{
    QMutexLocker locker(&mutex);
    const QList<SEntry> entries = ports.value(_port);
    for (const SEntry &entry : entries) {
        if (_unit != 0 && entry.unitId == _unit)
            return entry.identity;
    }
    if (entries.size() == 1 && entries.first().unitId == 0)
        return entries.first().identity;
    return SDeviceIdentity();
}

namespace MODBUS {

namespace {

enum EReadCode : uint8_t { BASIC_STREAM = 0x01, REGULAR_STREAM = 0x02, INDIVIDUAL = 0x04 };
// Regular identification, stream and individual access.
constexpr uint8_t CONFORMITY_LEVEL = 0x82;
constexpr uint8_t LAST_BASIC_OBJECT = 0x02;
constexpr uint8_t PRODUCT_NAME = 0x04;
constexpr uint8_t MODEL_NAME = 0x05;
// Bytes of a PDU after function, MEI type, code, conformity, more follows, next id and count.
constexpr int MAX_OBJECT_BYTES = MAX_LENGTH - 1 - 7;

QByteArray objectValue(uint8_t _id, const SDeviceIdentity &_identity)
{
    switch (_id) {
    case 0x00:
        return QByteArrayLiteral("Kelvara");
    case 0x01:
        return _identity.productCode.toUtf8();
    case 0x02:
        return QByteArrayLiteral(KELVARA_VERSION);
    case PRODUCT_NAME:
    case MODEL_NAME:
        return _identity.productName.toUtf8();
    default:
        return QByteArray();
    }
}

bool objectExists(uint8_t _id)
{
    return _id <= LAST_BASIC_OBJECT || _id == PRODUCT_NAME || _id == MODEL_NAME;
}

} // namespace

QByteArray deviceIdentificationAnswer(const SModbusMBAP &_mbap, const SModbusTcpPacketHeader &_header,
                                      const QByteArray &_frame, const SDeviceIdentity &_identity)
{
    // Unit, function, MEI type, read code, object id.
    if (_frame.size() > MBAP_FIELDS_SIZE + 2 && uint8_t(_frame.at(8)) != MEI_READ_DEVICE_IDENTIFICATION)
        return exceptionAnswer(_mbap, _header, ILLEGAL_FUNCTION);
    if (_frame.size() < MBAP_FIELDS_SIZE + 5)
        return exceptionAnswer(_mbap, _header, ILLEGAL_DATA_VALUE);
    const uint8_t code = uint8_t(_frame.at(9));
    uint8_t first = uint8_t(_frame.at(10));
    QList<uint8_t> ids;
    if (code == INDIVIDUAL) {
        if (!objectExists(first))
            return exceptionAnswer(_mbap, _header, ILLEGAL_DATA_ADDRESS);
        ids = { first };
    } else if (code == BASIC_STREAM || code == REGULAR_STREAM) {
        const uint8_t last = code == BASIC_STREAM ? LAST_BASIC_OBJECT : MODEL_NAME;
        // A stream asked to start at an object it does not hold starts at the beginning.
        if (first > last || !objectExists(first))
            first = 0;
        for (uint8_t id = first; id <= last; ++id) {
            if (objectExists(id))
                ids.append(id);
        }
    } else {
        return exceptionAnswer(_mbap, _header, ILLEGAL_DATA_VALUE);
    }

    QByteArray objects;
    uint8_t count = 0;
    uint8_t nextId = 0;
    for (uint8_t id : ids) {
        const QByteArray value = objectValue(id, _identity).left(MAX_OBJECT_BYTES - 2);
        if (objects.size() + 2 + value.size() > MAX_OBJECT_BYTES) {
            nextId = id; // the rest in the next request
            break;
        }
        objects.append(char(id));
        objects.append(char(uint8_t(value.size())));
        objects.append(value);
        ++count;
    }
    const QByteArray pdu = QByteArray(1, char(MEI_READ_DEVICE_IDENTIFICATION)) + char(code) + char(CONFORMITY_LEVEL)
        + char(nextId ? 0xFF : 0x00) + char(nextId) + char(count) + objects;
    QByteArray bytes = answerHead(_mbap, _header, uint16_t(2 + pdu.size()), ENCAPSULATED_INTERFACE);
    bytes.append(pdu);
    return bytes;
}

} // namespace MODBUS
