#include "devices/devicetemplate.h"
#include "devices/templatecolor.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
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
    QMap<qint32, QString> coils;
    for (int i = 0; i < _commands.size(); ++i) {
        const SDownlinkCommand &command = _commands.at(i);
        const QString where = QStringLiteral("downlink [%1]").arg(i);
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
    const QStringList keys { TEMPLATE_KEY_APP_EUI, TEMPLATE_KEY_DEV_TYPE, TEMPLATE_KEY_DEVICE_PACKETS };
    if (!acceptInput(_json, keys, QStringLiteral("SDeviceTemplate")))
        return;
    appEui = _json.value(TEMPLATE_KEY_APP_EUI).toString().toUpper();
    devType = _json.value(TEMPLATE_KEY_DEV_TYPE).toString();

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

    // Examples are checked only against fields that passed their own checks.
    if (problems.isEmpty() && _json.contains(TEMPLATE_KEY_EXAMPLES))
        checkExamples(_json.value(TEMPLATE_KEY_EXAMPLES), packets, problems);

    // A refused template holds nothing a caller could use by mistake.
    if (!problems.isEmpty()) {
        valid = false;
        packets.clear();
        serverData.clear();
        downlinks.clear();
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

SDeviceRegMap regMapOfTemplate(const SDeviceTemplate &_template)
{
    SDeviceRegMap regMap;
    regMap.appEui = _template.appEui;
    for (const SServerData &value : _template.serverData) {
        SRegisterDescription reg;
        reg.name = value.dataName;
        reg.source = 0;
        reg.offset = value.regMapBias;
        reg.bitSize = value.regBitSize;
        reg.dataType = serverKeywordTable.value(value.keyword).dataType;
        reg.keyword = value.keyword;
        reg.format = serverValueFormat(value.keyword, value.regBitSize);
        regMap.registers.append(reg);
    }
    for (const SDevicePacket &packet : _template.packets) {
        for (const SDevicePacketField &field : packet.fields) {
            SRegisterDescription reg;
            reg.name = field.dataName;
            reg.source = 1;
            reg.offset = field.regMapBias;
            reg.bitSize = field.regBitSize;
            reg.dataType = field.dataType;
            reg.format = fieldFormat(field);
            regMap.registers.append(reg);
        }
    }
    for (const SDownlinkCommand &command : _template.downlinks) {
        if (command.isCoil)
            continue;
        SRegisterDescription reg;
        reg.name = command.dataName;
        reg.source = REGISTER_SOURCE_COMMAND;
        reg.offset = command.regMapBias;
        reg.bitSize = command.regBitSize;
        reg.dataType = command.dataType;
        regMap.registers.append(reg);
    }
    return regMap;
}

namespace {

// Reads, parses and checks one file. Problems of the file itself carry the log
// line's exact text and no key.
SDeviceTemplate readTemplateFile(const QString &_dirPath, const QString &_fileName, QList<STemplateProblem> &_problems)
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
                          "field").arg(_fileName);
}

} // namespace

SDeviceTemplate loadTemplateFile(const QString &_dirPath, const QString &_fileName)
{
    QList<STemplateProblem> problems;
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, problems);
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

QList<STemplateProblem> checkTemplateFile(const QString &_dirPath, const QString &_fileName)
{
    QList<STemplateProblem> problems;
    const SDeviceTemplate parsed = readTemplateFile(_dirPath, _fileName, problems);
    if (!parsed.valid && problems.isEmpty())
        problems.append(STemplateProblem { _fileName, QString(), noValidTemplate(_fileName) });
    return problems;
}
