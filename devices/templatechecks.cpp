#include "devices/templateparsing.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>

#include "app/globaltables.h"
#include "devices/ccodecrunner.h"
#include "devices/codecexamples.h"
#include "devices/uplinkdecoder.h"

namespace TemplateParsing {

int formatRegisters(const QString &_format)
{
    if (_format == REG_FORMAT_INT16 || _format == REG_FORMAT_UINT16)
        return 1;
    if (_format == REG_FORMAT_INT32 || _format == REG_FORMAT_UINT32 || _format == REG_FORMAT_FLOAT32)
        return 2;
    return 0;
}

// The optional keys of a field: a float is 32 bits, byte order and register format are
// for numbers, and a register format takes the registers reg_bit_size gives it.
void checkFormat(const SDevicePacketField &_field, const QString &_where, QList<STemplateProblem> &_problems)
{
    const bool isText = _field.dataType == DATA_TYPE_TEXT;
    if (_field.dataType == DATA_TYPE_FLOAT && _field.dataBitSize != 32)
        addProblem(_problems, TEMPLATE_KEY_DATA_BIT_SIZE, _where,
            QStringLiteral("a float is 32 bits, not [%1]").arg(_field.dataBitSize));
    if (_field.byteOrder != BYTE_ORDER_LITTLE && _field.byteOrder != BYTE_ORDER_BIG)
        addProblem(_problems, TEMPLATE_KEY_BYTE_ORDER, _where,
            QStringLiteral("[%1] is neither \"little\" nor \"big\"").arg(_field.byteOrder));
    else if (isText && _field.byteOrder != BYTE_ORDER_LITTLE)
        addProblem(_problems, TEMPLATE_KEY_BYTE_ORDER, _where, QStringLiteral("a text has no byte order"));
    if (_field.regFormat.isEmpty()) {
        // A float without a register format is stored as a float32.
        if (_field.dataType == DATA_TYPE_FLOAT && _field.regBitSize != 2 * REGISTER_BITS)
            addProblem(_problems, TEMPLATE_KEY_REG_BIT_SIZE, _where,
                QStringLiteral("a float takes 32 bits, not [%1]").arg(_field.regBitSize));
        return;
    }
    const int registers = formatRegisters(_field.regFormat);
    if (registers == 0)
        addProblem(_problems, TEMPLATE_KEY_REG_FORMAT, _where,
            QStringLiteral("[%1] is none of int16, uint16, int32, uint32, float32").arg(_field.regFormat));
    else if (isText)
        addProblem(_problems, TEMPLATE_KEY_REG_FORMAT, _where, QStringLiteral("a text has no register format"));
    else if (_field.regBitSize != registers * REGISTER_BITS)
        addProblem(_problems, TEMPLATE_KEY_REG_FORMAT, _where,
            QStringLiteral("[%1] takes %2 bits, reg_bit_size is [%3]")
                .arg(_field.regFormat)
                .arg(registers * REGISTER_BITS)
                .arg(_field.regBitSize));
}

// A field's bytes lie inside its packet. A packet without a size never decodes; its
// fields are held to the longest payload there is.
void checkField(const SDevicePacketField &_field, qint64 _packetSize, const QString &_where,
    QList<STemplateProblem> &_problems)
{
    const qint64 bytes = _packetSize > 0 && _packetSize <= MAX_PACKET_SIZE ? _packetSize : MAX_PACKET_SIZE;
    const QString packetText = QStringLiteral("the packet's %1 bytes").arg(bytes);
    const qint64 bias = _field.packetBias;
    const qint64 bits = _field.dataBitSize;
    if (bias < 0 || bias >= bytes)
        addProblem(_problems, TEMPLATE_KEY_PACKET_BIAS, _where,
            QStringLiteral("byte [%1] lies outside %2").arg(bias).arg(packetText));
    else if (bits < 1 || bias * 8 + bits > bytes * 8)
        addProblem(_problems, TEMPLATE_KEY_DATA_BIT_SIZE, _where,
            QStringLiteral("[%1] bits from byte [%2] do not fit %3").arg(bits).arg(bias).arg(packetText));
    if (_field.dataBitBias < 0 || qint64(_field.dataBitBias) >= bytes * 8)
        addProblem(_problems, TEMPLATE_KEY_DATA_BIT_BIAS, _where,
            QStringLiteral("bit [%1] lies outside %2").arg(_field.dataBitBias).arg(packetText));
    checkPlacement(_field, _where, _problems);
    checkFormat(_field, _where, _problems);
}

void checkPacket(const SDevicePacket &_packet, QList<STemplateProblem> &_problems)
{
    const QString where = QStringLiteral("packet [%1]").arg(_packet.packetType);
    if (_packet.packetType < -128 || _packet.packetType > 255)
        addProblem(_problems, TEMPLATE_KEY_PACKET_TYPE, where,
            QStringLiteral("no first payload byte can be [%1]").arg(_packet.packetType));
    if (_packet.packetSize < 0 || _packet.packetSize > MAX_PACKET_SIZE)
        addProblem(_problems, TEMPLATE_KEY_PACKET_SIZE, where,
            QStringLiteral("[%1] is not a payload length of 0-255 bytes").arg(_packet.packetSize));
    for (const SDevicePacketField &field : _packet.fields)
        checkField(field, _packet.packetSize, where + QStringLiteral(", field [%1]").arg(field.dataName), _problems);
}

// A decoded field value as the operator would write it.
QString fieldValueText(const SDevicePacketField &_field, const SFieldValue &_value)
{
    if (_field.dataType == DATA_TYPE_TEXT)
        return _value.text;
    if (_field.dataType == DATA_TYPE_FLOAT)
        return QString::number(double(_value.number), 'g', 9);
    if (_field.dataType == DATA_TYPE_INTEGER)
        return QString::number(qint64(_value.bits));
    return QString::number(_value.bits);
}

// Whether the example's expected value is the field's decoded one, exactly: integers as
// whole numbers, floats as the same single, texts as the same text.
bool sameValue(const SDevicePacketField &_field, const SFieldValue &_value, const QJsonValue &_expected)
{
    if (_field.dataType == DATA_TYPE_TEXT)
        return _expected.isString() && _expected.toString() == _value.text;
    if (!_expected.isDouble())
        return false;
    const double expected = _expected.toDouble();
    if (_field.dataType == DATA_TYPE_FLOAT)
        return expected >= -double(std::numeric_limits<float>::max())
            && expected <= double(std::numeric_limits<float>::max()) && float(expected) == _value.number;
    if (std::floor(expected) != expected)
        return false;
    if (_field.dataType == DATA_TYPE_INTEGER)
        return expected >= -9223372036854775808.0 && expected < 9223372036854775808.0
            && qint64(expected) == qint64(_value.bits);
    return expected >= 0.0 && expected < 18446744073709551616.0 && quint64(expected) == _value.bits;
}

QString expectedText(const QJsonValue &_expected)
{
    if (_expected.isDouble())
        return QString::number(_expected.toDouble(), 'g', 17);
    if (_expected.isString())
        return _expected.toString();
    return QString::fromUtf8(QJsonDocument(QJsonArray { _expected }).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

// Each example's payload decodes, by packet type and size as an uplink would, to the
// values it expects: raw field values, before any register scaling.
void checkExamples(const QJsonValue &_examples, const QMap<quint32, SDevicePacket> &_packets,
    QList<STemplateProblem> &_problems)
{
    if (!_examples.isArray()) {
        addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_EXAMPLES, QStringLiteral("not a list"));
        return;
    }
    const QJsonArray examples = _examples.toArray();
    for (int i = 0; i < examples.size(); ++i) {
        const QString where = QStringLiteral("example [%1]").arg(i);
        const QJsonObject example = examples.at(i).toObject();
        const QJsonValue payloadText = example.value(EXAMPLE_KEY_PAYLOAD);
        if (!payloadText.isString() || payloadText.toString().isEmpty() || !API::isHexBytes(payloadText.toString())) {
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where,
                QStringLiteral("payload [%1] is not an even number of hex digits").arg(expectedText(payloadText)));
            continue;
        }
        const QByteArray payload = QByteArray::fromHex(payloadText.toString().toLatin1());
        const qint32 type = qint8(payload.at(0));
        const auto packet = _packets.constFind(packetTypeKey(type));
        if (packet == _packets.constEnd()) {
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where, QStringLiteral("no packet of type [%1]").arg(type));
            continue;
        }
        if (payload.size() != packet->packetSize) {
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where,
                QStringLiteral("payload of [%1] bytes, packet [%2] has [%3]")
                    .arg(payload.size())
                    .arg(type)
                    .arg(packet->packetSize));
            continue;
        }
        const QJsonObject expect = example.value(EXAMPLE_KEY_EXPECT).toObject();
        if (expect.isEmpty())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where, QStringLiteral("expect names no value"));
        for (auto it = expect.constBegin(); it != expect.constEnd(); ++it) {
            const auto field = std::find_if(packet->fields.cbegin(), packet->fields.cend(),
                [&it](const SDevicePacketField &_field) { return _field.dataName == it.key(); });
            if (field == packet->fields.cend()) {
                addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where,
                    QStringLiteral("packet [%1] has no field [%2]").arg(type).arg(it.key()));
                continue;
            }
            const SFieldValue value = readFieldValue(*field, payload);
            if (!value.problem.isEmpty()) {
                addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where,
                    QStringLiteral("[%1] cannot be read: %2").arg(it.key(), value.problem));
                continue;
            }
            if (!sameValue(*field, value, it.value()))
                addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where,
                    QStringLiteral("[%1] expected [%2], decoded [%3]")
                        .arg(it.key(), expectedText(it.value()), fieldValueText(*field, value)));
        }
    }
}

} // namespace TemplateParsing
