#include "devices/devicetemplate.h"
#include "devices/templatecolor.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/ccodecrunner.h"
#include "devices/codecexamples.h"
#include "devices/uplinkdecoder.h"

namespace {

void debugLine(const QString &_text)
{
    qDebug().noquote() << _text;
}

// Whole JSON numbers that fit 32 bits; anything else (text, fraction, bool) reads 0.
qint32 readInt(const QJsonValue &_value)
{
    if (!_value.isDouble())
        return 0;
    const double number = _value.toDouble();
    if (std::floor(number) != number || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max())
        return 0;
    return static_cast<qint32>(number);
}

// The common gate of every record: not empty, every key present, none null.
// An empty packet object is refused without a message of its own.
bool acceptInput(const QJsonObject &_json, const QStringList &_keys, const QString &_origin, bool _reportEmpty = true)
{
    if (_json.isEmpty()) {
        if (_reportEmpty)
            debugLine(QStringLiteral("[%1] Empty input JSON").arg(_origin));
        return false;
    }
    for (const QString &key : _keys) {
        if (!_json.contains(key)) {
            debugLine(QStringLiteral("[%1] Invalid input JSON").arg(_origin));
            return false;
        }
    }
    for (const QString &key : _keys) {
        if (_json.value(key).isNull()) {
            debugLine(QStringLiteral("[%1] One or several values of input JSON is NULL").arg(_origin));
            return false;
        }
    }
    return true;
}

// A device's register map spans at most the Modbus register space.
const qint64 REGISTER_SPACE = 65536;
const qint64 REGISTER_BITS = 16;
// A LoRa frame carries at most 255 bytes, so no payload is longer.
const qint64 MAX_PACKET_SIZE = 255;
// Examples are decoded as if received at this time, so a codec reading recvTime agrees each run.
const qint64 EXAMPLE_RECEIVED_MS = 1700000000000;

void addProblem(QList<STemplateProblem> &_problems, const QString &_key, const QString &_where, const QString &_text)
{
    _problems.append(STemplateProblem { QString(), _key, _where + QStringLiteral(": ") + _text });
}

// Sizes and offsets in the register map: the value's registers, and the bit its bias
// names, lie within registers 0-65535. Computed in 64 bits, so no sum can wrap.
template <typename Record>
void checkPlacement(const Record &_record, const QString &_where, QList<STemplateProblem> &_problems)
{
    const qint64 bias = _record.regMapBias;
    if (bias < 0 || bias >= REGISTER_SPACE) {
        addProblem(_problems, TEMPLATE_KEY_REG_MAP_BIAS, _where,
            QStringLiteral("[%1] lies outside registers 0-65535").arg(bias));
        return;
    }
    const qint64 bits = _record.regBitSize;
    if (bits < 1 || bias + (bits + REGISTER_BITS - 1) / REGISTER_BITS > REGISTER_SPACE)
        addProblem(_problems, TEMPLATE_KEY_REG_BIT_SIZE, _where,
            QStringLiteral("[%1] bits from register [%2] do not fit registers 0-65535").arg(bits).arg(bias));
    const qint64 bitBias = _record.regBitBias;
    if (bitBias < 0 || bias * REGISTER_BITS + bitBias >= REGISTER_SPACE * REGISTER_BITS)
        addProblem(_problems, TEMPLATE_KEY_REG_BIT_BIAS, _where,
            QStringLiteral("[%1] bits from register [%2] lie outside registers 0-65535").arg(bitBias).arg(bias));
}

// Registers a value of that register format takes.
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

// Registers a decoded value of that format takes; 0 for text, whose size the template gives.
int decodedFormatRegisters(const QString &_format)
{
    if (_format == REG_FORMAT_BOOL)
        return 1;
    return formatRegisters(_format);
}

// The "decoder" object: a codec file inside the template folder, or the network server's object.
void readDecoder(const QJsonValue &_json, SDecoder &_decoder, QList<STemplateProblem> &_problems)
{
    const QString where = TEMPLATE_KEY_DECODER;
    if (!_json.isObject()) {
        addProblem(_problems, TEMPLATE_KEY_DECODER, where, QStringLiteral("not an object"));
        return;
    }
    const QJsonObject json = _json.toObject();
    const QJsonValue network = json.value(DECODER_KEY_NETWORK);
    const QJsonValue codec = json.value(DECODER_KEY_CODEC);
    const QJsonValue examples = json.value(TEMPLATE_KEY_EXAMPLES);
    if (!network.isUndefined() && network != QJsonValue(true)) {
        addProblem(_problems, DECODER_KEY_NETWORK, where, QStringLiteral("is true or absent"));
        return;
    }
    _decoder.network = network.toBool(false);
    if (_decoder.network) {
        if (!codec.isUndefined() || !examples.isUndefined())
            addProblem(_problems, DECODER_KEY_CODEC, where,
                QStringLiteral("a decoder of the network server has no codec and no codec examples"));
        return;
    }
    if (!codec.isString() || codec.toString().isEmpty()) {
        addProblem(_problems, DECODER_KEY_CODEC, where, QStringLiteral("names no codec file (or give \"network\": true)"));
        return;
    }
    _decoder.codec = codec.toString();
    if (!examples.isUndefined()) {
        if (!examples.isString() || examples.toString().isEmpty())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, where, QStringLiteral("names no codec definition file"));
        _decoder.examples = examples.toString();
    }
}

