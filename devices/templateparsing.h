#pragma once

// The pieces the template reader is built from, shared by its files: the record parsers
// (devicetemplate.cpp), the checks of payload templates (templatechecks.cpp), the decoder,
// decoded-field and downlink readers (templatedecoder.cpp), and the file loaders
// (templatefiles.cpp). Not for use outside devices/.

#include <QDebug>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

#include <cmath>
#include <limits>

#include "app/constants.h"
#include "devices/devicetemplate.h"
#include "devices/templatekeys.h"

namespace TemplateParsing {

inline void debugLine(const QString &_text)
{
    qDebug().noquote() << _text;
}

// Whole JSON numbers that fit 32 bits; anything else (text, fraction, bool) reads 0.
inline qint32 readInt(const QJsonValue &_value)
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
inline bool acceptInput(const QJsonObject &_json, const QStringList &_keys, const QString &_origin, bool _reportEmpty = true)
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
inline constexpr qint64 REGISTER_SPACE = 65536;
inline constexpr qint64 REGISTER_BITS = 16;
// A LoRa frame carries at most 255 bytes, so no payload is longer.
inline constexpr qint64 MAX_PACKET_SIZE = 255;
// Examples are decoded as if received at this time, so a codec reading recvTime agrees each run.
inline constexpr qint64 EXAMPLE_RECEIVED_MS = 1700000000000;

inline void addProblem(QList<STemplateProblem> &_problems, const QString &_key, const QString &_where, const QString &_text)
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

// A JSON value as the operator wrote it, for messages.
QString expectedText(const QJsonValue &_expected);
// Registers a value of that register format takes.
int formatRegisters(const QString &_format);
// A payload template's packet: its fields' formats and where their bytes lie.
void checkPacket(const SDevicePacket &_packet, QList<STemplateProblem> &_problems);
// Each example's payload decodes, by packet type and size as an uplink would, to the
// values it expects.
void checkExamples(const QJsonValue &_examples, const QMap<quint32, SDevicePacket> &_packets,
    QList<STemplateProblem> &_problems);
// The "decoder" object: a codec file inside the template folder, or the network server's object.
void readDecoder(const QJsonValue &_json, SDecoder &_decoder, QList<STemplateProblem> &_problems);
SDecodedField readDecodedField(const QJsonValue &_json, int _index, QList<STemplateProblem> &_problems);
// The "downlinks" list: each command valid on its own, and its registers (or coil) taken
// by nothing else of the template.
void readDownlinks(const QJsonValue &_list, const SDeviceTemplate &_template, QList<SDownlinkCommand> &_commands,
    QList<STemplateProblem> &_problems);

} // namespace TemplateParsing
