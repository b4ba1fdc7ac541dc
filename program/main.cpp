#include <clocale>
#include <cstdio>

#include <QApplication>
#include <QDir>
#include <QLoggingCategory>
#include <QTextStream>

#include "app/cinstancelock.h"
#include "app/clogfile.h"
#include "app/commandline.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "gateway/cheadlessservice.h"
#include "gateway/cprovisioning.h"
#include "modbus/modbuslimits.h"
#include "server/mqttsettings.h"
#include "ui/cgatewaystartup.h"
#include "ui/mainwindow.h"
#include "ui/theme.h"

namespace {

// Settings, log and tables of the working directory, as every mode needs them.
void openWorkingDirectory()
{
    // Parse details are for developers; without a window stderr carries the log instead.
    // QT_LOGGING_RULES="default.debug=true" brings them back.
    if (!qobject_cast<QApplication *>(QCoreApplication::instance()))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    fillGlobalTables();
    CSettings::getInstance(SETTINGS_FILE_NAME);
    CLogFile::getInstance(QStringLiteral("history.log"));
    // Each Modbus client and the database take a descriptor: as many as the system allows.
    raiseOpenFileLimit();
}

// The gateway's configuration from settings.conf; false with a message when it is unusable.
bool readConfig(SGatewayConfig *_config)
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
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    setlocale(LC_ALL, "");
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const SCommandLine commandLine = parseCommandLine(arguments);
    const int exitCode = settleCommandLine(commandLine, QProcessEnvironment::systemEnvironment());
    if (exitCode >= 0)
        return exitCode;

    if (commandLine.action == SCommandLine::eCommand) {
        QCoreApplication application(argc, argv);
        openWorkingDirectory();
        QTextStream out(stdout);
        QTextStream err(stderr);
        return CProvisioning(out, err).run(commandLine.command);
    }

    CInstanceLock lock(QDir::currentPath());
    qint64 holder = 0;
    if (!lock.acquire(&holder)) {
        std::fprintf(stderr, "another Kelvara is running in %s (pid %lld)\n", qPrintable(QDir::currentPath()),
                     static_cast<long long>(holder));
        return 1;
    }

    if (commandLine.headless) {
        QCoreApplication application(argc, argv);
        openWorkingDirectory();
        SGatewayConfig config;
        if (!readConfig(&config))
            return 1;
        return CHeadlessService(config).run();
    }

    QApplication application(argc, argv);
    application.setStyleSheet(loadThemeStyleSheet());
    loadThemeIcons();
    openWorkingDirectory();
    SGatewayConfig config;
    if (!readConfig(&config))
        return 1;
    CGatewayStartup startup(config);
    if (!startup.start())
        return 1;
    startup.window()->show();
    return application.exec();
}