// A number of the field's object that must be whole where the register format is an integer.
double readScaling(const QJsonObject &_json, const QString &_key, double _default, bool _whole, const QString &_where,
    QList<STemplateProblem> &_problems)
{
    const QJsonValue value = _json.value(_key);
    if (value.isUndefined())
        return _default;
    const double number = value.toDouble();
    if (!value.isDouble() || (_whole && std::floor(number) != number) || std::fabs(number) > 1e15) {
        addProblem(_problems, _key, _where,
            QStringLiteral("[%1] is not a %2number")
                .arg(value.isDouble() ? QString::number(number, 'g', QLocale::FloatingPointShortest) : expectedText(value),
                    _whole ? QStringLiteral("whole ") : QString()));
        return _default;
    }
    return number;
}

SDecodedField readDecodedField(const QJsonValue &_json, int _index, QList<STemplateProblem> &_problems)
{
    SDecodedField field;
    QString where = QStringLiteral("decoded field [%1]").arg(_index);
    if (!_json.isObject()) {
        addProblem(_problems, TEMPLATE_KEY_DECODED_FIELDS, where, QStringLiteral("not an object"));
        return field;
    }
    const QJsonObject json = _json.toObject();
    field.pathText = json.value(FIELD_KEY_PATH).toString();
    field.dataName = json.value(TEMPLATE_KEY_DATA_NAME).toString();
    if (!field.dataName.isEmpty())
        where = QStringLiteral("decoded field [%1]").arg(field.dataName);
    else
        addProblem(_problems, TEMPLATE_KEY_DATA_NAME, where, QStringLiteral("a decoded field needs a name"));
    QString pathError;
    if (!json.value(FIELD_KEY_PATH).isString())
        addProblem(_problems, FIELD_KEY_PATH, where, QStringLiteral("missing"));
    else if ((field.path = parseDecodedPath(field.pathText, &pathError)).isEmpty())
        addProblem(_problems, FIELD_KEY_PATH, where, QStringLiteral("[%1]: %2").arg(field.pathText, pathError));

    const QJsonValue bias = json.value(TEMPLATE_KEY_REG_MAP_BIAS);
    if (!bias.isDouble() || std::floor(bias.toDouble()) != bias.toDouble() || bias.toDouble() < 0
        || bias.toDouble() >= REGISTER_SPACE) {
        addProblem(_problems, TEMPLATE_KEY_REG_MAP_BIAS, where,
            QStringLiteral("[%1] is not a register of 0-65535").arg(expectedText(bias)));
        return field;
    }
    field.regMapBias = qint32(bias.toDouble());
    field.regFormat = json.value(TEMPLATE_KEY_REG_FORMAT).toString();
    const int registers = decodedFormatRegisters(field.regFormat);
    if (registers == 0 && field.regFormat != DATA_TYPE_TEXT) {
        addProblem(_problems, TEMPLATE_KEY_REG_FORMAT, where,
            QStringLiteral("[%1] is none of int16, uint16, int32, uint32, float32, bool, text")
                .arg(expectedText(json.value(TEMPLATE_KEY_REG_FORMAT))));
        return field;
    }
    const QJsonValue size = json.value(TEMPLATE_KEY_REG_BIT_SIZE);
    if (registers > 0) {
        field.regBitSize = registers * REGISTER_BITS;
        if (!size.isUndefined() && size.toDouble() != field.regBitSize)
            addProblem(_problems, TEMPLATE_KEY_REG_BIT_SIZE, where,
                QStringLiteral("[%1] takes %2 bits, not [%3]")
                    .arg(field.regFormat)
                    .arg(field.regBitSize)
                    .arg(expectedText(size)));
    } else {
        const double bits = size.toDouble();
        if (!size.isDouble() || bits < 16 || bits > 2048 || std::fmod(bits, 16) != 0) {
            addProblem(_problems, TEMPLATE_KEY_REG_BIT_SIZE, where,
                QStringLiteral("a text needs a size of whole registers, 16-2048 bits, not [%1]").arg(expectedText(size)));
            return field;
        }
        field.regBitSize = qint32(bits);
    }
    if (qint64(field.regMapBias) + field.regBitSize / REGISTER_BITS > REGISTER_SPACE)
        addProblem(_problems, TEMPLATE_KEY_REG_BIT_SIZE, where,
            QStringLiteral("[%1] bits from register [%2] do not fit registers 0-65535")
                .arg(field.regBitSize)
                .arg(field.regMapBias));

    const QJsonValue map = json.value(FIELD_KEY_MAP);
    if (!map.isUndefined()) {
        if (!map.isObject() || map.toObject().isEmpty())
            addProblem(_problems, FIELD_KEY_MAP, where, QStringLiteral("not an object of texts and numbers"));
        const QJsonObject entries = map.toObject();
        for (auto it = entries.constBegin(); it != entries.constEnd(); ++it) {
            if (!it.value().isDouble()) {
                addProblem(_problems, FIELD_KEY_MAP, where,
                    QStringLiteral("[%1] stands for [%2], not a number").arg(it.key(), expectedText(it.value())));
                continue;
            }
            field.map.insert(it.key(), it.value().toDouble());
        }
    }
    const bool whole = field.regFormat != REG_FORMAT_FLOAT32;
    if (field.regFormat == DATA_TYPE_TEXT || field.regFormat == REG_FORMAT_BOOL) {
        for (const QString &key : { FIELD_KEY_MULTIPLIER, FIELD_KEY_ADDED_VALUE }) {
            if (json.contains(key))
                addProblem(_problems, key, where, QStringLiteral("a %1 is not scaled").arg(field.regFormat));
        }
    } else {
        field.multiplier = readScaling(json, FIELD_KEY_MULTIPLIER, 1, whole, where, _problems);
        field.addedValue = readScaling(json, FIELD_KEY_ADDED_VALUE, 0, whole, where, _problems);
    }
    return field;
}

