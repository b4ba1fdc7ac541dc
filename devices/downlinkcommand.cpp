#include "devices/downlinkcommand.h"

#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "app/constants.h"
#include "devices/devicetemplate.h"
#include "devices/templatekeys.h"
#include "server/apitypes.h"

namespace {

const qint64 REGISTER_SPACE = 65536;
// LoRaWAN application ports; 0 carries MAC commands and 224 up are reserved.
const qint64 FIRST_F_PORT = 1;
const qint64 LAST_F_PORT = 223;

class CReader
{
public:
    CReader(const QJsonObject &_json, const QString &_where, QList<SCommandProblem> &_problems)
        : json(_json)
        , where(_where)
        , problems(_problems)
    { }

    void problem(const QString &_key, const QString &_text)
    {
        problems.append({ _key, where + QStringLiteral(": ") + _text });
    }

    // A whole number in [_min, _max]; a missing one is a problem only when required.
    qint32 number(const QString &_key, qint64 _min, qint64 _max, bool _required = true)
    {
        const QJsonValue value = json.value(_key);
        if (value.isUndefined()) {
            if (_required)
                problem(_key, QStringLiteral("missing"));
            return 0;
        }
        const double number = value.toDouble();
        if (!value.isDouble() || std::floor(number) != number || number < double(_min) || number > double(_max)) {
            problem(_key, QStringLiteral("[%1] is not a whole number of %2-%3").arg(text(value)).arg(_min).arg(_max));
            return 0;
        }
        return qint32(number);
    }

    // Pairs of hex digits; empty is allowed only where _required is false.
    QByteArray hex(const QString &_key, bool _required)
    {
        const QJsonValue value = json.value(_key);
        if (value.isUndefined() && !_required)
            return QByteArray();
        if (!value.isString() || !API::isHexBytes(value.toString()) || (_required && value.toString().isEmpty())) {
            problem(_key, QStringLiteral("[%1] is not pairs of hex digits").arg(text(value)));
            return QByteArray();
        }
        return QByteArray::fromHex(value.toString().toLatin1());
    }

    QString oneOf(const QString &_key, const QStringList &_allowed, const QString &_default)
    {
        const QJsonValue value = json.value(_key);
        if (value.isUndefined() && !_default.isEmpty())
            return _default;
        if (!value.isString() || !_allowed.contains(value.toString())) {
            problem(_key, QStringLiteral("[%1] is none of %2").arg(text(value), _allowed.join(QStringLiteral(", "))));
            return QString();
        }
        return value.toString();
    }

    static QString text(const QJsonValue &_value)
    {
        if (_value.isString())
            return _value.toString();
        if (_value.isDouble())
            return QString::number(_value.toDouble(), 'g', 17);
        if (_value.isBool())
            return _value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        return _value.isUndefined() ? QString() : QStringLiteral("not a value");
    }

    const QJsonObject &json;

private:
    QString where;
    QList<SCommandProblem> &problems;
};

// The value's data_bit_size low bits, in the command's byte order.
QByteArray valueBytes(quint64 _bits, int _bitSize, bool _bigEndian)
{
    QByteArray bytes;
    const int count = _bitSize / 8;
    for (int i = 0; i < count; ++i) {
        const int shift = _bigEndian ? 8 * (count - 1 - i) : 8 * i;
        bytes.append(char((_bits >> shift) & 0xff));
    }
    return bytes;
}

} // namespace

