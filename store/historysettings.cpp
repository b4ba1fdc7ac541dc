#include "store/historysettings.h"

#include <QSettings>

namespace {

// A whole number from _lowest to _highest; an absent key keeps *_value.
bool readNumber(const QSettings &_settings, const QString &_key, int _lowest, int _highest, int *_value,
                QString *_error)
{
    const QString text = _settings.value(QStringLiteral("history/") + _key).toString().trimmed();
    if (text.isEmpty())
        return true;
    bool ok = false;
    const int number = text.toInt(&ok);
    if (!ok || number < _lowest || number > _highest) {
        *_error = QStringLiteral("[history] %1=%2 is not a whole number from %3 to %4")
                      .arg(_key, text)
                      .arg(_lowest)
                      .arg(_highest);
        return false;
    }
    *_value = number;
    return true;
}

} // namespace

bool readHistorySettings(const QSettings &_settings, SHistorySettings *_history, QString *_error)
{
    SHistorySettings history;
    if (!readNumber(_settings, QStringLiteral("keep_days"), 0, 3650, &history.keepDays, _error)
        || !readNumber(_settings, QStringLiteral("max_mb"), 1, 1024 * 1024, &history.maxMb, _error))
        return false;
    *_history = history;
    return true;
}