// The "downlinks" list: each command valid on its own, and its registers (or coil) taken
// by nothing else of the template, so an uplink never overwrites what a client wrote.
void readDownlinks(const QJsonValue &_list, const SDeviceTemplate &_template, QList<SDownlinkCommand> &_commands,
    QList<STemplateProblem> &_problems)
{
    if (!_list.isArray()) {
        addProblem(_problems, TEMPLATE_KEY_DOWNLINKS, TEMPLATE_KEY_DOWNLINKS, QStringLiteral("not a list"));
        return;
    }
    QList<SCommandProblem> problems;
    const QJsonArray list = _list.toArray();
    for (int i = 0; i < list.size(); ++i)
        _commands.append(readDownlinkCommand(list.at(i), i, problems));
    for (const SCommandProblem &problem : problems)
        _problems.append(STemplateProblem { QString(), problem.first, problem.second });
    if (!problems.isEmpty())
        return;

    QList<QPair<QPair<qint64, qint64>, QString>> taken;
    const auto take = [&taken](qint64 _bias, qint64 _bits, const QString &_name) {
        taken.append({ { _bias, _bias + registersOfBits(_bits) - 1 }, _name });
    };
    for (const SServerData &value : _template.serverData)
        take(value.regMapBias, value.regBitSize, value.dataName);
    for (const SDevicePacket &packet : _template.packets) {
        for (const SDevicePacketField &field : packet.fields)
            take(field.regMapBias, field.regBitSize, field.dataName);
    }
    for (const SDecodedField &field : _template.decodedFields)
        take(field.regMapBias, field.regBitSize, field.dataName);
    QMap<qint32, QString> coils;
    for (int i = 0; i < _commands.size(); ++i) {
        const SDownlinkCommand &command = _commands.at(i);
        const QString where = QStringLiteral("downlink [%1]").arg(i);
        if (!command.encode.isEmpty() && (!_template.hasDecoder || _template.decoder.network))
            addProblem(_problems, COMMAND_KEY_ENCODE, where, QStringLiteral("only a template with a codec encodes"));
        if (command.isCoil) {
            if (coils.contains(command.coil))
                addProblem(_problems, COMMAND_KEY_COIL, where,
                    QStringLiteral("coil [%1] is also [%2]").arg(command.coil).arg(coils.value(command.coil)));
            coils.insert(command.coil, command.dataName);
            continue;
        }
        const qint64 first = command.regMapBias;
        const qint64 last = first + command.registerCount() - 1;
        for (const auto &other : taken) {
            if (first <= other.first.second && other.first.first <= last) {
                addProblem(_problems, TEMPLATE_KEY_REG_MAP_BIAS, where,
                    QStringLiteral("registers [%1-%2] overlap [%3]").arg(first).arg(last).arg(other.second));
                break;
            }
        }
        taken.append({ { first, last }, command.dataName });
    }
}

} // namespace

