#include "devices/calldevicehandler.h"

#include <QDebug>
#include <QDir>

#include "app/clogfile.h"
#include "app/constants.h"

CAllDeviceHandler *CAllDeviceHandler::getInstance()
{
    static CAllDeviceHandler *instance = new CAllDeviceHandler();
    return instance;
}

CAllDeviceHandler::CAllDeviceHandler(QObject *parent)
    : QObject(parent)
{
    init();
}

void CAllDeviceHandler::init()
{
    const QString dirPath = QDir::currentPath() + QStringLiteral("/") + DEVICE_FOLDER;
    const QDir dir(dirPath);
    if (!dir.exists()) {
        const QString message = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        CLogFile::addLog(message);
        qDebug().noquote() << message;
        return;
    }
    const QStringList names = dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        const QString message = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        CLogFile::addLog(message);
        qDebug().noquote() << message;
        return;
    }
    qDebug() << names;

    for (const QString &name : names) {
        const SDeviceTemplate deviceTemplate = loadTemplateFile(dirPath, name);
        if (!deviceTemplate.valid)
            continue;
        if (templates.contains(deviceTemplate.appEui)) {
            CLogFile::addLog(QStringLiteral("Device [%1] already inited. Skip").arg(deviceTemplate.appEui));
            continue;
        }
        CLogFile::addLog(QStringLiteral("Device [%1] inited SUCCESSULLY").arg(deviceTemplate.appEui));
        templates.insert(deviceTemplate.appEui, deviceTemplate);
    }
}

SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString &appEui) const
{
    const auto found = templates.constFind(appEui);
    if (found == templates.constEnd())
        return SDeviceTemplateInfo { QString(), QString(), QColor() };
    return SDeviceTemplateInfo { found->appEui, found->devType, found->color };
}

QList<SDeviceTemplateInfo> CAllDeviceHandler::getTemplateList() const
{
    QList<SDeviceTemplateInfo> list;
    for (const SDeviceTemplate &deviceTemplate : templates)
        list.append(SDeviceTemplateInfo { deviceTemplate.appEui, deviceTemplate.devType, deviceTemplate.color });
    return list;
}

SDeviceRegMap CAllDeviceHandler::getRegMapDescription(const QString &appEui) const
{
    const auto found = templates.constFind(appEui);
    if (found == templates.constEnd())
        return SDeviceRegMap();
    return regMapOfTemplate(*found);
}