SDownlinkCommand readDownlinkCommand(const QJsonValue &_json, int _index, QList<SCommandProblem> &_problems)
{
    SDownlinkCommand command;
    const QJsonObject json = _json.toObject();
    CReader read(json, QStringLiteral("downlink [%1]").arg(_index), _problems);
    if (!_json.isObject()) {
        read.problem(TEMPLATE_KEY_DOWNLINKS, QStringLiteral("not an object"));
        return command;
    }
    const QJsonValue name = json.value(TEMPLATE_KEY_DATA_NAME);
    if (!name.isString() || name.toString().isEmpty())
        read.problem(TEMPLATE_KEY_DATA_NAME, QStringLiteral("a command needs a name"));
    command.dataName = name.toString();
    const QJsonValue encode = json.value(COMMAND_KEY_ENCODE);
    if (!encode.isUndefined() && (!encode.isString() || encode.toString().isEmpty()))
        read.problem(COMMAND_KEY_ENCODE, QStringLiteral("[%1] names no value for the encoder").arg(CReader::text(encode)));
    command.encode = encode.toString();
    const bool encoded = !encode.isUndefined();
    // The encoder may choose the port itself.
    command.fPort = read.number(COMMAND_KEY_F_PORT, FIRST_F_PORT, LAST_F_PORT, !encoded);
    if (encoded) {
        for (const QString &key : { COMMAND_KEY_PREFIX, COMMAND_KEY_ON, COMMAND_KEY_OFF }) {
            if (json.contains(key))
                read.problem(key, QStringLiteral("the encoder makes the payload of a command with encode"));
        }
    }
    command.prefix = read.hex(COMMAND_KEY_PREFIX, false);
    const QJsonValue confirmed = json.value(COMMAND_KEY_CONFIRMED);
    if (!confirmed.isUndefined() && !confirmed.isBool())
        read.problem(
            COMMAND_KEY_CONFIRMED, QStringLiteral("[%1] is neither true nor false").arg(CReader::text(confirmed)));
    command.confirmed = confirmed.toBool(false);

    command.isCoil = json.contains(COMMAND_KEY_COIL);
    int valueBytesCount = 0;
    if (command.isCoil) {
        for (const QString &key : { TEMPLATE_KEY_REG_MAP_BIAS, TEMPLATE_KEY_REG_BIT_SIZE, TEMPLATE_KEY_DATA_TYPE,
                 TEMPLATE_KEY_DATA_BIT_SIZE, TEMPLATE_KEY_BYTE_ORDER }) {
            if (json.contains(key))
                read.problem(key, QStringLiteral("a coil command has no register keys"));
        }
        command.coil = read.number(COMMAND_KEY_COIL, 0, REGISTER_SPACE - 1);
        if (!encoded) {
            command.onBytes = read.hex(COMMAND_KEY_ON, true);
            command.offBytes = read.hex(COMMAND_KEY_OFF, true);
        }
        valueBytesCount = std::max(command.onBytes.size(), command.offBytes.size());
    } else {
        command.regMapBias = read.number(TEMPLATE_KEY_REG_MAP_BIAS, 0, REGISTER_SPACE - 1);
        command.regBitSize = read.number(TEMPLATE_KEY_REG_BIT_SIZE, 16, 32);
        if (command.regBitSize != 0 && command.regBitSize != 16 && command.regBitSize != 32)
            read.problem(
                TEMPLATE_KEY_REG_BIT_SIZE, QStringLiteral("[%1] is neither 16 nor 32").arg(command.regBitSize));
        else if (command.regMapBias + command.registerCount() > REGISTER_SPACE)
            read.problem(TEMPLATE_KEY_REG_BIT_SIZE,
                QStringLiteral("[%1] bits from register [%2] do not fit registers 0-65535")
                    .arg(command.regBitSize)
                    .arg(command.regMapBias));
        command.dataType
            = read.oneOf(TEMPLATE_KEY_DATA_TYPE, { DATA_TYPE_INTEGER, DATA_TYPE_UINTEGER, DATA_TYPE_FLOAT }, QString());
        command.dataBitSize = read.number(TEMPLATE_KEY_DATA_BIT_SIZE, 8, 32);
        if (command.dataBitSize != 0 && command.dataBitSize != 8 && command.dataBitSize != 16
            && command.dataBitSize != 32)
            read.problem(
                TEMPLATE_KEY_DATA_BIT_SIZE, QStringLiteral("[%1] is none of 8, 16, 32").arg(command.dataBitSize));
        else if (command.dataType == DATA_TYPE_FLOAT && command.dataBitSize != 32)
            read.problem(
                TEMPLATE_KEY_DATA_BIT_SIZE, QStringLiteral("a float is 32 bits, not [%1]").arg(command.dataBitSize));
        else if (command.regBitSize != 0 && command.dataBitSize > command.regBitSize)
            read.problem(TEMPLATE_KEY_DATA_BIT_SIZE,
                QStringLiteral("[%1] bits do not fit reg_bit_size [%2]")
                    .arg(command.dataBitSize)
                    .arg(command.regBitSize));
        if (command.dataType == DATA_TYPE_FLOAT && command.regBitSize != 0 && command.regBitSize != 32)
            read.problem(
                TEMPLATE_KEY_REG_BIT_SIZE, QStringLiteral("a float takes 32 bits, not [%1]").arg(command.regBitSize));
        command.byteOrder
            = read.oneOf(TEMPLATE_KEY_BYTE_ORDER, { BYTE_ORDER_LITTLE, BYTE_ORDER_BIG }, BYTE_ORDER_LITTLE);
        valueBytesCount = command.dataBitSize / 8;
    }
    if (command.prefix.size() + valueBytesCount > MAX_DOWNLINK_PAYLOAD)
        read.problem(COMMAND_KEY_PREFIX,
            QStringLiteral("a payload of %1 bytes is longer than %2")
                .arg(command.prefix.size() + valueBytesCount)
                .arg(MAX_DOWNLINK_PAYLOAD));
    return command;
}

