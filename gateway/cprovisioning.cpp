#include "gateway/cprovisioning.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <csignal>

#include "app/ceui.h"
#include "app/cinstancelock.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "devices/ccodecrunner.h"
#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "gateway/cgateway.h"
#include "gateway/commandoptions.h"
#include "gateway/deviceinput.h"
#include "gateway/devicefiles.h"
#include "gateway/registermap.h"
#include "gateway/settingsfile.h"
#include "store/storecolumns.h"

namespace {

EServerKind serverKindOfSettings()
{
    const QSettings *settings = CSettings::getInstance(QString());
    return settings ? MQTT::readServerKind(*settings) : EServerKind::eWebSocket;
}

} // namespace

CProvisioning::CProvisioning(QTextStream &_out, QTextStream &_err)
    : out(_out)
    , err(_err)
{
}

int CProvisioning::usage(const QString &_problem)
{
    err << "kelvara: " << _problem << "\n";
    err.flush();
    return 2;
}

int CProvisioning::refuse(const QString &_problem)
{
    err << "kelvara: " << _problem << "\n";
    err.flush();
    return 1;
}

int CProvisioning::run(const QStringList &_command)
{
    const QString group = _command.value(0);
    const QString verb = _command.value(1);
    const QStringList arguments = _command.mid(2);
    commandName = group + QLatin1Char(' ') + verb;
    if (group == QLatin1String("templates") && verb == QLatin1String("check"))
        return checkTemplates(arguments);
    if (group == QLatin1String("templates") && verb == QLatin1String("try"))
        return tryTemplate(arguments);

    SGatewayConfig config;
    config.workDir = QDir::currentPath();
    // Templates that need the network server's decoded objects load only with a server that sends them.
    config.serverKind = serverKindOfSettings();
    config.serveDevices = false;
    CGateway gateway(config);
    QString reason;
    if (!gateway.start(&reason))
        return refuse(QStringLiteral("the register store cannot be opened: %1").arg(reason));

    if (group == QLatin1String("templates") && verb == QLatin1String("list") && arguments.isEmpty())
        return listTemplates(gateway);
    if (group != QLatin1String("devices"))
        return usage(QStringLiteral("unknown command %1 %2").arg(group, verb));
    if (verb == QLatin1String("list")) {
        if (arguments.isEmpty() || arguments == QStringList { QStringLiteral("--json") })
            return listDevices(gateway, !arguments.isEmpty());
        return usage(QStringLiteral("devices list takes only --json"));
    }
    if (verb == QLatin1String("add"))
        return addDevice(gateway, arguments);
    if (verb == QLatin1String("remove"))
        return removeDevice(gateway, arguments);
    if (verb == QLatin1String("export"))
        return exportDevices(gateway, arguments);
    if (verb == QLatin1String("import"))
        return importDevices(gateway, arguments);
    return usage(QStringLiteral("unknown command devices %1").arg(verb));
}

void CProvisioning::notifyRunningGateway(const QString &_change)
{
    CLogFile::addChangeLog(QStringLiteral("INFO: [kelvara %1] %2").arg(commandName, _change));
    const qint64 pid = CInstanceLock::runningPid(QDir::currentPath());
    if (pid <= 0)
        return;
    if (::kill(pid_t(pid), SIGHUP) == 0)
        out << "the gateway running here (pid " << pid << ") takes the change now\n";
    else
        err << "kelvara: the gateway running here (pid " << pid << ") could not be told; restart it\n";
}

int CProvisioning::listDevices(CGateway &_gateway, bool _json)
{
    const QList<SDeviceRow> rows = storedRows(_gateway);
    if (_json) {
        QJsonArray devices;
        for (const SDeviceRow &row : rows)
            devices.append(QJsonObject { { "dev_eui", row.devEui }, { "name", row.name },
                                         { "template", _gateway.templateInfo(row.appEui).devType },
                                         { "app_eui", row.appEui }, { "port", row.port },
                                         { "start_address", row.startAddr },
                                         { "writable", _gateway.isWritable(row.devEui) } });
        out << QJsonDocument(devices).toJson(QJsonDocument::Indented);
        return 0;
    }
    for (const SDeviceRow &row : rows)
        out << row.devEui << "  port " << row.port << "  start " << row.startAddr << "  "
            << _gateway.templateInfo(row.appEui).devType << "  " << row.name << "\n";
    return 0;
}

