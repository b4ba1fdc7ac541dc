#include "gateway/devicefiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSqlRecord>

#include <algorithm>
#include <cmath>

#include "app/ceui.h"
#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "gateway/cgateway.h"
#include "gateway/deviceinput.h"
#include "gateway/registermap.h"
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
        if (!CEui::isWellFormed(entry.devEui))
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