// Where a value lands in the register map: payload fields and server values both carry it.
template <typename Record>
void readPlacement(const QJsonObject &_json, Record &_record)
{
    _record.regMapBias = readInt(_json.value(TEMPLATE_KEY_REG_MAP_BIAS));
    _record.regBitBias = readInt(_json.value(TEMPLATE_KEY_REG_BIT_BIAS));
    _record.regBitSize = readInt(_json.value(TEMPLATE_KEY_REG_BIT_SIZE));
    _record.dataName = _json.value(TEMPLATE_KEY_DATA_NAME).toString();
}

SDevicePacketField::SDevicePacketField(const QJsonObject &_json)
{
    const QStringList keys { TEMPLATE_KEY_PACKET_BIAS,   TEMPLATE_KEY_DATA_BIT_BIAS, TEMPLATE_KEY_DATA_BIT_SIZE,
                             TEMPLATE_KEY_DATA_TYPE,     TEMPLATE_KEY_REG_MAP_BIAS,  TEMPLATE_KEY_REG_BIT_BIAS,
                             TEMPLATE_KEY_REG_BIT_SIZE,  TEMPLATE_KEY_DATA_NAME };
    if (!acceptInput(_json, keys, QStringLiteral("SDevicePacketField")))
        return;
    packetBias = readInt(_json.value(TEMPLATE_KEY_PACKET_BIAS));
    dataBitBias = readInt(_json.value(TEMPLATE_KEY_DATA_BIT_BIAS));
    dataBitSize = readInt(_json.value(TEMPLATE_KEY_DATA_BIT_SIZE));
    dataType = _json.value(TEMPLATE_KEY_DATA_TYPE).toString();
    readPlacement(_json, *this);
    // Present with a value that is not text reads empty and is refused by the template check.
    if (_json.contains(TEMPLATE_KEY_BYTE_ORDER))
        byteOrder = _json.value(TEMPLATE_KEY_BYTE_ORDER).toString();
    if (_json.contains(TEMPLATE_KEY_REG_FORMAT))
        regFormat = _json.value(TEMPLATE_KEY_REG_FORMAT).toString();
    valid = true;
}

SDevicePacket::SDevicePacket(const QJsonObject &_json)
{
    const QStringList keys { TEMPLATE_KEY_PACKET_TYPE, TEMPLATE_KEY_PACKET_FIELDS };
    if (!acceptInput(_json, keys, QStringLiteral("SDevicePacket"), false))
        return;
    packetType = readInt(_json.value(TEMPLATE_KEY_PACKET_TYPE));
    packetSize = readInt(_json.value(TEMPLATE_KEY_PACKET_SIZE)); // absent or null reads 0
    const QJsonArray fieldArray = _json.value(TEMPLATE_KEY_PACKET_FIELDS).toArray();
    if (fieldArray.isEmpty()) {
        debugLine(QStringLiteral("[SDevicePacket] Packet fields array is empty"));
        return;
    }
    for (const QJsonValue &element : fieldArray) {
        const SDevicePacketField field(element.toObject());
        if (field.valid)
            fields.append(field);
    }
    valid = !fields.isEmpty();
}