int CProvisioning::addDevice(CGateway &_gateway, const QStringList &_arguments)
{
    QMap<QString, QString> options;
    QStringList positional;
    QString problem;
    const QStringList required = { "--dev-eui", "--template", "--name", "--port", "--start" };
    const QStringList optional = { "--unit-id", "--word-order", "--stale-after", "--stale-policy" };
    if (!readOptions(_arguments, required + optional, { "--writable" }, &options, &positional, &problem))
        return usage(problem);
    if (!positional.isEmpty())
        return usage(QStringLiteral("unexpected argument %1").arg(positional.first()));
    for (const QString &name : required) {
        if (!options.contains(name))
            return usage(QStringLiteral("devices add needs %1").arg(name));
    }
    const QString devEui = options.value("--dev-eui");
    if (!CEui::isWellFormed(devEui))
        return refuse(QStringLiteral("--dev-eui %1 is not 16 hex digits").arg(devEui));
    QString appEui;
    for (const SDeviceTemplateInfo &info : _gateway.templates()) {
        if (info.devType.compare(options.value("--template"), Qt::CaseInsensitive) == 0)
            appEui = info.appEui;
    }
    if (appEui.isEmpty())
        return refuse(QStringLiteral("no template has dev_type \"%1\"").arg(options.value("--template")));
    int port = 0;
    if (!readNumber(options.value("--port"), 1, 65535, &port))
        return refuse(QStringLiteral("--port %1 is not a TCP port (1-65535)").arg(options.value("--port")));
    int start = 0;
    if (!readNumber(options.value("--start"), 0, 65535, &start))
        return refuse(QStringLiteral("--start %1 is not a register address (0-65535)").arg(options.value("--start")));

    DB::SDeviceRegMapDescription device;
    device.devEui = devEui;
    device.appEui = appEui;
    device.name = options.value("--name");
    device.startAddr = start;
    device.registers = _gateway.regMap(appEui).registers;
    if (!readSettings(options.value("--unit-id"), options.value("--word-order"), options.value("--stale-after"),
                      options.value("--stale-policy"),
                      options.contains("--writable") ? QStringLiteral("true") : QString(), &device, &problem))
        return refuse(problem);
    const SGatewayResult result = _gateway.addDevice(device, static_cast<uint16_t>(port));
    if (!result.ok())
        return refuse(result.message);
    const QString change = QStringLiteral("added %1 on port %2 from register %3%4")
                               .arg(devEui)
                               .arg(port)
                               .arg(start)
                               .arg(device.writable ? QStringLiteral(", writes on") : QString());
    out << change << "\n";
    notifyRunningGateway(change);
    return 0;
}

int CProvisioning::removeDevice(CGateway &_gateway, const QStringList &_arguments)
{
    QMap<QString, QString> options;
    QStringList positional;
    QString problem;
    if (!readOptions(_arguments, { "--dev-eui" }, {}, &options, &positional, &problem))
        return usage(problem);
    if (!positional.isEmpty() || !options.contains("--dev-eui"))
        return usage(QStringLiteral("devices remove needs --dev-eui and nothing else"));
    const CEui wanted(options.value("--dev-eui"));
    for (const SDeviceRow &row : storedRows(_gateway)) {
        if (CEui(row.devEui) != wanted)
            continue;
        const SGatewayResult result = _gateway.removeDevice(row.id, row.devEui, row.port);
        if (!result.ok())
            return refuse(result.message);
        const QString change = QStringLiteral("removed %1 from port %2").arg(row.devEui).arg(row.port);
        out << change << "\n";
        notifyRunningGateway(change);
        return 0;
    }
    return refuse(QStringLiteral("no device %1 is registered").arg(options.value("--dev-eui")));
}

int CProvisioning::exportDevices(CGateway &_gateway, const QStringList &_arguments)
{
    QMap<QString, QString> options;
    QStringList positional;
    QString problem;
    if (!readOptions(_arguments, { "--format" }, { "--map" }, &options, &positional, &problem))
        return usage(problem);
    const bool map = options.contains("--map");
    const QString format = options.value("--format", QStringLiteral("csv"));
    if (map && format != QLatin1String("csv") && format != QLatin1String("md"))
        return usage(QStringLiteral("--format of --map is csv or md"));
    if (!map && format != QLatin1String("csv") && format != QLatin1String("json"))
        return usage(QStringLiteral("--format is csv or json"));
    if (positional.size() > 1)
        return usage(QStringLiteral("devices export writes one file"));

    QString text;
    if (map) {
        const QList<SRegisterMapRow> values = registerMap(_gateway);
        text = format == QLatin1String("md") ? registerMapMarkdown(values) : registerMapCsv(values);
    } else {
        text = exportedDevices(_gateway, format == QLatin1String("json"));
    }
    const int count = storedRows(_gateway).size();
    if (positional.isEmpty()) {
        out << text;
        return 0;
    }
    QSaveFile file(positional.first());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        return refuse(QStringLiteral("%1 cannot be written: %2").arg(positional.first(), file.errorString()));
    if (map)
        out << "exported the register map of " << count << " devices to " << positional.first() << "\n";
    else
        out << "exported " << count << " devices to " << positional.first() << "\n";
    return 0;
}

