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
#include "gateway/deviceinput.h"
#include "gateway/registermap.h"
#include "gateway/settingsfile.h"
#include "store/storecolumns.h"

namespace {

// A register entry's offset as the file gives it, for a refusal.
QString offsetText(const QJsonValue &_offset)
{
    if (_offset.isUndefined())
        return QStringLiteral("(none)");
    return _offset.isDouble() ? QString::number(_offset.toDouble(), 'g', 17) : _offset.toVariant().toString();
}

const QStringList CSV_COLUMNS = { "dev_eui", "name", "template", "port", "start_address" };
// Written after the first five when a device has settings other than the defaults.
const QStringList CSV_SETTINGS_COLUMNS = { "unit_id", "word_order", "stale_after", "stale_policy", "writable" };
// Files exported before devices could be writable have the settings without it.
const int CSV_SETTINGS_BEFORE_WRITABLE = 4;

struct SDeviceRow
{
    uint32_t id = 0;
    QString devEui;
    QString name;
    QString appEui;
    uint16_t port = 0;
    int startAddr = 0;
};

EServerKind serverKindOfSettings()
{
    const QSettings *settings = CSettings::getInstance(QString());
    return settings ? MQTT::readServerKind(*settings) : EServerKind::eWebSocket;
}

QList<SDeviceRow> storedRows(const CGateway &_gateway)
{
    QList<SDeviceRow> rows;
    for (const QSqlRecord &device : _gateway.devices(QString()))
        rows.append({ device.value(DEV_COL_DEVICE).toUInt(), device.value(DEV_COL_DEV_EUI).toString(),
                      device.value(DEV_COL_NAME).toString(), device.value(DEV_COL_APP_EUI).toString(),
                      static_cast<uint16_t>(device.value(DEV_COL_PORT).toUInt()),
                      device.value(DEV_COL_START_ADDR).toInt() });
    return rows;
}

// --name value pairs of a command, each option at most once; anything else is positional.
bool readOptions(const QStringList &_arguments, const QStringList &_withValue, const QStringList &_flags,
                 QMap<QString, QString> *_options, QStringList *_positional, QString *_error)
{
    for (int i = 0; i < _arguments.size(); ++i) {
        const QString &argument = _arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            _positional->append(argument);
            continue;
        }
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        if (_options->contains(name)) {
            *_error = QStringLiteral("%1 given twice").arg(name);
            return false;
        }
        if (_flags.contains(name)) {
            _options->insert(name, QString());
        } else if (_withValue.contains(name)) {
            if (argument.contains(QLatin1Char('=')))
                _options->insert(name, argument.section(QLatin1Char('='), 1));
            else if (i + 1 < _arguments.size())
                _options->insert(name, _arguments.at(++i));
            else {
                *_error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
        } else {
            *_error = QStringLiteral("unknown option %1").arg(argument);
            return false;
        }
    }
    return true;
}

bool hasDefaultSettings(const DB::SDeviceRegMapDescription &_device)
{
    return _device.unitId == 0 && _device.wordOrder == EWordOrder::Big && _device.staleAfter == 0
        && _device.stalePolicy == EStalePolicy::Keep && !_device.writable;
}

QString csvField(const QString &_text)
{
    if (!_text.contains(QRegularExpression(QStringLiteral("[,\"\r\n]"))))
        return _text;
    return QLatin1Char('"') + QString(_text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

// Rows of fields; quotes may hold commas, doubled quotes and line breaks.
QList<QStringList> parseCsv(const QString &_text, QString *_error)
{
    QList<QStringList> rows;
    QStringList row;
    QString field;
    bool quoted = false;
    bool fieldStarted = false;
    for (int i = 0; i < _text.size(); ++i) {
        const QChar c = _text.at(i);
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < _text.size() && _text.at(i + 1) == QLatin1Char('"')) {
                field += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == QLatin1Char('"') && !fieldStarted) {
            quoted = true;
            fieldStarted = true;
        } else if (c == QLatin1Char(',')) {
            row << field;
            field.clear();
            fieldStarted = false;
        } else if (c == QLatin1Char('\n')) {
            row << field;
            if (!(row.size() == 1 && row.first().trimmed().isEmpty()))
                rows << row;
            row.clear();
            field.clear();
            fieldStarted = false;
        } else if (c != QLatin1Char('\r')) {
            field += c;
            fieldStarted = true;
        }
    }
    if (quoted) {
        *_error = QStringLiteral("a quoted field is not closed");
        return {};
    }
    if (fieldStarted || !row.isEmpty()) {
        row << field;
        rows << row;
    }
    return rows;
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
    if (!isDevEui(devEui))
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

QString exportedDevices(const CGateway &_gateway, bool _json)
{
    QString text;
    const QList<SDeviceRow> rows = storedRows(_gateway);
    QMap<CEui, DB::SDeviceRegMapDescription> settings;
    bool allDefault = true;
    for (const auto &device : _gateway.storedDevices()) {
        settings.insert(CEui(device.first.devEui), device.first);
        allDefault = allDefault && hasDefaultSettings(device.first);
    }
    const auto settingsFields = [&](const SDeviceRow &_row) {
        const DB::SDeviceRegMapDescription device = settings.value(CEui(_row.devEui));
        return QStringList { QString::number(device.unitId), wordOrderName(device.wordOrder),
                             QString::number(device.staleAfter), stalePolicyName(device.stalePolicy),
                             device.writable ? QStringLiteral("true") : QStringLiteral("false") };
    };
    if (!_json) {
        // Devices with default settings export as they always have.
        text = (allDefault ? CSV_COLUMNS : CSV_COLUMNS + CSV_SETTINGS_COLUMNS).join(QLatin1Char(',')) + QLatin1Char('\n');
        for (const SDeviceRow &row : rows)
            text += (QStringList { csvField(row.devEui), csvField(row.name),
                                   csvField(_gateway.templateInfo(row.appEui).devType), QString::number(row.port),
                                   QString::number(row.startAddr) }
                     + (allDefault ? QStringList() : settingsFields(row)))
                        .join(QLatin1Char(','))
                + QLatin1Char('\n');
    } else {
        QJsonArray devices;
        for (const SDeviceRow &row : rows) {
            QJsonArray registers;
            for (const QSqlRecord &reg : _gateway.registers(row.id))
                registers.append(QJsonObject {
                    { "name", reg.value(REG_COL_NAME).toString() },
                    { "offset", reg.value(REG_COL_REG_ADDR).toInt() - row.startAddr },
                    { "multiplier", reg.value(REG_COL_GRATING_PERIOD).toDouble() },
                    { "added_value", reg.value(REG_COL_START_VALUE).toDouble() },
                    { "unit", reg.value(REG_COL_UNIT).toString() } });
            const QStringList own = settingsFields(row);
            devices.append(QJsonObject { { "dev_eui", row.devEui }, { "name", row.name },
                                         { "template", _gateway.templateInfo(row.appEui).devType },
                                         { "port", row.port }, { "start_address", row.startAddr },
                                         { "unit_id", own.at(0).toInt() }, { "word_order", own.at(1) },
                                         { "stale_after", own.at(2).toInt() }, { "stale_policy", own.at(3) },
                                         { "writable", own.at(4) == QLatin1String("true") },
                                         { "registers", registers } });
        }
        text = QString::fromUtf8(QJsonDocument(devices).toJson(QJsonDocument::Indented));
    }
    return text;
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

bool importDeviceFile(CGateway &_gateway, const QByteArray &_bytes, const QString &_name, int *_imported,
                      QString *_problem)
{
    const auto fail = [_problem](const QString &_reason) {
        *_problem = _reason;
        return false;
    };
    const QByteArray &bytes = _bytes;
    // One entry per device as the file gives it: the fields, and the registers' scaling (JSON).
    struct SImportRow
    {
        int line = 0;
        QString devEui, name, templateName, port, start;
        QJsonArray registers;
        QString unitId, wordOrder, staleAfter, stalePolicy, writable;
    };
    QList<SImportRow> entries;
    if (bytes.trimmed().startsWith('[')) {
        QJsonParseError parseError;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
        if (!document.isArray())
            return fail(QStringLiteral("%1 is not a JSON list of devices: %2").arg(_name, parseError.errorString()));
        int index = 0;
        for (const QJsonValue &value : document.array()) {
            const QJsonObject object = value.toObject();
            const auto text = [&](const char *_key) {
                const QJsonValue field = object.value(QLatin1String(_key));
                if (field.isBool())
                    return field.toBool() ? QStringLiteral("true") : QStringLiteral("false");
                return field.isDouble() ? QString::number(field.toDouble(), 'g', 17) : field.toString();
            };
            entries.append({ ++index, text("dev_eui"), text("name"), text("template"), text("port"),
                             text("start_address"), object.value(QStringLiteral("registers")).toArray(),
                             text("unit_id"), text("word_order"), text("stale_after"), text("stale_policy"),
                             text("writable") });
        }
    } else {
        QString problem;
        const QList<QStringList> rows = parseCsv(QString::fromUtf8(bytes), &problem);
        if (!problem.isEmpty())
            return fail(QStringLiteral("%1: %2").arg(_name, problem));
        const QStringList withSettings = CSV_COLUMNS + CSV_SETTINGS_COLUMNS;
        const QStringList withOlderSettings = CSV_COLUMNS + CSV_SETTINGS_COLUMNS.mid(0, CSV_SETTINGS_BEFORE_WRITABLE);
        if (rows.isEmpty()
            || (rows.first() != CSV_COLUMNS && rows.first() != withSettings && rows.first() != withOlderSettings))
            return fail(QStringLiteral("%1: the first row must be %2").arg(_name, CSV_COLUMNS.join(QLatin1Char(','))));
        const int columns = rows.first().size();
        for (int i = 1; i < rows.size(); ++i) {
            const QStringList &row = rows.at(i);
            if (row.size() != columns)
                return fail(QStringLiteral("%1 row %2: %3 fields, not %4").arg(_name).arg(i + 1).arg(row.size()).arg(columns));
            entries.append({ i + 1, row.at(0), row.at(1), row.at(2), row.at(3), row.at(4), QJsonArray(), row.value(5),
                             row.value(6), row.value(7), row.value(8), row.value(9) });
        }
    }

    QMap<QString, QString> appEuiByType;
    for (const SDeviceTemplateInfo &info : _gateway.templates())
        appEuiByType.insert(info.devType.toLower(), info.appEui);
    QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> devices;
    for (const SImportRow &entry : entries) {
        const QString where = QStringLiteral("%1 row %2 (%3)").arg(_name).arg(entry.line).arg(entry.devEui);
        if (!isDevEui(entry.devEui))
            return fail(QStringLiteral("%1: dev_eui is not 16 hex digits; nothing imported").arg(where));
        const QString appEui = appEuiByType.value(entry.templateName.toLower());
        if (appEui.isEmpty())
            return fail(QStringLiteral("%1: no template has dev_type \"%2\"; nothing imported")
                              .arg(where, entry.templateName));
        int port = 0;
        int start = 0;
        if (!readNumber(entry.port, 1, 65535, &port))
            return fail(QStringLiteral("%1: port %2 is not 1-65535; nothing imported").arg(where, entry.port));
        if (!readNumber(entry.start, 0, 65535, &start))
            return fail(QStringLiteral("%1: start_address %2 is not 0-65535; nothing imported").arg(where, entry.start));
        DB::SDeviceRegMapDescription device;
        device.devEui = entry.devEui;
        device.appEui = appEui;
        device.name = entry.name;
        device.startAddr = start;
        device.registers = _gateway.regMap(appEui).registers;
        QString wrongSetting;
        if (!readSettings(entry.unitId, entry.wordOrder, entry.staleAfter, entry.stalePolicy, entry.writable, &device,
                          &wrongSetting))
            return fail(QStringLiteral("%1: %2; nothing imported").arg(where, wrongSetting));
        for (const QJsonValue &value : entry.registers) {
            const QJsonObject scaling = value.toObject();
            // A scaling that names no register of the template would be dropped in silence.
            const QJsonValue offsetValue = scaling.value(QStringLiteral("offset"));
            const double offset = offsetValue.toDouble(-1);
            const QString name = scaling.value(QStringLiteral("name")).toString();
            const auto atOffset = [&](const SRegisterDescription &_reg) { return _reg.offset == offset; };
            if (!offsetValue.isDouble() || offset != std::trunc(offset)
                || std::none_of(device.registers.cbegin(), device.registers.cend(), atOffset))
                return fail(QStringLiteral("%1: registers: offset %2 names no register of template \"%3\"; "
                                             "nothing imported")
                                  .arg(where, offsetText(offsetValue), entry.templateName));
            if (scaling.contains(QStringLiteral("name"))
                && std::none_of(device.registers.cbegin(), device.registers.cend(),
                                [&](const SRegisterDescription &_reg) { return atOffset(_reg) && _reg.name == name; }))
                return fail(QStringLiteral("%1: registers: name \"%2\" and offset %3 disagree: the register at "
                                             "offset %3 is not \"%2\"; nothing imported")
                                  .arg(where, name)
                                  .arg(offset));
            for (SRegisterDescription &reg : device.registers) {
                if (!atOffset(reg) || (scaling.contains(QStringLiteral("name")) && reg.name != name))
                    continue;
                reg.gratingPeriod = scaling.value(QStringLiteral("multiplier")).toDouble(1);
                reg.startValue = scaling.value(QStringLiteral("added_value")).toDouble(0);
                // Only a float32 register can store a scaled value with decimals.
                if (reg.format != REG_FORMAT_FLOAT32
                    && (reg.gratingPeriod != std::trunc(reg.gratingPeriod) || reg.startValue != std::trunc(reg.startValue)))
                    return fail(QStringLiteral("%1: register %2 is not float32, its multiplier and added value must "
                                                 "be whole numbers; nothing imported")
                                      .arg(where, reg.name));
                reg.unit = scaling.value(QStringLiteral("unit")).toString();
            }
        }
        devices.append({ device, static_cast<uint16_t>(port) });
    }
    int failedAt = -1;
    const SGatewayResult result = _gateway.addDevices(devices, &failedAt);
    if (!result.ok()) {
        const QString where = failedAt >= 0 ? QStringLiteral("%1 row %2 (%3): ")
                                                  .arg(_name)
                                                  .arg(entries.at(failedAt).line)
                                                  .arg(entries.at(failedAt).devEui)
                                            : QString();
        return fail(where + result.message + QStringLiteral("; nothing imported"));
    }
    *_imported = devices.size();
    return true;
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
