#pragma once

#include <QSettings>
#include <QVariant>

// The server log-in kept between runs, in an INI file (group "server").
class CSettings : public QSettings
{
    Q_OBJECT

public:
    // The first call with a non-empty name creates the object; later calls return it.
    static CSettings *getInstance(const QString &fileName);

    static QVariant readValue(const QString &key, const QVariant &defaultValue);
    // Stores the value and writes the file at once; false if the file could not be written.
    static bool writeValue(const QString &key, const QVariant &value);

    // settings.conf's INI dialect. It reads what Qt's INI format writes, but a value is one
    // string: an operator's unquoted "10.0.0.5, 192.168.1.0/24" or "se,cret" keeps its commas
    // instead of becoming a list that reads as empty.
    static QSettings::Format iniFormat();

private:
    explicit CSettings(const QString &fileName);

    static CSettings *instance;
};
