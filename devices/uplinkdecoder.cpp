#include "devices/uplinkdecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include <QJsonDocument>

#include "app/constants.h"
#include "app/globaltables.h"
#include "store/registerword.h"

namespace {

const QString WARNING_PREFIX = QStringLiteral("WARNING: [CAllDeviceHandler::processDataSlot] ");

// The text of one value, cut into its 16-bit registers (an empty part writes nothing),
// and the whole text carried by the first register.
struct SValueText
{
    QStringList parts;
    QString full;
};

// Lower-case hex digits, zero-padded to _digits. QString::arg costs ten times as much,
// and every register of every uplink is written through here.
QString hexText(quint64 _value, int _digits)
{
    static const char DIGITS[] = "0123456789abcdef";
    int length = 1;
    for (quint64 rest = _value >> 4; rest != 0; rest >>= 4)
        ++length;
    QString text(std::max(length, _digits), QLatin1Char('0'));
    QChar *digit = text.data() + text.size();
    for (; _value != 0; _value >>= 4)
        *--digit = QLatin1Char(DIGITS[_value & 0xf]);
    return text;
}

// Up to four characters from position _at; empty where the text is shorter.
QString chunk(const QString &_text, int _at)
{
    return _text.mid(_at, 4);
}

// The text in registers of four characters each, the whole text on the first.
SValueText splitText(const QString &_text, int _registers)
{
    SValueText value;
    value.parts.reserve(_registers);
    for (int k = 0; k < _registers; ++k)
        value.parts << chunk(_text, 4 * k);
    value.full = _text;
    return value;
}

// A value wider than its place in the register map keeps only its own registers, so it
// never overwrites the next value: numbers keep their least significant registers, texts
// their beginning. The full value is then what the kept registers hold.
SValueText fitted(SValueText _value, qint32 _regBitSize, bool _keepLow)
{
    const int count = registersOfBits(_regBitSize);
    if (_value.parts.size() <= count)
        return _value;
    _value.parts = _keepLow ? _value.parts.mid(_value.parts.size() - count) : _value.parts.mid(0, count);
    _value.full = _value.parts.join(QString());
    return _value;
}

// A number's registers in the device's word order; its full value stays the number's text.
SValueText inWordOrder(SValueText _value, EWordOrder _order)
{
    if (_order == EWordOrder::Little)
        std::reverse(_value.parts.begin(), _value.parts.end());
    return _value;
}

// Adds the registers of one value from offset _base on. A value whose last register
// offset does not fit 32 bits cannot be addressed at all and is skipped with a log line.
void addRegisters(SDecodedUplink &_result, const SValueText &_value, qint32 _base, const QString &_name)
{
    if (qint64(_base) + _value.parts.size() - 1 > std::numeric_limits<qint32>::max()) {
        _result.logLines << WARNING_PREFIX
                + QStringLiteral("Value [%1] lies outside the register map: offset [%2]").arg(_name).arg(_base);
        return;
    }
    for (int k = 0; k < _value.parts.size(); ++k) {
        if (!_value.parts.at(k).isEmpty())
            _result.data.registers.append(
                SRegisterValue { _value.parts.at(k), k == 0 ? _value.full : QString(), _base + k,
                                 registerWord(_value.parts.at(k)) });
    }
}

// The number a value's registers hold, from their hex digits: a float32's single, or an
// integer of the digits' width, sign-extended when signed.
double heldNumber(const QString &_hex, bool _signed, bool _float)
{
    quint64 bits = 0;
    for (const QChar c : _hex) {
        const ushort u = c.unicode();
        bits = (bits << 4) | quint64(u <= '9' ? u - '0' : (u | 0x20) - 'a' + 10);
    }
    const int width = _hex.size() * 4;
    if (_float && width == 32) {
        const quint32 pattern = quint32(bits);
        float single = 0;
        std::memcpy(&single, &pattern, sizeof single);
        return double(single);
    }
    if (_signed && width > 0 && width < 64 && ((bits >> (width - 1)) & 1))
        bits |= ~quint64(0) << width;
    return _signed ? double(qint64(bits)) : double(bits);
}

// A value that is not a number (a float32's NaN) has no place on a trend.
void addHistoryValue(SDecodedUplink &_result, const QString &_name, double _value, const QString &_unit)
{
    if (!std::isfinite(_value))
        return;
    _result.data.values.append(SHistoryValue { _name, _value, _unit });
}

// Rounds to nearest with halves towards positive infinity; out-of-range values saturate.
qint32 roundedSnr(double _snr)
{
    if (std::isnan(_snr))
        return 0;
    const double rounded = std::floor(_snr + 0.5);
    if (rounded >= double(std::numeric_limits<qint32>::max()))
        return std::numeric_limits<qint32>::max();
    if (rounded <= double(std::numeric_limits<qint32>::min()))
        return std::numeric_limits<qint32>::min();
    return qint32(rounded);
}

// The gateway's or device's identifier: the low part of it that fits the width.
SValueText identifierText(const QString &_text, qint32 _width)
{
    const int registers = _width > 48 ? 4 : _width > 32 ? 3 : _width > 16 ? 2 : 1;
    SValueText value;
    for (int k = 4 - registers; k < 4; ++k)
        value.parts << chunk(_text, 4 * k);
    value.full = registers == 4 ? _text : _text.mid(4 * (4 - registers), 4 * registers);
    return value;
}

// A count held to the register's width: one register up to 16 bits, two beyond.
SValueText countText(quint64 _count, qint32 _width, EWordOrder _wordOrder)
{
    if (_width <= 16)
        return splitText(hexText(std::min<quint64>(_count, 0xFFFFu), 4), 1);
    return inWordOrder(splitText(hexText(std::min<quint64>(_count, 0xFFFFFFFFu), 8), 2), _wordOrder);
}

bool isCounter(const QString &_keyword)
{
    return _keyword == SERVER_KEYWORD_UPLINKS || _keyword == SERVER_KEYWORD_LOST || _keyword == SERVER_KEYWORD_ERRORS;
}

SValueText serverValueText(const QString &_keyword, const API::SApiDeviceData &_uplink, qint32 _width,
    EWordOrder _wordOrder, const SDeviceCounters &_counters)
{
    // The age is 0 at reception; a Modbus read computes it afresh.
    if (_keyword == SERVER_KEYWORD_AGE)
        return countText(0, _width, _wordOrder);
    if (_keyword == SERVER_KEYWORD_UPLINKS)
        return countText(_counters.uplinks, _width, _wordOrder);
    if (_keyword == SERVER_KEYWORD_LOST)
        return countText(_counters.lost, _width, _wordOrder);
    if (_keyword == SERVER_KEYWORD_ERRORS)
        return countText(_counters.errors, _width, _wordOrder);
    if (_keyword == SERVER_KEYWORD_TS) {
        // Two registers hold 32 bits: later seconds wrap rather than lose their middle digits.
        return inWordOrder(fitted(splitText(hexText(quint32(_uplink.ts / 1000), 8), 2), _width, true), _wordOrder);
    }
    if (_keyword == SERVER_KEYWORD_RSSI)
        return splitText(hexText(quint16(_uplink.rssi), 4), 1);
    if (_keyword == SERVER_KEYWORD_SNR)
        return inWordOrder(
            fitted(splitText(hexText(quint32(roundedSnr(_uplink.snr)), 8), 2), _width, true), _wordOrder);
    if (_keyword == SERVER_KEYWORD_FCNT)
        return inWordOrder(fitted(splitText(hexText(_uplink.fcnt, 8), 2), _width, true), _wordOrder);
    if (_keyword == SERVER_KEYWORD_GATEWAY_ID)
        return identifierText(_uplink.gatewayId, _width);
    return identifierText(_uplink.devEui, _width);
}

// The bytes as a 64-bit pattern, sign-extended for signed fields.
quint64 readNumber(const char *_bytes, int _size, bool _bigEndian, bool _signed)
{
    quint64 value = 0;
    for (int i = 0; i < _size; ++i)
        value = (value << 8) | uchar(_bytes[_bigEndian ? i : _size - 1 - i]);
    if (_signed && _size < 8 && (value >> (8 * _size - 1)) & 1)
        value |= ~quint64(0) << (8 * _size);
    return value;
}

// A multiplier or added value of an integer register: a whole number, held to 64 bits.
qint64 wholeNumber(double _value)
{
    if (std::isnan(_value))
        return 0;
    if (_value >= 9.2e18)
        return std::numeric_limits<qint64>::max();
    if (_value <= -9.2e18)
        return std::numeric_limits<qint64>::min();
    return qint64(std::llround(_value));
}

// r * multiplier + added value, wrapping in 32 bits (64 for 8-byte fields), as register text.
QString scaledText(quint64 _raw, int _size, const SRegisterParam &_param)
{
    const quint64 multiplier = quint64(wholeNumber(_param.gratingPeriod));
    const quint64 added = quint64(wholeNumber(_param.startValue));
    if (_size == 8) {
        const quint64 v = _raw * multiplier + added;
        return hexText(v, 16);
    }
    const quint32 v = quint32(_raw) * quint32(multiplier) + quint32(added);
    return _size == 4 ? hexText(v, 8) : hexText(v & 0xffffu, 4);
}

// A double as the nearest single; past the single's range it is infinite rather than undefined.
float toSingle(double _value)
{
    if (_value > double(std::numeric_limits<float>::max()))
        return std::numeric_limits<float>::infinity();
    if (_value < -double(std::numeric_limits<float>::max()))
        return -std::numeric_limits<float>::infinity();
    return float(_value);
}

// r * multiplier + added value, exact, then held to [_lowest, _highest].
qint64 clampedScaled(quint64 _bits, bool _signed, const SRegisterParam &_param, qint64 _lowest, qint64 _highest)
{
    const qint64 multiplier = wholeNumber(_param.gratingPeriod);
    const qint64 added = wholeNumber(_param.startValue);
    if (!_signed && _bits > quint64(std::numeric_limits<qint64>::max())) {
        // Past 2^63 the product is far outside every register format, on the multiplier's side.
        if (multiplier == 0)
            return qBound(_lowest, added, _highest);
        return multiplier > 0 ? _highest : _lowest;
    }
    const qint64 raw = qint64(_bits);
    qint64 product = 0;
    if (__builtin_mul_overflow(raw, multiplier, &product))
        return (raw < 0) != (multiplier < 0) ? _lowest : _highest;
    qint64 sum = 0;
    if (__builtin_add_overflow(product, added, &sum))
        return added < 0 ? _lowest : _highest;
    return qBound(_lowest, sum, _highest);
}

// The lowest and highest value of an integer register format, and whether it takes two registers.
struct SFormatRange
{
    qint64 lowest = 0;
    qint64 highest = 0;
    bool wide = false;
};

SFormatRange formatRange(const QString &_format)
{
    SFormatRange range;
    range.wide = _format == REG_FORMAT_INT32 || _format == REG_FORMAT_UINT32;
    const bool signedFormat = _format == REG_FORMAT_INT16 || _format == REG_FORMAT_INT32;
    range.lowest = !signedFormat ? 0 : range.wide ? std::numeric_limits<qint32>::min() : std::numeric_limits<qint16>::min();
    range.highest = range.wide ? (signedFormat ? std::numeric_limits<qint32>::max() : std::numeric_limits<quint32>::max())
                               : (signedFormat ? std::numeric_limits<qint16>::max() : std::numeric_limits<quint16>::max());
    return range;
}

// A scaled number in a register format: a float32's nearest single, an integer format's
// nearest whole number held to its range. Empty for an integer format and a value that is
// not a number.
QString doubleInFormat(double _scaled, const QString &_format)
{
    if (_format == REG_FORMAT_FLOAT32) {
        const float single = toSingle(_scaled);
        quint32 pattern = 0;
        std::memcpy(&pattern, &single, sizeof pattern);
        return hexText(pattern, 8);
    }
    if (std::isnan(_scaled))
        return QString();
    const SFormatRange range = formatRange(_format);
    const qint64 value = qint64(std::round(qBound(double(range.lowest), _scaled, double(range.highest))));
    return range.wide ? hexText(quint32(value), 8) : hexText(quint16(value), 4);
}

// The scaled value in a register format, as 4 hexadecimal digits for the 16-bit formats and
// 8 for the 32-bit ones. Integer formats hold values beyond their range at its nearest end;
// empty, with _problem set, for a float that is not a number.
QString formattedText(const SDevicePacketField &_field, const SFieldValue &_raw, const QString &_format,
    const SRegisterParam &_param, QString &_problem)
{
    const bool isFloat = _field.dataType == DATA_TYPE_FLOAT;
    const bool isSigned = _field.dataType == DATA_TYPE_INTEGER;
    if (_format == REG_FORMAT_FLOAT32) {
        const double raw = isFloat ? double(_raw.number) : isSigned ? double(qint64(_raw.bits)) : double(_raw.bits);
        return doubleInFormat(raw * _param.gratingPeriod + _param.startValue, _format);
    }
    if (isFloat) {
        const QString text = doubleInFormat(double(_raw.number) * _param.gratingPeriod + _param.startValue, _format);
        if (text.isEmpty())
            _problem = WARNING_PREFIX + QStringLiteral("Value [%1] is not a number").arg(_field.dataName);
        return text;
    }
    const SFormatRange range = formatRange(_format);
    const qint64 value = clampedScaled(_raw.bits, isSigned, _param, range.lowest, range.highest);
    return range.wide ? hexText(quint32(value), 8) : hexText(quint16(value), 4);
}

// Adds one payload field's registers, or a log line when the field is skipped.
void decodeField(const SDevicePacketField &_field, const QByteArray &_payload,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling, SDecodedUplink &_result)
{
    const SFieldValue raw = readFieldValue(_field, _payload);
    if (!raw.problem.isEmpty()) {
        _result.logLines << raw.problem;
        return;
    }
    const int size = _field.dataBitSize / 8;
    if (_field.dataType == DATA_TYPE_TEXT) {
        // One register per two bytes; a text keeps its start.
        addRegisters(_result, fitted(splitText(raw.text, qMax(1, size / 2)), _field.regBitSize, false),
            _field.regMapBias, _field.dataName);
        return;
    }
    const SRegisterParam param = _scaling.at(qint64(_device.startAddr) + _field.regMapBias);
    QString text;
    if (_field.regFormat.isEmpty() && _field.dataType != DATA_TYPE_FLOAT) {
        text = scaledText(raw.bits, size, param);
    } else {
        // A float without a register format keeps being a float.
        QString problem;
        text = formattedText(_field, raw, _field.regFormat.isEmpty() ? REG_FORMAT_FLOAT32 : _field.regFormat, param,
            problem);
        if (text.isEmpty()) {
            _result.logLines << problem;
            return;
        }
    }
    // Numbers keep their least significant registers.
    const SValueText value = fitted(splitText(text, text.size() / 4), _field.regBitSize, true);
    const QString &format = _field.regFormat;
    const bool isFloat = format == REG_FORMAT_FLOAT32 || (format.isEmpty() && _field.dataType == DATA_TYPE_FLOAT);
    const bool isSigned = format == REG_FORMAT_INT16 || format == REG_FORMAT_INT32
        || (format.isEmpty() && _field.dataType == DATA_TYPE_INTEGER);
    addHistoryValue(_result, _field.dataName, heldNumber(value.full, isSigned, isFloat), param.unit);
    addRegisters(_result, inWordOrder(value, _device.wordOrder), _field.regMapBias, _field.dataName);
}

// The template's server values; a rejected uplink stores nothing but the counters.
void addServerValues(SDecodedUplink &_result, const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, bool _rejected)
{
    for (const SServerData &server : _template.serverData) {
        // Kept by the downlinks, not by uplinks.
        if (server.keyword == SERVER_KEYWORD_DOWNLINK)
            continue;
        if (!serverKeywordTable.contains(server.keyword)) {
            _result.logLines << WARNING_PREFIX + QStringLiteral("Uncknown DataCode [%1]!").arg(server.keyword);
            continue;
        }
        if (_rejected && !isCounter(server.keyword))
            continue;
        addRegisters(_result,
            serverValueText(server.keyword, _uplink, server.regBitSize, _device.wordOrder, _result.counters),
            server.regMapBias, server.dataName);
    }
}

// Adds the registers of one decoded value; a value the path does not find leaves its
// registers as they were.
void decodeObjectField(const SDecodedField &_field, const QJsonObject &_data,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling, SDecodedUplink &_result)
{
    const QJsonValue value = valueAtPath(_data, _field.path);
    if (value.isUndefined() || value.isNull())
        return;
    const int registers = int(registersOfBits(_field.regBitSize));
    if (_field.regFormat == DATA_TYPE_TEXT) {
        QString text;
        if (value.isString())
            text = value.toString();
        else if (value.isDouble())
            text = QString::number(value.toDouble(), 'g', 15);
        else if (value.isBool())
            text = value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
        else
            text = QString::fromUtf8(QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact));
        addRegisters(_result, fitted(splitText(text, registers), _field.regBitSize, false), _field.regMapBias,
            _field.dataName);
        return;
    }
    double number = 0;
    if (value.isBool()) {
        number = value.toBool() ? 1 : 0;
    } else if (value.isDouble()) {
        number = value.toDouble();
    } else if (value.isString() && _field.map.contains(value.toString())) {
        number = _field.map.value(value.toString());
    } else {
        _result.logLines << WARNING_PREFIX
                + QStringLiteral("Value [%1] at [%2] is %3, not a number of its map")
                      .arg(_field.dataName, _field.pathText,
                          value.isString() ? QStringLiteral("[%1]").arg(value.toString().left(64))
                                           : QStringLiteral("a list or an object"));
        return;
    }
    QString text;
    const SRegisterParam param = _scaling.at(qint64(_device.startAddr) + _field.regMapBias);
    if (_field.regFormat == REG_FORMAT_BOOL) {
        text = hexText(number != 0 ? 1 : 0, 4);
    } else {
        text = doubleInFormat(number * param.gratingPeriod + param.startValue, _field.regFormat);
        if (text.isEmpty()) {
            _result.logLines << WARNING_PREFIX + QStringLiteral("Value [%1] is not a number").arg(_field.dataName);
            return;
        }
    }
    addHistoryValue(_result, _field.dataName,
        heldNumber(text, _field.regFormat == REG_FORMAT_INT16 || _field.regFormat == REG_FORMAT_INT32,
            _field.regFormat == REG_FORMAT_FLOAT32),
        param.unit);
    addRegisters(_result, inWordOrder(splitText(text, registers), _device.wordOrder), _field.regMapBias, _field.dataName);
}

} // namespace

