#include "devices/devicetemplate.h"
#include "devices/templatecolor.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>

#include <algorithm>

#include "app/ceui.h"
#include "app/globaltables.h"
#include "devices/ccodecrunner.h"
#include "devices/codecexamples.h"
#include "devices/templateparsing.h"
#include "devices/uplinkdecoder.h"

using namespace TemplateParsing;

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
    if (row == serverKeywordTable.constEnd())
        return;
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
    appEui = CEui(_json.value(TEMPLATE_KEY_APP_EUI).toString()).text();
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
            if (!value.valid) {
                if (!value.keyword.isEmpty())
                    notes << QStringLiteral("ERROR: [SServerData] Server keyword [%1] is unknown!").arg(value.keyword);
                continue;
            }
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