SServerData::SServerData(const QJsonObject &_json)
{
    const QStringList keys { TEMPLATE_KEY_DATA_CODE, TEMPLATE_KEY_REG_MAP_BIAS, TEMPLATE_KEY_REG_BIT_BIAS,
                             TEMPLATE_KEY_REG_BIT_SIZE, TEMPLATE_KEY_DATA_NAME };
    if (!acceptInput(_json, keys, QStringLiteral("SServerData")))
        return;
    keyword = _json.value(TEMPLATE_KEY_DATA_CODE).toString();
    const auto row = serverKeywordTable.constFind(keyword);
    if (row == serverKeywordTable.constEnd()) {
        CLogFile::addLog(QStringLiteral("ERROR: [SServerData] Server keyword [%1] is unknown!").arg(keyword));
        return;
    }
    bitSize = row->bitSize;
    dataType = row->dataType;
    debugLine(QStringLiteral("[%1] - bitSize[%2], type[%3]").arg(keyword).arg(bitSize).arg(dataType));
    readPlacement(_json, *this);
    valid = true;
}

SDeviceTemplate::SDeviceTemplate(const QJsonObject &_json)
{
    hasDecoder = _json.contains(TEMPLATE_KEY_DECODER);
    const QStringList keys { TEMPLATE_KEY_APP_EUI, TEMPLATE_KEY_DEV_TYPE,
                             hasDecoder ? TEMPLATE_KEY_DECODED_FIELDS : TEMPLATE_KEY_DEVICE_PACKETS };
    if (!acceptInput(_json, keys, QStringLiteral("SDeviceTemplate")))
        return;
    appEui = _json.value(TEMPLATE_KEY_APP_EUI).toString().toUpper();
    devType = _json.value(TEMPLATE_KEY_DEV_TYPE).toString();

    if (hasDecoder) {
        if (_json.contains(TEMPLATE_KEY_DEVICE_PACKETS))
            addProblem(problems, TEMPLATE_KEY_DEVICE_PACKETS, TEMPLATE_KEY_DECODER,
                QStringLiteral("a template has either device_packets or a decoder"));
        readDecoder(_json.value(TEMPLATE_KEY_DECODER), decoder, problems);
        const QJsonValue fields = _json.value(TEMPLATE_KEY_DECODED_FIELDS);
        if (!fields.isArray() || fields.toArray().isEmpty())
            addProblem(problems, TEMPLATE_KEY_DECODED_FIELDS, TEMPLATE_KEY_DECODED_FIELDS,
                QStringLiteral("not a list of at least one field"));
        const QJsonArray list = fields.toArray();
        for (int i = 0; i < list.size(); ++i)
            decodedFields.append(readDecodedField(list.at(i), i, problems));
    } else {
        const QJsonArray packetArray = _json.value(TEMPLATE_KEY_DEVICE_PACKETS).toArray();
        for (const QJsonValue &element : packetArray) {
            const SDevicePacket packet(element.toObject());
            if (packet.valid)
                checkPacket(packet, problems);
            if (packet.valid)
                packets.insert(packetTypeKey(packet.packetType), packet); // a later duplicate wins
        }
        if (packets.isEmpty()) {
            debugLine(QStringLiteral("[SDeviceTemplate] Device packets array is empty"));
            return;
        }
    }
    valid = true;

    const QJsonValue serverArray = _json.value(TEMPLATE_KEY_SERVER_DATA);
    if (!serverArray.isUndefined() && !serverArray.isNull()) {
        for (const QJsonValue &element : serverArray.toArray()) {
            const SServerData value(element.toObject());
            if (!value.valid)
                continue;
            checkPlacement(value, QStringLiteral("server value [%1]").arg(value.keyword), problems);
            serverData.insert(value.keyword, value);
        }
    }

    deviceProfile = _json.value(QStringLiteral("device_profile")).toString();

    if (_json.contains(TEMPLATE_KEY_DOWNLINKS))
        readDownlinks(_json.value(TEMPLATE_KEY_DOWNLINKS), *this, downlinks, problems);

    if (_json.contains(TEMPLATE_KEY_COLOR)) {
        const QString colorName = _json.value(TEMPLATE_KEY_COLOR).toString();
        const QString parsed = templateColorName(colorName);
        if (!parsed.isEmpty())
            color = parsed;
        else
            debugLine(QStringLiteral("[SDeviceTemplate] Invalid color name [%1]").arg(colorName));
    }

    // Examples are checked only against fields that passed their own checks; a decoder's
    // run with its codec once the file's folder is known.
    examples = _json.value(TEMPLATE_KEY_EXAMPLES);
    if (problems.isEmpty() && !hasDecoder && _json.contains(TEMPLATE_KEY_EXAMPLES))
        checkExamples(examples, packets, problems);

    // A refused template holds nothing a caller could use by mistake.
    if (!problems.isEmpty()) {
        valid = false;
        packets.clear();
        serverData.clear();
        downlinks.clear();
        decodedFields.clear();
    }
}