int CProvisioning::importDevices(CGateway &_gateway, const QStringList &_arguments)
{
    if (_arguments.size() != 1 || _arguments.first().startsWith(QLatin1String("--")))
        return usage(QStringLiteral("devices import needs one FILE"));
    const QString path = _arguments.first();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString()));
    int imported = 0;
    QString problem;
    if (!importDeviceFile(_gateway, file.readAll(), path, &imported, &problem))
        return refuse(problem);
    const QString change = QStringLiteral("imported %1 devices from %2").arg(imported).arg(path);
    out << "imported " << imported << " devices\n";
    notifyRunningGateway(change);
    return 0;
}

int CProvisioning::listTemplates(CGateway &_gateway)
{
    for (const SDeviceTemplateInfo &info : _gateway.templates())
        out << info.appEui << "  " << info.devType << "\n";
    return 0;
}

int CProvisioning::checkTemplates(const QStringList &_files)
{
    CCodecRunner codecs;
    STemplateContext context;
    context.codecs = &codecs;
    context.serverDecodes = serverKindOfSettings() != EServerKind::eWebSocket;
    QStringList files = _files;
    if (files.isEmpty()) {
        const QDir dir(DEVICE_FOLDER);
        for (const QString &name : dir.entryList({ QStringLiteral("*.json") }, QDir::Files, QDir::Name))
            files << dir.filePath(name);
    }
    int bad = 0;
    for (const QString &path : files) {
        const QFileInfo info(path);
        QList<SExampleOutcome> examples;
        const QList<STemplateProblem> problems
            = checkTemplateFile(info.absolutePath(), info.fileName(), context, &examples);
        for (const SExampleOutcome &example : qAsConst(examples))
            out << path << ": " << example.name << ": " << (example.problem.isEmpty() ? QStringLiteral("ok") : example.problem)
                << "\n";
        if (problems.isEmpty()) {
            out << path << ": ok\n";
            continue;
        }
        ++bad;
        for (const STemplateProblem &problem : problems)
            err << path << ": " << (problem.key.isEmpty() ? QString() : problem.key + QStringLiteral(": "))
                << problem.text << "\n";
    }
    err.flush();
    return bad == 0 ? 0 : 1;
}

int CProvisioning::tryTemplate(const QStringList &_arguments)
{
    QMap<QString, QString> options;
    QStringList positional;
    QString error;
    if (!readOptions(_arguments, { QStringLiteral("--payload"), QStringLiteral("--f-port") }, {}, &options, &positional,
            &error))
        return usage(error);
    if (positional.size() != 1 || !options.contains(QStringLiteral("--payload")))
        return usage(QStringLiteral("templates try FILE --payload HEX [--f-port N]"));
    const QString hex = options.value(QStringLiteral("--payload"));
    if (!API::isHexBytes(hex) || hex.isEmpty())
        return usage(QStringLiteral("--payload %1 is not pairs of hex digits").arg(hex));
    bool portOk = true;
    const int fPort = options.value(QStringLiteral("--f-port"), QStringLiteral("1")).toInt(&portOk);
    if (!portOk || fPort < 1 || fPort > 223)
        return usage(QStringLiteral("--f-port %1 is not 1-223").arg(options.value(QStringLiteral("--f-port"))));

    CCodecRunner codecs;
    STemplateContext context;
    context.codecs = &codecs;
    const QFileInfo info(positional.first());
    QList<STemplateProblem> problems;
    const SDeviceTemplate parsed = readTemplate(info.absolutePath(), info.fileName(), context, &problems);
    if (!parsed.valid) {
        for (const STemplateProblem &problem : problems)
            err << info.filePath() << ": " << (problem.key.isEmpty() ? QString() : problem.key + QStringLiteral(": "))
                << problem.text << "\n";
        err.flush();
        return 1;
    }
    if (!parsed.hasDecoder || parsed.decoder.network)
        return refuse(QStringLiteral("%1 has no codec of its own to try").arg(info.filePath()));
    const SCodecResult decoded
        = codecs.decode(parsed.decoder.codecPath, fPort, QByteArray::fromHex(hex.toLatin1()), QDateTime::currentMSecsSinceEpoch());
    if (!decoded.ok())
        return refuse(QStringLiteral("the codec refuses the payload: %1").arg(decoded.error));
    out << "decoded:\n" << QString::fromUtf8(QJsonDocument(decoded.data).toJson(QJsonDocument::Indented));
    for (const QString &warning : decoded.warnings)
        out << "warning: " << warning << "\n";
    for (const STryField &field : tryDecodedFields(parsed, decoded.data))
        out << field.line << "\n";
    return 0;
}
