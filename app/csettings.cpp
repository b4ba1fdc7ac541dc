#include "app/csettings.h"

#include <QDebug>

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
    settings->setValue(key, value);
    settings->sync();
    // A read-only file or directory must not pass for a saved log-in.
    if (settings->status() != QSettings::NoError) {
        qDebug() << "ERROR: [CSettings::writeValue] Settings file is not written" << settings->fileName();
        return false;
    }
    return true;
}
