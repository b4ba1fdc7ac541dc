#include "app/csettings.h"

#include <QDebug>
#include <QFile>

namespace {

// The file holds the server password: readable and writable by its owner only,
// made so before anything is written into it.
bool restrictToOwner(const QString &_fileName)
{
    QFile file(_fileName);
    if (!file.exists()) {
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.close();
    }
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

CSettings *CSettings::instance = nullptr;

CSettings::CSettings(const QString &fileName)
    : QSettings(fileName, QSettings::IniFormat)
{
}

CSettings *CSettings::getInstance(const QString &fileName)
{
    if (instance)
        return instance;
    if (fileName.isEmpty()) {
        qDebug() << "ERROR: [CSettings::getInstance] Invalid fileName";
        return nullptr;
    }
    instance = new CSettings(fileName);
    return instance;
}

QVariant CSettings::readValue(const QString &key, const QVariant &defaultValue)
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::readValue] Invalid object";
        return QVariant();
    }
    return settings->value(key, defaultValue);
}

bool CSettings::writeValue(const QString &key, const QVariant &value)
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::writeValue] Invalid object";
        return false;
    }
    if (!restrictToOwner(settings->fileName())) {
        qDebug() << "ERROR: [CSettings::writeValue] Settings file is not restricted to its owner"
                 << settings->fileName();
        return false;
    }
    settings->setValue(key, value);
    settings->sync();
    // A read-only file or directory must not pass for a saved log-in.
    if (settings->status() != QSettings::NoError) {
        qDebug() << "ERROR: [CSettings::writeValue] Settings file is not written" << settings->fileName();
        return false;
    }
    return true;
}

EServerKind CSettings::readServerKind()
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::readServerKind] Invalid object";
        return EServerKind::eWebSocket;
    }
    return MQTT::readServerKind(*settings);
}

SMqttSettings CSettings::readMqttSettings()
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::readMqttSettings] Invalid object";
        return SMqttSettings();
    }
    return MQTT::readMqttSettings(*settings);
}
