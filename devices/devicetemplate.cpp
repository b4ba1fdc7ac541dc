#include "devices/devicetemplate.h"
#include "devices/templatecolor.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>
#include <limits>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"

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
            if (value.valid)
                serverData.insert(value.keyword, value);
        }
    }

    deviceProfile = _json.value(QStringLiteral("device_profile")).toString();

    if (_json.contains(TEMPLATE_KEY_COLOR)) {
        const QString colorName = _json.value(TEMPLATE_KEY_COLOR).toString();
        const QString parsed = templateColorName(colorName);
        if (!parsed.isEmpty())
            color = parsed;
        else
            debugLine(QStringLiteral("[SDeviceTemplate] Invalid color name [%1]").arg(colorName));
    }
}

quint32 packetTypeKey(qint32 _packetType)
{
    if (_packetType >= 128 && _packetType <= 255)
        return static_cast<quint32>(_packetType - 256);
    return static_cast<quint32>(_packetType);
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
            regMap.registers.append(reg);
        }
    }
    return regMap;
}

SDeviceTemplate loadTemplateFile(const QString &_dirPath, const QString &_fileName)
{
    const QString path = _dirPath + QStringLiteral("/") + _fileName;
    QFile file(path);
    if (!file.exists()) {
        CLogFile::addLog(QStringLiteral("File [%1] is not exist").arg(_fileName));
        return SDeviceTemplate();
    }
    if (!file.open(QIODevice::ReadOnly)) {
        CLogFile::addLog(QStringLiteral("File [%1] is not opened").arg(_fileName));
        return SDeviceTemplate();
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError) {
        CLogFile::addLog(QStringLiteral("ERROR: [CAllDeviceHandler] Invalid parsing JSON file [%1]: error[%2], row[%3]")
                             .arg(path, error.errorString())
                             .arg(error.offset));
        return SDeviceTemplate();
    }
    if (document.isEmpty()) {
        CLogFile::addLog(QStringLiteral("File [%1] is not contans JSON document").arg(_fileName));
        return SDeviceTemplate();
    }
    return SDeviceTemplate(document.object());
}