quint32 packetTypeKey(qint32 _packetType)
{
    if (_packetType >= 128 && _packetType <= 255)
        return static_cast<quint32>(_packetType - 256);
    return static_cast<quint32>(_packetType);
}

QString serverValueFormat(const QString &_keyword, qint32 _regBitSize)
{
    if (_keyword == SERVER_KEYWORD_GATEWAY_ID || _keyword == SERVER_KEYWORD_DEV_EUI)
        return DATA_TYPE_TEXT;
    if (_keyword == SERVER_KEYWORD_TS)
        return REG_FORMAT_UINT32;
    if (_keyword == SERVER_KEYWORD_RSSI)
        return REG_FORMAT_INT16;
    const bool wide = _regBitSize > 16;
    if (_keyword == SERVER_KEYWORD_SNR)
        return wide ? REG_FORMAT_INT32 : REG_FORMAT_INT16;
    return wide ? REG_FORMAT_UINT32 : REG_FORMAT_UINT16;
}

QString fieldFormat(const SDevicePacketField &_field)
{
    if (_field.dataType == DATA_TYPE_TEXT)
        return DATA_TYPE_TEXT;
    if (!_field.regFormat.isEmpty())
        return _field.regFormat;
    if (_field.dataType == DATA_TYPE_FLOAT)
        return REG_FORMAT_FLOAT32;
    const QString sign = _field.dataType == DATA_TYPE_INTEGER ? QStringLiteral("int") : QStringLiteral("uint");
    return sign + QString::number(qBound(16, _field.dataBitSize, 64));
}

QString decodedDataType(const QString &_regFormat)
{
    if (_regFormat == REG_FORMAT_FLOAT32)
        return DATA_TYPE_FLOAT;
    if (_regFormat == REG_FORMAT_INT16 || _regFormat == REG_FORMAT_INT32)
        return DATA_TYPE_INTEGER;
    if (_regFormat == DATA_TYPE_TEXT)
        return DATA_TYPE_TEXT;
    return DATA_TYPE_UINTEGER;
}

namespace {

// One entry of a register map, its scaling neutral.
SRegisterDescription describedRegister(const QString &_name, qint32 _source, qint32 _offset, qint32 _bitSize,
    const QString &_dataType, const QString &_format)
{
    SRegisterDescription reg;
    reg.name = _name;
    reg.source = _source;
    reg.offset = _offset;
    reg.bitSize = _bitSize;
    reg.dataType = _dataType;
    reg.format = _format;
    return reg;
}

} // namespace

SDeviceRegMap regMapOfTemplate(const SDeviceTemplate &_template)
{
    SDeviceRegMap regMap;
    regMap.appEui = _template.appEui;
    for (const SServerData &value : _template.serverData) {
        SRegisterDescription reg = describedRegister(value.dataName, 0, value.regMapBias, value.regBitSize,
            serverKeywordTable.value(value.keyword).dataType, serverValueFormat(value.keyword, value.regBitSize));
        reg.keyword = value.keyword;
        regMap.registers.append(reg);
    }
    for (const SDevicePacket &packet : _template.packets) {
        for (const SDevicePacketField &field : packet.fields)
            regMap.registers.append(describedRegister(
                field.dataName, 1, field.regMapBias, field.regBitSize, field.dataType, fieldFormat(field)));
    }
    for (const SDecodedField &field : _template.decodedFields) {
        SRegisterDescription reg = describedRegister(field.dataName, 1, field.regMapBias, field.regBitSize,
            decodedDataType(field.regFormat), field.regFormat);
        reg.gratingPeriod = field.multiplier;
        reg.startValue = field.addedValue;
        regMap.registers.append(reg);
    }
    for (const SDownlinkCommand &command : _template.downlinks) {
        if (!command.isCoil)
            regMap.registers.append(describedRegister(command.dataName, REGISTER_SOURCE_COMMAND, command.regMapBias,
                command.regBitSize, command.dataType, QString()));
    }
    return regMap;
}

