#include "app/timetext.h"

#include <QDateTime>
#include <QRegularExpression>

#include <cmath>

bool parseTimeText(const QString &_text, qint64 *_ms)
{
    const QString text = _text.trimmed();
    static const QRegularExpression seconds(QStringLiteral("^\\d{1,12}(\\.\\d{1,3})?$"));
    if (seconds.match(text).hasMatch()) {
        *_ms = qint64(std::llround(text.toDouble() * 1000));
        return true;
    }
    static const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d{2}-\\d{2}([T ]\\d{2}:\\d{2}(:\\d{2}(\\.\\d{1,3})?)?)?(Z|[+-]\\d{2}:?\\d{2})?$"));
    if (!iso.match(text).hasMatch())
        return false;
    QDateTime time
        = QDateTime::fromString(QString(text).replace(QLatin1Char(' '), QLatin1Char('T')), Qt::ISODateWithMs);
    if (!time.isValid())
        return false;
    // No zone given: UTC, as the history writes its times.
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    *_ms = time.toMSecsSinceEpoch();
    return true;
}

bool parseDurationText(const QString &_text, qint64 *_ms)
{
    static const QRegularExpression duration(QStringLiteral("^(\\d{1,9})([smhd])$"));
    const QRegularExpressionMatch match = duration.match(_text.trimmed());
    if (!match.hasMatch())
        return false;
    const QChar unit = match.captured(2).at(0);
    const qint64 unitMs = unit == QLatin1Char('s') ? 1000
        : unit == QLatin1Char('m')                 ? 60000
        : unit == QLatin1Char('h')                 ? 3600000
                                                   : 86400000;
    *_ms = match.captured(1).toLongLong() * unitMs;
    return true;
}

QString isoTimeText(qint64 _ms)
{
    return QDateTime::fromMSecsSinceEpoch(_ms, Qt::UTC).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzzZ"));
}
