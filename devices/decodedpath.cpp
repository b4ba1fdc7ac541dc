#include "devices/decodedpath.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

// Indices beyond this are no list a codec returns; the bound keeps the number in an int.
const int MAX_INDEX = 1000000;

bool plainKeyChar(QChar _c)
{
    return _c != QLatin1Char('.') && _c != QLatin1Char('[') && _c != QLatin1Char(']') && _c != QLatin1Char('"');
}

QList<SPathStep> failed(QString *_error, const QString &_text)
{
    if (_error)
        *_error = _text;
    return {};
}

} // namespace

QList<SPathStep> parseDecodedPath(const QString &_text, QString *_error)
{
    QList<SPathStep> steps;
    int at = 0;
    const int size = _text.size();
    if (size == 0)
        return failed(_error, QStringLiteral("the path is empty"));
    // A key is expected at the start and after every dot; a bracket may follow anything.
    bool wantKey = true;
    while (at < size) {
        const QChar c = _text.at(at);
        if (c == QLatin1Char('[')) {
            ++at;
            SPathStep step;
            if (at < size && _text.at(at) == QLatin1Char('"')) {
                ++at;
                QString key;
                bool closed = false;
                while (at < size) {
                    const QChar k = _text.at(at++);
                    if (k == QLatin1Char('\\') && at < size) {
                        key += _text.at(at++);
                    } else if (k == QLatin1Char('"')) {
                        closed = true;
                        break;
                    } else {
                        key += k;
                    }
                }
                if (!closed || at >= size || _text.at(at) != QLatin1Char(']'))
                    return failed(_error, QStringLiteral("a quoted key is not closed by \"]"));
                step.key = key;
            } else {
                const int start = at;
                while (at < size && _text.at(at).isDigit())
                    ++at;
                bool ok = false;
                const int index = _text.mid(start, at - start).toInt(&ok);
                if (!ok || at - start > 7 || index > MAX_INDEX || at >= size || _text.at(at) != QLatin1Char(']'))
                    return failed(_error, QStringLiteral("[ at %1 holds neither an index nor a quoted key").arg(start));
                step.isIndex = true;
                step.index = index;
            }
            ++at; // the ]
            steps.append(step);
            wantKey = false;
            continue;
        }
        if (c == QLatin1Char('.')) {
            if (wantKey)
                return failed(_error, QStringLiteral("an empty key at %1").arg(at));
            ++at;
            wantKey = true;
            if (at >= size)
                return failed(_error, QStringLiteral("the path ends with a dot"));
            continue;
        }
        if (!wantKey)
            return failed(_error, QStringLiteral("a key at %1 follows ] without a dot").arg(at));
        const int start = at;
        while (at < size && plainKeyChar(_text.at(at)))
            ++at;
        if (at == start)
            return failed(_error, QStringLiteral("[%1] at %2 cannot start a key").arg(c).arg(at));
        SPathStep step;
        step.key = _text.mid(start, at - start);
        steps.append(step);
        wantKey = false;
    }
    if (wantKey)
        return failed(_error, QStringLiteral("the path ends with a dot"));
    return steps;
}

QJsonValue valueAtPath(const QJsonValue &_root, const QList<SPathStep> &_path)
{
    QJsonValue value = _root;
    for (const SPathStep &step : _path) {
        if (step.isIndex) {
            if (!value.isArray())
                return QJsonValue(QJsonValue::Undefined);
            const QJsonArray list = value.toArray();
            if (step.index >= list.size())
                return QJsonValue(QJsonValue::Undefined);
            value = list.at(step.index);
        } else {
            if (!value.isObject())
                return QJsonValue(QJsonValue::Undefined);
            value = value.toObject().value(step.key);
        }
        if (value.isUndefined())
            return value;
    }
    return value;
}

QString pathText(const QList<SPathStep> &_path)
{
    QString text;
    for (const SPathStep &step : _path) {
        if (step.isIndex) {
            text += QStringLiteral("[%1]").arg(step.index);
            continue;
        }
        bool plain = !step.key.isEmpty();
        for (const QChar c : step.key)
            plain = plain && plainKeyChar(c) && c != QLatin1Char('\\');
        if (plain)
            text += (text.isEmpty() ? QString() : QStringLiteral(".")) + step.key;
        else
            text += QStringLiteral("[\"%1\"]")
                        .arg(QString(step.key)
                                 .replace(QLatin1Char('\\'), QStringLiteral("\\\\"))
                                 .replace(QLatin1Char('"'), QStringLiteral("\\\"")));
    }
    return text;
}