namespace {

// A file the template names, inside the template's folder; empty with _problem set otherwise.
QString fileInFolder(const QString &_dirPath, const QString &_name, const QString &_key, QList<STemplateProblem> &_problems)
{
    const QString folder = QFileInfo(_dirPath).canonicalFilePath();
    const QFileInfo file(QDir(_dirPath).filePath(_name));
    const QString path = file.canonicalFilePath();
    if (QDir::isAbsolutePath(_name) || path.isEmpty() || folder.isEmpty()
        || !path.startsWith(folder + QLatin1Char('/'))) {
        addProblem(_problems, _key, TEMPLATE_KEY_DECODER,
            path.isEmpty() && !QDir::isAbsolutePath(_name) && !_name.contains(QStringLiteral(".."))
                ? QStringLiteral("[%1] does not exist").arg(_name)
                : QStringLiteral("[%1] is not a file inside the template folder").arg(_name));
        return QString();
    }
    return path;
}

// A decoder template's codec loaded and its examples run; each outcome goes to _outcomes.
void checkDecoder(SDeviceTemplate &_template, const QString &_dirPath, const STemplateContext &_context,
    QList<STemplateProblem> &_problems, QList<SExampleOutcome> *_outcomes)
{
    SDecoder &decoder = _template.decoder;
    if (decoder.network) {
        if (!_context.serverDecodes)
            addProblem(_problems, DECODER_KEY_NETWORK, TEMPLATE_KEY_DECODER,
                QStringLiteral("the network server's decoded object needs ChirpStack or The Things Stack; the "
                               "WebSocket server sends none"));
        if (!_template.examples.isUndefined())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_EXAMPLES,
                QStringLiteral("examples need a codec; the network server decodes this template's payloads"));
        return;
    }
    decoder.codecPath = fileInFolder(_dirPath, decoder.codec, DECODER_KEY_CODEC, _problems);
    if (decoder.codecPath.isEmpty())
        return;
    if (!_context.codecs) {
        addProblem(_problems, DECODER_KEY_CODEC, TEMPLATE_KEY_DECODER, QStringLiteral("no codec runtime here"));
        return;
    }
    const QString loadError = _context.codecs->load(decoder.codecPath);
    if (!loadError.isEmpty()) {
        addProblem(_problems, DECODER_KEY_CODEC, TEMPLATE_KEY_DECODER, loadError);
        return;
    }
    for (const SDownlinkCommand &command : _template.downlinks) {
        if (!command.encode.isEmpty() && !_context.codecs->canEncode(decoder.codecPath)) {
            addProblem(_problems, COMMAND_KEY_ENCODE, QStringLiteral("downlink [%1]").arg(command.dataName),
                QStringLiteral("codec [%1] has no encodeDownlink").arg(decoder.codec));
            break;
        }
    }

    QStringList readProblems;
    QList<SCodecExample> examples = readTemplateExamples(_template.examples, &readProblems);
    for (const QString &problem : readProblems)
        addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_EXAMPLES, problem);
    if (!decoder.examples.isEmpty()) {
        decoder.examplesPath = fileInFolder(_dirPath, decoder.examples, TEMPLATE_KEY_EXAMPLES, _problems);
        if (decoder.examplesPath.isEmpty())
            return;
        QFile file(decoder.examplesPath);
        QList<SCodecExample> fromFile;
        QString error;
        if (file.size() > MAX_TEMPLATE_FILE_SIZE)
            error = QStringLiteral("larger than [%1] bytes").arg(MAX_TEMPLATE_FILE_SIZE);
        else if (!file.open(QIODevice::ReadOnly))
            error = file.errorString();
        else
            readCodecExamplesYaml(file.readAll(), &fromFile, &error);
        if (!error.isEmpty()) {
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, TEMPLATE_KEY_DECODER,
                QStringLiteral("[%1]: %2").arg(decoder.examples, error));
            return;
        }
        for (SCodecExample &example : fromFile)
            example.name = decoder.examples + QStringLiteral(" ") + example.name;
        examples += fromFile;
    }
    for (const SCodecExample &example : qAsConst(examples)) {
        const SCodecResult result
            = _context.codecs->decode(decoder.codecPath, example.fPort, example.bytes, EXAMPLE_RECEIVED_MS);
        const QString problem = exampleProblem(example, result);
        if (_outcomes)
            _outcomes->append(SExampleOutcome { example.name, problem });
        if (!problem.isEmpty())
            addProblem(_problems, TEMPLATE_KEY_EXAMPLES, example.name, problem);
    }
}

