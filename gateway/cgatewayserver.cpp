#include "gateway/cgateway.h"

#include <QDir>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "devices/calldevicehandler.h"
#include "gateway/settingsfile.h"

// The gateway's side of the network-server link: the saved log-in or broker, connecting,
// the status, and asking the server for its device list.

SServerLogin SServerLogin::fromSettings()
{
    SServerLogin login;
    login.host = CSettings::readValue(settingsKey(SETTINGS_KEY_IP), QString()).toString();
    login.port = CSettings::readValue(settingsKey(SETTINGS_KEY_PORT), QString()).toString();
    login.login = CSettings::readValue(settingsKey(SETTINGS_KEY_LOGIN), QString()).toString();
    login.password = CSettings::readValue(settingsKey(SETTINGS_KEY_PASSWORD), QString()).toString();
    return login;
}

void CGateway::logNoServerConfigured() const
{
    CLogFile::addLog(QStringLiteral("WARNING: [main] No network server is configured, so no uplinks arrive: set "
                                    "[server] ip, port, login and password (or [server] kind=chirpstack or tts with "
                                    "[mqtt] host) in %1, or log in from the window")
                         .arg(QDir(config.workDir).absoluteFilePath(SETTINGS_FILE_NAME)));
}

void CGateway::connectToSavedServer()
{
    if (config.serverKind != EServerKind::eWebSocket) {
        if (config.mqtt.host.isEmpty()) {
            CLogFile::addLog(QStringLiteral("[main] MQTT host is empty"));
            logNoServerConfigured();
            return;
        }
        connectToMqtt(config.mqtt, false);
        return;
    }
    const SServerLogin login = SServerLogin::fromSettings();
    const QList<QPair<QString, QString>> required = {
        { login.host, QStringLiteral("[main] IP is empty") },
        { login.port, QStringLiteral("[main] PORT is empty") },
        { login.login, QStringLiteral("[main] LOGIN is empty") },
        { login.password, QStringLiteral("[main] PASSWORD is empty") },
    };
    for (const auto &field : required) {
        if (field.first.isEmpty()) {
            CLogFile::addLog(field.second);
            if (login.host.isEmpty() && login.port.isEmpty() && login.login.isEmpty() && login.password.isEmpty())
                logNoServerConfigured();
            return;
        }
    }
    connectToServer(login, false);
}

void CGateway::connectToServer(const SServerLogin &_login, bool _saveOnSuccess)
{
    if (config.serverKind != EServerKind::eWebSocket)
        mqtt.disconnectSlot();
    config.serverKind = EServerKind::eWebSocket;
    downlinks.setServerKind(config.serverKind);
    if (registry)
        registry->setServerDecodes(false);
    saveLoginOnSuccess = _saveOnSuccess;
    pendingLogin = _login;
    server.connectSlot(_login.origin(), _login.login, _login.password);
}

void CGateway::connectToMqtt(const SMqttSettings &_settings, bool _saveOnSuccess)
{
    if (config.serverKind == EServerKind::eWebSocket)
        server.disconnectSlot();
    config.serverKind = _settings.kind;
    downlinks.setServerKind(config.serverKind);
    if (registry)
        registry->setServerDecodes(true);
    config.mqtt = _settings;
    saveLoginOnSuccess = _saveOnSuccess;
    mqtt.connectSlot(_settings);
}

void CGateway::serverStatusSlot(COMM::EServerStatus _status)
{
    status = _status;
    if (_status == COMM::eSuccess) {
        if (config.serverKind == EServerKind::eWebSocket)
            CLogFile::addLog(QStringLiteral("INFO: [CGateway::serverStatusSlot] Logged in to the server as [%1]")
                                 .arg(pendingLogin.login));
        // Only a connection the operator confirmed and the server accepted is kept for the next start;
        // reconnections by themselves change nothing.
        if (saveLoginOnSuccess) {
            saveLoginOnSuccess = false;
            saveConnection();
        }
    } else if (_status == COMM::eInvalidAuth) {
        saveLoginOnSuccess = false;
    }
    emit serverStatusChanged(_status);
}

void CGateway::saveConnection()
{
    QList<QPair<QString, QVariant>> entries;
    if (config.serverKind == EServerKind::eWebSocket)
        entries = { { settingsKey(SETTINGS_KEY_IP), pendingLogin.host },
            { settingsKey(SETTINGS_KEY_PORT), pendingLogin.port },
            { settingsKey(SETTINGS_KEY_LOGIN), pendingLogin.login },
            { settingsKey(SETTINGS_KEY_PASSWORD), pendingLogin.password }, MQTT::kindEntry(EServerKind::eWebSocket) };
    else
        entries = MQTT::mqttEntries(config.mqtt);
    for (const auto &entry : entries) {
        if (!CSettings::writeValue(entry.first, entry.second)) {
            CLogFile::addLog(config.serverKind == EServerKind::eWebSocket
                    ? QStringLiteral("ERROR: [CGateway::saveConnection] Server log-in is not saved!")
                    : QStringLiteral("ERROR: [CGateway::saveConnection] MQTT settings are not saved!"));
            return;
        }
    }
}

COMM::EServerStatus CGateway::serverStatus() const
{
    return status;
}

QString CGateway::templateOfHeard(const API::SHeardDevice &_device) const
{
    if (!_device.joinEui.isEmpty() && !registry->getTemplateInfo(_device.joinEui).appEui.isEmpty())
        return registry->getTemplateInfo(_device.joinEui).appEui;
    if (_device.profileName.isEmpty())
        return QString();
    return registry->templateOfDeviceProfile(_device.profileName);
}

bool CGateway::requestDeviceList()
{
    if (listsHeardDevices()) {
        const QStringList stored = registeredDevices();
        QList<API::SServerDeviceInfo> devices;
        for (int row = 0; row < heardDevices.rowCount(); ++row) {
            const API::SHeardDevice device = heardDevices.device(
                heardDevices.index(row, CHeardDevices::eDevEuiColumn).data().toString());
            const QString appEui = templateOfHeard(device);
            if (!appEui.isEmpty() && !stored.contains(CEui(device.devEui).text()))
                devices.append({ device.devEui, appEui, device.name });
        }
        // Queued like a server's answer, so the dialog shows WAITING... first as always.
        QMetaObject::invokeMethod(this, [this, devices] { emit deviceListReceived(true, devices); },
                                  Qt::QueuedConnection);
        return true;
    }
    QStringList appEuis;
    for (const SDeviceTemplateInfo &info : registry->getTemplateList())
        appEuis.append(info.appEui);
    return server.getDevicesList(appEuis);
}
