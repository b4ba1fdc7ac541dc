#pragma once

#include <QSettings>
#include <QVariant>

#include "server/mqttsettings.h"

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

    // [server] kind and the [mqtt] group with defaults; read, never written.
    static EServerKind readServerKind();
    static SMqttSettings readMqttSettings();

private:
    explicit CSettings(const QString &fileName);

    static CSettings *instance;
};