// Reads, parses and checks one file. Problems of the file itself carry the log
// line's exact text and no key.
SDeviceTemplate readTemplateFile(const QString &_dirPath, const QString &_fileName, QList<STemplateProblem> &_problems,
    const STemplateContext &_context, QList<SExampleOutcome> *_outcomes)
{
    const auto fileProblem = [&](const QString &_text) {
        _problems.append(STemplateProblem { _fileName, QString(), _text });
        return SDeviceTemplate();
    };
    const QString path = _dirPath + QStringLiteral("/") + _fileName;
    QFile file(path);
    if (!file.exists())
        return fileProblem(QStringLiteral("File [%1] is not exist").arg(_fileName));
    // Checked before reading: parsing a huge file costs about ten times its size.
    if (file.size() > MAX_TEMPLATE_FILE_SIZE)
        return fileProblem(QStringLiteral("WARNING: [CAllDeviceHandler] File [%1] of [%2] bytes is larger than "
                                          "[%3] bytes, skipped")
                               .arg(_fileName)
                               .arg(file.size())
                               .arg(MAX_TEMPLATE_FILE_SIZE));
    if (!file.open(QIODevice::ReadOnly))
        return fileProblem(QStringLiteral("File [%1] is not opened").arg(_fileName));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        return fileProblem(QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]")
                               .arg(path, error.errorString())
                               .arg(error.offset));
    if (document.isEmpty())
        return fileProblem(QStringLiteral("File [%1] is not contans JSON document").arg(_fileName));
    SDeviceTemplate parsed(document.object());
    if (parsed.valid && parsed.hasDecoder)
        checkDecoder(parsed, _dirPath, _context, parsed.problems, _outcomes);
    if (!parsed.problems.isEmpty() && parsed.valid) {
        parsed.valid = false;
        parsed.decodedFields.clear();
        parsed.serverData.clear();
        parsed.downlinks.clear();
    }
    for (STemplateProblem problem : parsed.problems) {
        problem.file = _fileName;
        _problems.append(problem);
    }
    return parsed;
}

} // namespace

namespace {

// Why a file without one of the required keys loads nothing; the record parsers say which
// key on the debug output only.
QString noValidTemplate(const QString &_fileName)
{
    return QStringLiteral("File [%1] holds no valid template: it needs app_eui, dev_type and a packet with a valid "
                          "field, or a decoder with decoded_fields")
        .arg(_fileName);
}

} // namespace

SDeviceTemplate loadTemplateFile(const QString &_dirPath, const QString &_fileName, const STemplateContext &_context)
{
    QList<STemplateProblem> problems;
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, problems, _context, nullptr);
    for (const STemplateProblem &problem : problems) {
        if (problem.key.isEmpty())
            CLogFile::addLog(problem.text);
        else
            CLogFile::addLog(QStringLiteral("ERROR: [CAllDeviceHandler] Template file [%1] refused, key [%2]: %3")
                                 .arg(problem.file, problem.key, problem.text));
    }
    if (!parsed.valid && problems.isEmpty())
        CLogFile::addLog(QStringLiteral("WARNING: [CAllDeviceHandler] Template file [%1] skipped: %2")
                             .arg(_fileName, noValidTemplate(_fileName)));
    return parsed;
}

SDeviceTemplate readTemplate(const QString &_dirPath, const QString &_fileName, const STemplateContext &_context,
    QList<STemplateProblem> *_problems, QList<SExampleOutcome> *_examples)
{
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, *_problems, _context, _examples);
    // Refusals of the record parsers themselves go to the debug output only.
    if (!parsed.valid && _problems->isEmpty())
        _problems->append(STemplateProblem { _fileName, QString(), noValidTemplate(_fileName) });
    return parsed;
}

QList<STemplateProblem> checkTemplateFile(const QString &_dirPath, const QString &_fileName,
    const STemplateContext &_context, QList<SExampleOutcome> *_examples)
{
    QList<STemplateProblem> problems;
    readTemplate(_dirPath, _fileName, _context, &problems, _examples);
    return problems;
}
