#include "gateway/startupconfig.h"

#include <QDir>
#include <QLoggingCategory>

#include <cstdio>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "modbus/modbuslimits.h"
#include "modbus/modbuswrite.h"
#include "server/mqttsettings.h"

void openWorkingDirectory(bool _withWindow)
{
    if (!_withWindow)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    fillGlobalTables();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile::getInstance(QStringLiteral("history.log"));
    // Each Modbus client and the database take a descriptor.
    raiseOpenFileLimit();
}

bool readGatewayConfig(SGatewayConfig *_config)
{
    _config->workDir = QDir::currentPath();
    const QSettings &settings = *CSettings::getInstance(QString());
    _config->serverKind = MQTT::readServerKind(settings);
    _config->mqtt = MQTT::readMqttSettings(settings);
    _config->modbusLimits = readModbusLimits();
    const QString bind = CSettings::readValue(QStringLiteral("modbus/bind"), QString()).toString().trimmed();
    if (!bind.isEmpty() && !_config->modbusBind.setAddress(bind)) {
        std::fprintf(stderr, "kelvara: [modbus] bind=%s in %s is not an IP address\n", qPrintable(bind),
                     qPrintable(SETTINGS_FILE_NAME));
        return false;
    }
    const QString allow = CSettings::readValue(QStringLiteral("modbus/write_allow"), QString()).toString();
    QString badEntry;
    if (!MODBUS::parseWriteAllow(allow, &_config->writeAllow, &badEntry)) {
        std::fprintf(stderr, "kelvara: [modbus] write_allow in %s: %s is not an address or network\n",
                     qPrintable(SETTINGS_FILE_NAME), qPrintable(badEntry));
        return false;
    }
    QString webProblem;
    if (!readWebSettings(settings, &_config->web, &webProblem)) {
        std::fprintf(stderr, "kelvara: %s in %s\n", qPrintable(webProblem), qPrintable(SETTINGS_FILE_NAME));
        return false;
    }
    return true;
}
