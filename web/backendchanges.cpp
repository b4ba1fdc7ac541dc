#include "web/cgatewaybackend.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSqlRecord>

#include <algorithm>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "app/globaltables.h"
#include "app/registertext.h"
#include "app/timetext.h"
#include "gateway/cgateway.h"
#include "gateway/devicefiles.h"
#include "gateway/deviceinput.h"
#include "gateway/registermap.h"
#include "store/cgatewaycounters.h"
#include "store/chistoryreader.h"
#include "store/storecolumns.h"
#include "web/backendsupport.h"

using namespace WebBackend;

SWebResult CGatewayBackend::addDevice(const QJsonObject &_device)
{
    const QString devEui = memberText(_device, QStringLiteral("devEui"));
    const QString templateName = memberText(_device, QStringLiteral("template"));
    const QString name = memberText(_device, QStringLiteral("name")).trimmed();
    int port = 0;
    int start = 0;
    if (!CEui::isWellFormed(devEui))
        return refused(400, QStringLiteral("devEui %1 is not 16 hex digits").arg(devEui));
    if (name.isEmpty())
        return refused(400, QStringLiteral("name is empty"));
    if (!readNumber(memberText(_device, QStringLiteral("port")), 1, 65535, &port))
        return refused(400, QStringLiteral("port %1 is not a TCP port (1-65535)").arg(memberText(_device, "port")));
    if (!readNumber(memberText(_device, QStringLiteral("startAddress")), 0, 65535, &start))
        return refused(400, QStringLiteral("startAddress %1 is not a register address (0-65535)")
                                .arg(memberText(_device, "startAddress")));
    DB::SDeviceRegMapDescription device;
    device.devEui = CEui(devEui).text();
    device.name = name;
    device.startAddr = start;
    QString problem;
    if (!readSettings(memberText(_device, QStringLiteral("unitId")), memberText(_device, QStringLiteral("wordOrder")),
                      memberText(_device, QStringLiteral("staleAfter")),
                      memberText(_device, QStringLiteral("stalePolicy")), memberText(_device, QStringLiteral("writable")),
                      &device, &problem))
        return refused(400, problem);
    SWebResult result;
    const bool ran = onGateway([&] {
        for (const SDeviceTemplateInfo &info : gateway->templates()) {
            if (info.devType.compare(templateName, Qt::CaseInsensitive) == 0
                || CEui(info.appEui) == CEui(templateName))
                device.appEui = info.appEui;
        }
        if (device.appEui.isEmpty()) {
            result = refused(400, QStringLiteral("no template has dev_type \"%1\"").arg(templateName));
            return;
        }
        device.registers = gateway->regMap(device.appEui).registers;
        const SGatewayResult added = gateway->addDevice(device, quint16(port));
        if (!added.ok()) {
            result = refused(statusOf(added.error), added.message);
            return;
        }
        result.status = 201;
        result.body = QJsonObject { { "devEui", device.devEui } };
    });
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

SWebResult CGatewayBackend::editDevice(const QString &_devEui, const QJsonObject &_changes)
{
    static const QStringList KNOWN { "unitId", "wordOrder", "staleAfter", "stalePolicy", "writable", "registers" };
    for (const QString &key : _changes.keys()) {
        if (!KNOWN.contains(key))
            return refused(400, QStringLiteral("%1 cannot be changed (only %2)").arg(key, KNOWN.join(", ")));
    }
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return refused(404, QStringLiteral("no device %1").arg(_devEui));
    DB::SDeviceRegMapDescription edited = row.device;
    const auto textOr = [&_changes](const char *_key, const QString &_current) {
        return _changes.contains(QLatin1String(_key)) ? memberText(_changes, QLatin1String(_key)) : _current;
    };
    QString problem;
    if (!readSettings(textOr("unitId", QString::number(edited.unitId)), textOr("wordOrder", wordOrderName(edited.wordOrder)),
                      textOr("staleAfter", QString::number(edited.staleAfter)),
                      textOr("stalePolicy", stalePolicyName(edited.stalePolicy)),
                      textOr("writable", edited.writable ? QStringLiteral("true") : QStringLiteral("false")), &edited,
                      &problem))
        return refused(400, problem);
    SDeviceRegUpdate update;
    update.deviceId = row.id;
    update.port = row.port;
    update.hasSettings = true;
    update.unitId = edited.unitId;
    update.wordOrder = edited.wordOrder;
    update.staleAfter = edited.staleAfter;
    update.stalePolicy = edited.stalePolicy;
    QHash<quint32, QJsonObject> scaling;
    for (const QJsonValue &value : _changes.value(QStringLiteral("registers")).toArray()) {
        const QJsonObject reg = value.toObject();
        int address = 0;
        if (!readNumber(memberText(reg, QStringLiteral("address")), 0, 65535, &address))
            return refused(400, QStringLiteral("a register's address %1 is not 0-65535").arg(memberText(reg, "address")));
        for (const char *key : { "multiplier", "added" }) {
            if (reg.contains(QLatin1String(key)) && !reg.value(QLatin1String(key)).isDouble())
                return refused(400, QStringLiteral("register %1: %2 is not a number").arg(address).arg(key));
        }
        if (reg.contains(QLatin1String("multiplier")) && reg.value(QLatin1String("multiplier")).toDouble() == 0)
            return refused(400, QStringLiteral("register %1: the multiplier is 0").arg(address));
        scaling.insert(quint32(address), reg);
    }
    SWebResult result;
    const bool ran = onGateway([&] {
        for (const QSqlRecord &record : gateway->registers(row.id)) {
            const auto cell = [&record](int _column) { return record.value(devDataColumns.at(_column)); };
            SRegisterUpdate reg;
            reg.regAddr = cell(REG_COL_REG_ADDR).toUInt();
            reg.startValue = cell(REG_COL_START_VALUE).toDouble();
            reg.gratingPeriod = cell(REG_COL_GRATING_PERIOD).toDouble();
            reg.unit = cell(REG_COL_UNIT).toString();
            const QJsonObject change = scaling.take(reg.regAddr);
            reg.startValue = change.value(QStringLiteral("added")).toDouble(reg.startValue);
            reg.gratingPeriod = change.value(QStringLiteral("multiplier")).toDouble(reg.gratingPeriod);
            reg.unit = change.value(QStringLiteral("unit")).toString(reg.unit);
            update.registers.append(reg);
        }
        if (!scaling.isEmpty()) {
            result = refused(400, QStringLiteral("the device has no register at address %1").arg(scaling.keys().first()));
            return;
        }
        SGatewayResult edit = gateway->editDevice(update);
        if (edit.ok() && edited.writable != row.device.writable)
            edit = gateway->setWritable(row.device.devEui, edited.writable);
        if (!edit.ok()) {
            result = refused(statusOf(edit.error), edit.message);
            return;
        }
        result.body = QJsonObject { { "devEui", row.device.devEui } };
    });
    if (ran)
        rowsStale = true;
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

SWebResult CGatewayBackend::removeDevice(const QString &_devEui)
{
    SDeviceRow row;
    if (!findRow(_devEui, &row))
        return refused(404, QStringLiteral("no device %1").arg(_devEui));
    SWebResult result;
    const bool ran = onGateway([&] {
        const SGatewayResult removed = gateway->removeDevice(row.id, row.device.devEui, row.port);
        if (!removed.ok())
            result = refused(statusOf(removed.error), removed.message);
        else
            result.body = QJsonObject { { "devEui", row.device.devEui } };
    });
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}

SWebResult CGatewayBackend::candidates()
{
    struct SAnswer
    {
        bool done = false;
        bool ok = false;
        QJsonArray devices;
    };
    auto answer = std::make_shared<SAnswer>();
    auto context = std::make_shared<QObject *>(nullptr);
    bool asked = false;
    onGateway([&] {
        auto *receiver = new QObject(this);
        *context = receiver;
        connect(gateway, &CGateway::deviceListReceived, receiver,
                [this, answer, receiver](bool _ok, const QList<API::SServerDeviceInfo> &_devices) {
                    for (const API::SServerDeviceInfo &info : _devices)
                        answer->devices.append(QJsonObject {
                            { "devEui", info.devEui }, { "appEui", info.appEui }, { "name", info.devName },
                            { "template", gateway->templateInfo(info.appEui).devType } });
                    std::lock_guard<std::mutex> locker(waitMutex);
                    answer->ok = _ok;
                    answer->done = true;
                    waitDone.notify_all();
                    receiver->deleteLater();
                });
        asked = gateway->requestDeviceList();
        if (!asked)
            receiver->deleteLater();
    });
    if (!asked)
        return refused(503, QStringLiteral("the network server cannot be asked now (not connected)"));
    std::unique_lock<std::mutex> locker(waitMutex);
    waitDone.wait_for(locker, std::chrono::milliseconds(GATEWAY_WAIT_MS), [&] { return answer->done || stopping; });
    if (!answer->done)
        return refused(504, QStringLiteral("the network server did not answer"));
    if (!answer->ok)
        return refused(502, QStringLiteral("the network server refused the list"));
    SWebResult result;
    result.body = QJsonObject { { "devices", answer->devices },
                                { "heard", gateway->listsHeardDevices() } };
    return result;
}

SWebResult CGatewayBackend::importDevices(const QByteArray &_file)
{
    SWebResult result;
    const bool ran = onGateway([&] {
        int imported = 0;
        QString problem;
        if (importDeviceFile(*gateway, _file, QStringLiteral("the file"), &imported, &problem)) {
            result.body = QJsonObject { { "imported", imported } };
            CLogFile::addLog(QStringLiteral("INFO: [CWebConsole] imported %1 devices").arg(imported));
        } else {
            result = refused(400, problem);
        }
    });
    if (ran)
        rowsStale = true;
    return ran ? result : refused(503, QStringLiteral("the gateway is busy; try again"));
}
