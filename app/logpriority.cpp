#include "app/logpriority.h"

#include <QRegularExpression>

int logPriority(const QString &_line)
{
    static const QRegularExpression error(QStringLiteral("\\b(CRITICAL_ERROR|CRITICAL|ERROR)\\b"));
    static const QRegularExpression warning(QStringLiteral("\\bWARNING\\b"));
    if (error.match(_line).hasMatch())
        return 3;
    if (warning.match(_line).hasMatch())
        return 4;
    return 6;
}

QString journalLine(const QString &_line)
{
    return QStringLiteral("<%1>%2").arg(logPriority(_line)).arg(_line);
}
