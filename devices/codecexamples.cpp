#include "devices/codecexamples.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

#include <algorithm>
#include <cmath>
#include <exception>

#include <yaml-cpp/yaml.h>

#include "server/apitypes.h"

namespace {

const double RELATIVE_TOLERANCE = 1e-6;
// yaml-cpp reads nested flow collections recursively; no codec file nests this deep.
const int MAX_FLOW_DEPTH = 64;
// Aliases may repeat one node without end: the examples' JSON stops growing here.
const int MAX_YAML_ELEMENTS = 100000;

// The deepest nesting of [ and {, quotes and comments aside roughly: enough to keep a file
// that would exhaust yaml-cpp's stack away from it.
int flowDepth(const QByteArray &_text)
{
    int depth = 0;
    int deepest = 0;
    char quote = 0;
    for (const char c : _text) {
        if (quote) {
            if (c == quote || c == '\n')
                quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

QString valueText(const QJsonValue &_value)
{
    if (_value.isUndefined())
        return QStringLiteral("nothing");
    if (_value.isDouble())
        return QString::number(_value.toDouble(), 'g', QLocale::FloatingPointShortest);
    if (_value.isString())
        return QStringLiteral("\"%1\"").arg(_value.toString());
    return QString::fromUtf8(QJsonDocument(QJsonArray { _value }).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

bool sameNumber(double _expected, double _decoded)
{
    return _expected == _decoded
        || std::fabs(_expected - _decoded) <= RELATIVE_TOLERANCE * std::max(std::fabs(_expected), std::fabs(_decoded));
}

QString joined(const QString &_path, const QString &_step)
{
    return _path.isEmpty() ? _step : _path + QLatin1Char('.') + _step;
}

// A YAML scalar as JSON: numbers (hexadecimal too), true / false, null, else text.
QJsonValue jsonOfScalar(const YAML::Node &_node)
{
    const std::string text = _node.Scalar();
    // Quoted scalars are texts whatever they look like.
    if (_node.Tag() == "!")
        return QString::fromStdString(text);
    if (text == "true" || text == "True")
        return true;
    if (text == "false" || text == "False")
        return false;
    if (text == "null" || text == "~" || text.empty())
        return QJsonValue(QJsonValue::Null);
    long long whole = 0;
    if (YAML::convert<long long>::decode(_node, whole))
        return double(whole);
    double number = 0;
    if (YAML::convert<double>::decode(_node, number))
        return number;
    return QString::fromStdString(text);
}

QJsonValue jsonOfYaml(const YAML::Node &_node, int _depth, int &_elements)
{
    if (_depth > 32 || ++_elements > MAX_YAML_ELEMENTS)
        return QJsonValue(QJsonValue::Null);
    if (_node.IsScalar())
        return jsonOfScalar(_node);
    if (_node.IsSequence()) {
        QJsonArray list;
        for (const YAML::Node &element : _node)
            list.append(jsonOfYaml(element, _depth + 1, _elements));
        return list;
    }
    if (_node.IsMap()) {
        QJsonObject object;
        for (const auto &entry : _node)
            object.insert(
                QString::fromStdString(entry.first.Scalar()), jsonOfYaml(entry.second, _depth + 1, _elements));
        return object;
    }
    return QJsonValue(QJsonValue::Null);
}

// Bytes of a list of numbers 0-255; false when anything else is in it.
bool readBytes(const QJsonValue &_list, QByteArray *_bytes)
{
    if (!_list.isArray())
        return false;
    for (const QJsonValue &value : _list.toArray()) {
        const double number = value.toDouble(-1);
        if (!value.isDouble() || number < 0 || number > 255 || std::floor(number) != number)
            return false;
        _bytes->append(char(int(number)));
    }
    return true;
}

} // namespace

QList<SCodecExample> readTemplateExamples(const QJsonValue &_examples, QStringList *_problems)
{
    QList<SCodecExample> examples;
    if (_examples.isUndefined())
        return examples;
    if (!_examples.isArray()) {
        _problems->append(QStringLiteral("examples: not a list"));
        return examples;
    }
    const QJsonArray list = _examples.toArray();
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject json = list.at(i).toObject();
        SCodecExample example;
        example.name = QStringLiteral("example [%1]").arg(i);
        const QJsonValue port = json.value(QStringLiteral("f_port"));
        if (!port.isUndefined()) {
            const double number = port.toDouble(-1);
            if (!port.isDouble() || number < 1 || number > 223 || std::floor(number) != number) {
                _problems->append(QStringLiteral("%1: f_port [%2] is not 1-223").arg(example.name, valueText(port)));
                continue;
            }
            example.fPort = int(number);
        }
        const QString payload = json.value(QStringLiteral("payload")).toString();
        if (!json.value(QStringLiteral("payload")).isString() || !API::isHexBytes(payload)) {
            _problems->append(QStringLiteral("%1: payload is not pairs of hex digits").arg(example.name));
            continue;
        }
        example.bytes = QByteArray::fromHex(payload.toLatin1());
        const QJsonValue expect = json.value(QStringLiteral("expect"));
        if (!expect.isObject() || expect.toObject().isEmpty()) {
            _problems->append(QStringLiteral("%1: expect is not an object of paths and values").arg(example.name));
            continue;
        }
        const QJsonObject paths = expect.toObject();
        bool good = true;
        for (auto it = paths.constBegin(); it != paths.constEnd(); ++it) {
            QString error;
            if (parseDecodedPath(it.key(), &error).isEmpty()) {
                _problems->append(QStringLiteral("%1: [%2] is no path: %3").arg(example.name, it.key(), error));
                good = false;
            }
            example.expect.append({ it.key(), it.value() });
        }
        if (good)
            examples.append(example);
    }
    return examples;
}

bool readCodecExamplesYaml(const QByteArray &_text, QList<SCodecExample> *_examples, QString *_error)
{
    if (flowDepth(_text) > MAX_FLOW_DEPTH) {
        *_error = QStringLiteral("nested deeper than %1 levels").arg(MAX_FLOW_DEPTH);
        return false;
    }
    // yaml-cpp reports by exceptions; they end here.
    try {
        const YAML::Node root = YAML::Load(_text.toStdString());
        if (!root.IsMap() || !root["uplinkDecoder"] || !root["uplinkDecoder"].IsMap()) {
            *_error = QStringLiteral("no uplinkDecoder in it");
            return false;
        }
        const YAML::Node examples = root["uplinkDecoder"]["examples"];
        if (!examples)
            return true;
        if (!examples.IsSequence()) {
            *_error = QStringLiteral("uplinkDecoder.examples is not a list");
            return false;
        }
        int index = 0;
        for (const YAML::Node &node : examples) {
            int elements = 0;
            const QJsonObject json = jsonOfYaml(node, 0, elements).toObject();
            SCodecExample example;
            const QString description = json.value(QStringLiteral("description")).toString();
            example.name = description.isEmpty() ? QStringLiteral("example [%1]").arg(index)
                                                 : QStringLiteral("example [%1] \"%2\"").arg(index).arg(description);
            ++index;
            const QJsonObject input = json.value(QStringLiteral("input")).toObject();
            const QJsonObject output = json.value(QStringLiteral("output")).toObject();
            const double port = input.value(QStringLiteral("fPort")).toDouble(-1);
            if (port < 0 || port > 255 || std::floor(port) != port) {
                *_error = QStringLiteral("%1: input.fPort is not a port").arg(example.name);
                return false;
            }
            example.fPort = int(port);
            if (!readBytes(input.value(QStringLiteral("bytes")), &example.bytes)) {
                *_error = QStringLiteral("%1: input.bytes is not a list of bytes").arg(example.name);
                return false;
            }
            example.whole = true;
            example.expectErrors = output.contains(QStringLiteral("errors"));
            example.data = output.value(QStringLiteral("data"));
            if (!example.expectErrors && !example.data.isObject()) {
                *_error = QStringLiteral("%1: output has neither data nor errors").arg(example.name);
                return false;
            }
            _examples->append(example);
        }
        return true;
    } catch (const std::exception &_exception) {
        *_error = QStringLiteral("not YAML: %1").arg(QString::fromUtf8(_exception.what()));
        return false;
    }
}

QString firstDifference(const QJsonValue &_expected, const QJsonValue &_decoded, const QString &_path)
{
    const QString here = _path.isEmpty() ? QStringLiteral("data") : _path;
    const auto differs = [&] {
        return QStringLiteral("%1: expected %2, decoded %3").arg(here, valueText(_expected), valueText(_decoded));
    };
    if (_expected.isDouble())
        return _decoded.isDouble() && sameNumber(_expected.toDouble(), _decoded.toDouble()) ? QString() : differs();
    if (_expected.isObject()) {
        if (!_decoded.isObject())
            return differs();
        const QJsonObject expected = _expected.toObject();
        const QJsonObject decoded = _decoded.toObject();
        for (auto it = expected.constBegin(); it != expected.constEnd(); ++it) {
            const QString difference = firstDifference(it.value(), decoded.value(it.key()), joined(_path, it.key()));
            if (!difference.isEmpty())
                return difference;
        }
        for (auto it = decoded.constBegin(); it != decoded.constEnd(); ++it) {
            if (!expected.contains(it.key()))
                return QStringLiteral("%1: not expected, decoded %2")
                    .arg(joined(_path, it.key()), valueText(it.value()));
        }
        return QString();
    }
    if (_expected.isArray()) {
        if (!_decoded.isArray())
            return differs();
        const QJsonArray expected = _expected.toArray();
        const QJsonArray decoded = _decoded.toArray();
        for (int i = 0; i < expected.size(); ++i) {
            const QString difference = firstDifference(expected.at(i),
                i < decoded.size() ? decoded.at(i) : QJsonValue(QJsonValue::Undefined),
                QStringLiteral("%1[%2]").arg(_path).arg(i));
            if (!difference.isEmpty())
                return difference;
        }
        if (decoded.size() > expected.size())
            return QStringLiteral("%1[%2]: not expected, decoded %3")
                .arg(_path)
                .arg(expected.size())
                .arg(valueText(decoded.at(expected.size())));
        return QString();
    }
    return _expected == _decoded ? QString() : differs();
}

QString exampleProblem(const SCodecExample &_example, const SCodecResult &_result)
{
    if (_example.expectErrors)
        return _result.ok() ? QStringLiteral("expected the codec to refuse it, it decoded") : QString();
    if (!_result.ok())
        return _result.error;
    if (_example.whole)
        return firstDifference(_example.data, _result.data, QString());
    for (const auto &expected : _example.expect) {
        const QJsonValue decoded = valueAtPath(_result.data, parseDecodedPath(expected.first, nullptr));
        const QString difference = firstDifference(expected.second, decoded, expected.first);
        if (!difference.isEmpty())
            return difference;
    }
    return QString();
}