SFieldValue readFieldValue(const SDevicePacketField &_field, const QByteArray &_payload)
{
    SFieldValue value;
    if (_field.dataBitBias % 8 != 0 || _field.dataBitSize % 8 != 0) {
        value.problem = QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Unsupport functional");
        return value;
    }
    const int size = _field.dataBitSize / 8;
    if (size != 1 && size != 2 && size != 4 && size != 8) {
        value.problem = WARNING_PREFIX + QStringLiteral("Unsupport size of data [%1]").arg(size);
        return value;
    }
    const bool isInteger = _field.dataType == DATA_TYPE_INTEGER || _field.dataType == DATA_TYPE_UINTEGER;
    const bool isFloat = _field.dataType == DATA_TYPE_FLOAT && size == 4;
    if (!isInteger && !isFloat && _field.dataType != DATA_TYPE_TEXT) {
        value.problem = WARNING_PREFIX
            + QStringLiteral("Unsupport data type [%1], size [%2]").arg(_field.dataType).arg(size);
        return value;
    }
    if (_field.packetBias < 0 || qint64(_field.packetBias) + size > _payload.size()) {
        value.problem = WARNING_PREFIX
            + QStringLiteral("Field [%1] lies outside the packet: bytes [%2..%3], packet size [%4]")
                  .arg(_field.dataName)
                  .arg(_field.packetBias)
                  .arg(qint64(_field.packetBias) + size - 1)
                  .arg(_payload.size());
        return value;
    }
    const char *bytes = _payload.constData() + _field.packetBias;
    const bool bigEndian = _field.byteOrder == BYTE_ORDER_BIG;
    if (isInteger) {
        value.bits = readNumber(bytes, size, bigEndian, _field.dataType == DATA_TYPE_INTEGER);
    } else if (isFloat) {
        const quint32 pattern = quint32(readNumber(bytes, size, bigEndian, false));
        std::memcpy(&value.number, &pattern, sizeof pattern);
    } else {
        const QByteArray raw(bytes, size);
        const int end = raw.indexOf('\0');
        value.text = QString::fromUtf8(end < 0 ? raw : raw.left(end));
    }
    return value;
}

