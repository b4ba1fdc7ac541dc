#include "gateway/historycommand.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>

#include <algorithm>

#include "app/ceui.h"
#include "app/timetext.h"
#include "store/historyformat.h"

namespace {

const qint64 DAY_MS = 24 * 3600 * 1000;

// A CSV field, quoted when it holds a separator, a quote or a line break.
QString csvField(const QString &_text)
{
    if (!_text.contains(QLatin1Char(',')) && !_text.contains(QLatin1Char('"')) && !_text.contains(QLatin1Char('\n'))
        && !_text.contains(QLatin1Char('\r')))
        return _text;
    return QLatin1Char('"') + QString(_text).replace(QLatin1Char('"'), QLatin1String("\"\"")) + QLatin1Char('"');
}

QString numberText(double _value)
{
    return QString::number(_value, 'g', 15);
}

int usage(QTextStream &_err, const QString &_problem)
{
    _err << "kelvara history: " << _problem << "\n"
         << "usage: kelvara history --dev-eui EUI [--value NAME] [--since 24h | --from T1 --to T2] "
            "[--format csv|json] [FILE]\n";
    return 2;
}

int refuse(QTextStream &_err, const QString &_problem)
{
    _err << "kelvara history: " << _problem << "\n";
    return 1;
}

} // namespace

QString historyText(const QVector<SHistorySample> &_samples, bool _json)
{
    if (_json) {
        QJsonArray rows;
        for (const SHistorySample &sample : _samples)
            rows.append(QJsonObject { { "time", isoTimeText(sample.timeMs) }, { "value_name", sample.name },
                { "value", sample.value }, { "unit", sample.unit } });
        return QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Indented));
    }
    QString text = QStringLiteral("time,value_name,value,unit\n");
    for (const SHistorySample &sample : _samples)
        text += QStringLiteral("%1,%2,%3,%4\n")
                    .arg(isoTimeText(sample.timeMs), csvField(sample.name), numberText(sample.value),
                        csvField(sample.unit));
    return text;
}

int runHistoryCommand(const QStringList &_command, qint64 _nowMs, QTextStream &_out, QTextStream &_err)
{
    const QStringList withValue { "--dev-eui", "--value", "--since", "--from", "--to", "--format" };
    QMap<QString, QString> options;
    QStringList positional;
    for (int i = 1; i < _command.size(); ++i) {
        const QString &argument = _command.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            positional << argument;
            continue;
        }
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        if (!withValue.contains(name))
            return usage(_err, QStringLiteral("unknown option %1").arg(name));
        if (options.contains(name))
            return usage(_err, QStringLiteral("%1 is given twice").arg(name));
        QString value;
        if (argument.contains(QLatin1Char('=')))
            value = argument.section(QLatin1Char('='), 1);
        else if (i + 1 < _command.size())
            value = _command.at(++i);
        if (value.isEmpty())
            return usage(_err, QStringLiteral("%1 needs a value").arg(name));
        options.insert(name, value);
    }
    if (positional.size() > 1)
        return usage(_err, QStringLiteral("history writes one file"));
    const CEui devEui(options.value(QStringLiteral("--dev-eui")));
    if (!options.contains(QStringLiteral("--dev-eui")))
        return usage(_err, QStringLiteral("--dev-eui is required"));
    if (!CEui::isWellFormed(devEui.text()))
        return refuse(_err, QStringLiteral("--dev-eui %1 is not 16 hex digits").arg(options.value("--dev-eui")));
    const QString format = options.value(QStringLiteral("--format"), QStringLiteral("csv"));
    if (format != QLatin1String("csv") && format != QLatin1String("json"))
        return usage(_err, QStringLiteral("--format is csv or json"));
    const bool since = options.contains(QStringLiteral("--since"));
    if (since && (options.contains(QStringLiteral("--from")) || options.contains(QStringLiteral("--to"))))
        return usage(_err, QStringLiteral("--since goes without --from and --to"));
    qint64 toMs = _nowMs;
    qint64 fromMs = 0;
    qint64 sinceMs = DAY_MS;
    if (since && !parseDurationText(options.value(QStringLiteral("--since")), &sinceMs))
        return usage(_err,
            QStringLiteral("--since %1 is not a duration such as 90s, 30m, 24h or 7d")
                .arg(options.value(QStringLiteral("--since"))));
    for (const auto &bound :
        { qMakePair(QStringLiteral("--to"), &toMs), qMakePair(QStringLiteral("--from"), &fromMs) }) {
        if (options.contains(bound.first) && !parseTimeText(options.value(bound.first), bound.second))
            return usage(_err,
                QStringLiteral("%1 %2 is not a time (ISO 8601, or seconds since 1970)")
                    .arg(bound.first, options.value(bound.first)));
    }
    if (!options.contains(QStringLiteral("--from")))
        fromMs = toMs - sinceMs;
    if (fromMs > toMs)
        return usage(_err, QStringLiteral("--from is after --to"));

    CHistoryReader reader(QDir::current().filePath(QLatin1String(HISTORY::FILE_NAME)));
    QString error;
    if (!reader.open(&error))
        return refuse(_err, error);
    const QString value = options.value(QStringLiteral("--value"));
    const QVector<SHistoryValueName> names = reader.valueNames(devEui.text());
    if (names.isEmpty())
        return refuse(_err, QStringLiteral("no history of device %1").arg(devEui.text()));
    if (!value.isEmpty() && std::none_of(names.begin(), names.end(), [&value](const SHistoryValueName &_name) {
            return _name.name == value;
        })) {
        QStringList known;
        for (const SHistoryValueName &name : names)
            known << name.name;
        return refuse(_err,
            QStringLiteral("device %1 has no value %2; it has: %3")
                .arg(devEui.text(), value, known.join(QStringLiteral(", "))));
    }
    QVector<SHistorySample> samples;
    if (!reader.samples(devEui.text(), value, fromMs, toMs, &samples, &error))
        return refuse(_err, error);
    const QString text = historyText(samples, format == QLatin1String("json"));
    if (positional.isEmpty()) {
        _out << text;
        return 0;
    }
    QSaveFile file(positional.first());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        return refuse(_err, QStringLiteral("%1 cannot be written: %2").arg(positional.first(), file.errorString()));
    _out << "wrote " << samples.size() << " rows to " << positional.first() << "\n";
    return 0;
}
