// The registry's templates: reading them, and what devices of a template share.

#include "devices/calldevicehandler.h"

#include <QDebug>
#include <QDir>
#include <QMutexLocker>

#include "app/logsink.h"
#include "app/constants.h"

void CAllDeviceHandler::loadTemplates()
{
    const QDir dir(templateDir);
    if (!dir.exists()) {
        const QString message
            = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is not existed");
        log->addLine(message);
        qDebug().noquote() << message;
        return;
    }
    const QStringList names = dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name);
    if (names.isEmpty()) {
        const QString message = QStringLiteral("[CAllDeviceHandler::init] Dirrectory with device signature is empty");
        log->addLine(message);
        qDebug().noquote() << message;
        return;
    }
    qDebug() << names;

    for (const QString &name : names) {
        const SDeviceTemplate deviceTemplate = loadTemplateFile(dir.absolutePath(), name, templateContext);
        if (!deviceTemplate.valid)
            continue;
        if (templates.contains(deviceTemplate.appEui)) {
            log->addLine(QStringLiteral("Device [%1] already inited. Skip").arg(deviceTemplate.appEui));
            continue;
        }
        log->addLine(QStringLiteral("Device [%1] inited SUCCESSULLY").arg(deviceTemplate.appEui));
        SLoadedTemplate loaded;
        loaded.parsed = std::make_shared<const SDeviceTemplate>(deviceTemplate);
        loaded.regMap = regMapOfTemplate(deviceTemplate);
        DB::SDeviceRegMapDescription atZero;
        atZero.registers = loaded.regMap.registers;
        loaded.ranges = addressRanges(atZero);
        templates.insert(deviceTemplate.appEui, loaded);
    }
}

std::shared_ptr<const SDeviceTemplate> CAllDeviceHandler::templateOf(const QString &_appEui) const
{
    const auto found = templates.constFind(CEui(_appEui).text());
    return found == templates.constEnd() ? nullptr : found->parsed;
}

SDeviceTemplateInfo CAllDeviceHandler::getTemplateInfo(const QString &appEui) const
{
    const std::shared_ptr<const SDeviceTemplate> found = templateOf(appEui);
    if (!found)
        return SDeviceTemplateInfo { QString(), QString(), QString() };
    return SDeviceTemplateInfo { found->appEui, found->devType, found->color };
}

QList<SDeviceTemplateInfo> CAllDeviceHandler::getTemplateList() const
{
    QList<SDeviceTemplateInfo> list;
    for (const SLoadedTemplate &loaded : templates)
        list.append(SDeviceTemplateInfo { loaded.parsed->appEui, loaded.parsed->devType, loaded.parsed->color });
    return list;
}

QString CAllDeviceHandler::templateOfDeviceProfile(const QString &_profile) const
{
    for (const SLoadedTemplate &loaded : templates) {
        if (!loaded.parsed->deviceProfile.isEmpty() && loaded.parsed->deviceProfile == _profile)
            return loaded.parsed->appEui;
    }
    return QString();
}

SDeviceRegMap CAllDeviceHandler::getRegMapDescription(const QString &appEui) const
{
    const auto found = templates.constFind(CEui(appEui).text());
    return found == templates.constEnd() ? SDeviceRegMap() : found->regMap;
}

QList<SDownlinkCommand> CAllDeviceHandler::getDownlinkCommands(const QString &appEui) const
{
    const std::shared_ptr<const SDeviceTemplate> found = templateOf(appEui);
    return found ? found->downlinks : QList<SDownlinkCommand>();
}

qint32 CAllDeviceHandler::downlinkCodeRegister(const QString &appEui) const
{
    const std::shared_ptr<const SDeviceTemplate> found = templateOf(appEui);
    if (!found)
        return -1;
    const auto code = found->serverData.constFind(SERVER_KEYWORD_DOWNLINK);
    return code == found->serverData.constEnd() ? -1 : code->regMapBias;
}

void CAllDeviceHandler::reloadTemplates()
{
    templates.clear();
    loadTemplates();
    QMutexLocker locker(&mutex);
    for (SServed &served : devices) {
        served.ranges = addressRanges(served.device);
        served.decoding.deviceTemplate = templateOf(served.device.appEui);
    }
}

void CAllDeviceHandler::setServerDecodes(bool _decodes)
{
    if (templateContext.serverDecodes == _decodes)
        return;
    templateContext.serverDecodes = _decodes;
    reloadTemplates();
}

QString CAllDeviceHandler::codecOfTemplate(const QString &_appEui) const
{
    const std::shared_ptr<const SDeviceTemplate> found = templateOf(_appEui);
    return found ? found->decoder.codecPath : QString();
}

QVector<QPair<qint64, qint64>> CAllDeviceHandler::addressRanges(const DB::SDeviceRegMapDescription &_device) const
{
    // Stored devices come back without their map: their template has it.
    if (_device.registers.isEmpty()) {
        const auto found = templates.constFind(CEui(_device.appEui).text());
        return found == templates.constEnd() ? QVector<QPair<qint64, qint64>>() : found->ranges;
    }
    QVector<QPair<qint64, qint64>> ranges;
    ranges.reserve(_device.registers.size());
    for (const SRegisterDescription &reg : _device.registers) {
        const qint64 first = reg.offset;
        const qint64 count = registersOfBits(reg.bitSize);
        ranges.append({ first, first + count - 1 });
    }
    return ranges;
}