SDeviceCounters nextCounters(const SDeviceCounters &_previous, quint32 _fcnt, bool _decoded, qint64 _nowMs)
{
    SDeviceCounters counters = _previous;
    ++counters.uplinks;
    // Only a step forward by more than one is a loss; a step back is the device starting over.
    if (_previous.hasFcnt && _fcnt > _previous.lastFcnt)
        counters.lost += _fcnt - _previous.lastFcnt - 1;
    counters.hasFcnt = true;
    counters.lastFcnt = _fcnt;
    if (_decoded)
        counters.lastUplinkMs = _nowMs;
    else
        ++counters.errors;
    return counters;
}

SDecodedUplink decodeUplink(const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling,
    const SDeviceCounters &_previous, qint64 _nowMs)
{
    SDecodedUplink result;
    result.data.devEui = _uplink.devEui;
    result.data.startAddr = _device.startAddr;
    result.data.receivedMs = _nowMs;
    // One allocation for the values: a register of the map each, about.
    result.data.registers.reserve(_device.registers.size());

    // Whether the payload is one of the template's packets decides what the counters and the
    // server values become; its log line follows the server values' own.
    QString rejection;
    const QByteArray &payload = _uplink.data;
    const qint32 type = payload.isEmpty() ? 0 : qint32(qint8(payload.at(0)));
    const auto packet = _template.packets.constFind(packetTypeKey(type));
    if (payload.isEmpty())
        rejection = QStringLiteral("Empty payload from device [%1]").arg(_uplink.devEui);
    else if (packet == _template.packets.constEnd())
        rejection = QStringLiteral("Uncknown packet type [%1]").arg(type, 2, 10, QLatin1Char('0'));
    else if (payload.size() != packet->packetSize)
        rejection = QStringLiteral("Invalid size of packet [%1]. Expect [%2], real [%3]")
                        .arg(type, 2, 10, QLatin1Char('0'))
                        .arg(packet->packetSize)
                        .arg(payload.size());
    result.counters = nextCounters(_previous, _uplink.fcnt, rejection.isEmpty(), _nowMs);

    addServerValues(result, _uplink, _template, _device, !rejection.isEmpty());
    if (!rejection.isEmpty()) {
        result.logLines << WARNING_PREFIX + rejection;
        return result;
    }

    result.data.values.reserve(packet->fields.size());
    for (const SDevicePacketField &field : packet->fields)
        decodeField(field, payload, _device, _scaling, result);
    result.accepted = true;
    return result;
}

