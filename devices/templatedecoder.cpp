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

} // namespace TemplateParsing
