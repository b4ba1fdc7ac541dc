#include "gateway/startupconfig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>

#include <cstdio>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "gateway/settingsfile.h"
#include "modbus/modbuslimits.h"
#include "modbus/modbuswrite.h"
#include "server/mqttsettings.h"

void openWorkingDirectory(ERun _run)
{
    if (_run != ERun::eWindow)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    fillGlobalTables();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile *log = CLogFile::getInstance(QStringLiteral("history.log"));
    // A command leaves one line about its change in the gateway's log, and no banner.
    if (_run == ERun::eCommand)
        log->setChangesOnly(true);
    else
        log->startSession();
    // Each Modbus client and the database take a descriptor.
    raiseOpenFileLimit(CLogFile::getInstance(QString()));
}

bool readGatewayConfig(const QSettings &_settings, SGatewayConfig *_config, QString *_error)
{
    // An unreadable file would read as no settings at all, and no write_allow as "any client".
    if (_settings.status() != QSettings::NoError || (QFile::exists(_settings.fileName())
                                                         && !QFileInfo(_settings.fileName()).isReadable())) {
        *_error = QStringLiteral("%1 cannot be read").arg(_settings.fileName());
        return false;
    }
    _config->serverKind = MQTT::readServerKind(_settings);
    _config->mqtt = MQTT::readMqttSettings(_settings);
    _config->modbusLimits = readModbusLimits(_settings);
    const QString bind = _settings.value(QStringLiteral("modbus/bind")).toString().trimmed();
    if (!bind.isEmpty() && !_config->modbusBind.setAddress(bind)) {
        *_error = QStringLiteral("[modbus] bind=%1 in %2 is not an IP address").arg(bind, SETTINGS_FILE_NAME);
        return false;
    }
    const QString allow = _settings.value(QStringLiteral("modbus/write_allow")).toString();
    QString badEntry;
    if (!MODBUS::parseWriteAllow(allow, &_config->writeAllow, &badEntry)) {
        *_error = QStringLiteral("[modbus] write_allow in %1: %2 is not an address or network")
                      .arg(SETTINGS_FILE_NAME, badEntry);
        return false;
    }
    QString webProblem;
    if (!readWebSettings(_settings, &_config->web, &webProblem)) {
        *_error = QStringLiteral("%1 in %2").arg(webProblem, SETTINGS_FILE_NAME);
        return false;
    }
    QString historyProblem;
    if (!readHistorySettings(_settings, &_config->history, &historyProblem)) {
        *_error = QStringLiteral("%1 in %2").arg(historyProblem, SETTINGS_FILE_NAME);
        return false;
    }
    return true;
}

bool readGatewayConfig(SGatewayConfig *_config)
{
    _config->workDir = QDir::currentPath();
    QString error;
    if (readGatewayConfig(*CSettings::getInstance(QString()), _config, &error))
        return true;
    std::fprintf(stderr, "kelvara: %s\n", qPrintable(error));
    return false;
}