namespace {

// The written words, in the device's word order, as the command's value: its bits, its text and its number.
SCommandValue readCommandValue(const SDownlinkCommand &_command, const QVector<uint16_t> &_words,
    EWordOrder _wordOrder, quint64 *_raw, double *_number)
{
    SCommandValue result;
    if (_words.size() != _command.registerCount())
        return result;
    quint64 raw = 0;
    for (int i = 0; i < _words.size(); ++i)
        raw = (raw << 16) | _words.at(_wordOrder == EWordOrder::Little ? _words.size() - 1 - i : i);
    const int regBits = 16 * _words.size();
    if (_command.dataType == DATA_TYPE_FLOAT) {
        const quint32 pattern = quint32(raw);
        float number = 0;
        std::memcpy(&number, &pattern, sizeof number);
        if (!std::isfinite(number))
            return result;
        result.valueText = QString::number(double(number), 'g', 9);
        *_number = double(number);
    } else if (_command.dataType == DATA_TYPE_INTEGER) {
        // The registers hold a two's complement number of their own width.
        const qint64 value = qint64(raw << (64 - regBits)) >> (64 - regBits);
        const qint64 limit = qint64(1) << (_command.dataBitSize - 1);
        if (value < -limit || value >= limit)
            return result;
        result.valueText = QString::number(value);
        *_number = double(value);
    } else {
        if (_command.dataBitSize < 64 && raw >= (quint64(1) << _command.dataBitSize))
            return result;
        result.valueText = QString::number(raw);
        *_number = double(raw);
    }
    result.fits = true;
    *_raw = raw;
    return result;
}

} // namespace

SCommandValue encodeRegisterWrite(const SDownlinkCommand &_command, const QVector<uint16_t> &_words,
                                  EWordOrder _wordOrder)
{
    quint64 raw = 0;
    double number = 0;
    SCommandValue result = readCommandValue(_command, _words, _wordOrder, &raw, &number);
    if (result.fits)
        result.payload = _command.prefix + valueBytes(raw, _command.dataBitSize, _command.byteOrder == BYTE_ORDER_BIG);
    return result;
}

SCommandValue commandNumber(
    const SDownlinkCommand &_command, const QVector<uint16_t> &_words, EWordOrder _wordOrder, double *_number)
{
    quint64 raw = 0;
    return readCommandValue(_command, _words, _wordOrder, &raw, _number);
}

QByteArray coilPayload(const SDownlinkCommand &_command, bool _on)
{
    return _command.prefix + (_on ? _command.onBytes : _command.offBytes);
}