SDecodedUplink decodeObjectUplink(const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device, const CRegisterScaling &_scaling, const SCodecResult &_decoded,
    const SDeviceCounters &_previous, qint64 _nowMs)
{
    SDecodedUplink result;
    result.data.devEui = _uplink.devEui;
    result.data.startAddr = _device.startAddr;
    result.data.receivedMs = _nowMs;
    result.data.registers.reserve(_device.registers.size());
    result.counters = nextCounters(_previous, _uplink.fcnt, _decoded.ok(), _nowMs);
    addServerValues(result, _uplink, _template, _device, !_decoded.ok());
    if (!_decoded.ok()) {
        result.refusal = _decoded.error;
        return result;
    }
    result.data.values.reserve(_template.decodedFields.size());
    for (const SDecodedField &field : _template.decodedFields)
        decodeObjectField(field, _decoded.data, _device, _scaling, result);
    result.accepted = true;
    return result;
}

QList<STryField> tryDecodedFields(const SDeviceTemplate &_template, const QJsonObject &_data)
{
    QList<STryField> fields;
    API::SApiDeviceData uplink;
    DB::SDeviceRegMapDescription device;
    for (const SDecodedField &field : _template.decodedFields) {
        SDeviceTemplate one;
        one.decodedFields = { field };
        SCodecResult decoded;
        decoded.data = _data;
        const SDecodedUplink result = decodeObjectUplink(uplink, one, device,
            CRegisterScaling({ SRegisterScale { field.regMapBias, field.addedValue, field.multiplier } }), decoded);
        STryField tried;
        const QString name = QStringLiteral("%1 [%2]").arg(field.pathText, field.dataName);
        if (!result.logLines.isEmpty()) {
            tried.line = name + QStringLiteral(": ") + result.logLines.join(QStringLiteral("; "));
        } else if (result.data.registers.isEmpty()) {
            tried.line = name + QStringLiteral(": not in the decoded object, its registers keep their values");
        } else {
            QStringList words;
            for (const SRegisterValue &reg : result.data.registers) {
                tried.words.append(reg.word);
                words << QStringLiteral("0x%1").arg(reg.word, 4, 16, QLatin1Char('0'));
            }
            const QJsonValue value = valueAtPath(_data, field.path);
            const QString valueText = value.isString() ? value.toString()
                : value.isBool()                       ? (value.toBool() ? QStringLiteral("true") : QStringLiteral("false"))
                                                       : QString::number(value.toDouble(), 'g', 15);
            tried.line = QStringLiteral("%1 = %2 -> register %3 (%4): %5")
                             .arg(name, valueText)
                             .arg(field.regMapBias)
                             .arg(field.regFormat, words.join(QLatin1Char(' ')));
        }
        fields.append(tried);
    }
    return fields;
}
