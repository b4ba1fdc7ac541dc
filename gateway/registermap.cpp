#include "gateway/registermap.h"

#include <QMap>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QStringList>

#include <algorithm>
#include <tuple>

#include "app/ceui.h"
#include "app/constants.h"
#include "devices/devicetemplate.h"
#include "gateway/cgateway.h"
#include "store/storecolumns.h"

namespace {

const QStringList HEADER = { "port", "unit_id", "first_register", "register", "register_count", "device", "dev_eui",
    "value", "format", "word_order", "multiplier", "added_value", "unit" };

QString number(double _value)
{
    return QString::number(_value, 'g', 15);
}

// What the registers of a command hold, in the names of the value formats.
QString commandFormat(const SDownlinkCommand &_command)
{
    if (_command.dataType == DATA_TYPE_FLOAT)
        return QStringLiteral("float32");
    const QString sign = _command.dataType == DATA_TYPE_INTEGER ? QStringLiteral("int") : QStringLiteral("uint");
    return sign + QString::number(16 * _command.registerCount());
}

QStringList fields(const SRegisterMapRow &_row)
{
    const bool coil = _row.format == COIL_FORMAT;
    return { QString::number(_row.port), QString::number(_row.unitId), QString::number(_row.firstRegister),
        coil ? coilNumber(_row.firstRegister) : holdingRegisterNumber(_row.firstRegister), QString::number(_row.registerCount), _row.deviceName, _row.devEui,
        _row.valueName, _row.format, _row.wordOrder, number(_row.multiplier), number(_row.addedValue), _row.unit };
}

QString csvField(const QString &_text)
{
    if (!_text.contains(QRegularExpression(QStringLiteral("[,\"\r\n]"))))
        return _text;
    return QLatin1Char('"') + QString(_text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

} // namespace

QString holdingRegisterNumber(int _address)
{
    return QString::number(_address <= 9998 ? 40001 + _address : 400001 + _address);
}

QString coilNumber(int _address)
{
    return QStringLiteral("%1").arg(1 + _address, _address <= 9998 ? 5 : 6, 10, QLatin1Char('0'));
}

QList<SRegisterMapRow> registerMap(const CGateway &_gateway)
{
    QMap<CEui, DB::SDeviceRegMapDescription> settings;
    for (const auto &device : _gateway.storedDevices())
        settings.insert(CEui(device.first.devEui), device.first);
    QList<SRegisterMapRow> rows;
    for (const QSqlRecord &stored : _gateway.devices(QString())) {
        const DB::SDeviceRegMapDescription device = settings.value(CEui(stored.value(DEV_COL_DEV_EUI).toString()));
        const int startAddr = stored.value(DEV_COL_START_ADDR).toInt();
        const QList<SRegisterDescription> templateMap
            = _gateway.regMap(stored.value(DEV_COL_APP_EUI).toString()).registers;
        const QList<SDownlinkCommand> commands = _gateway.downlinkCommands(stored.value(DEV_COL_APP_EUI).toString());
        for (const QSqlRecord &reg : _gateway.registers(stored.value(DEV_COL_DEVICE).toUInt())) {
            SRegisterMapRow row;
            row.port = quint16(stored.value(DEV_COL_PORT).toUInt());
            row.unitId = device.unitId;
            row.firstRegister = reg.value(REG_COL_REG_ADDR).toInt();
            const int bits = reg.value(REG_COL_BIT_SIZE).toInt();
            row.registerCount = int(registersOfBits(bits));
            row.deviceName = stored.value(DEV_COL_NAME).toString();
            row.devEui = stored.value(DEV_COL_DEV_EUI).toString();
            row.valueName = reg.value(REG_COL_NAME).toString();
            for (const SRegisterDescription &described : templateMap) {
                if (described.offset == row.firstRegister - startAddr && described.name == row.valueName)
                    row.format = described.format;
            }
            for (const SDownlinkCommand &command : commands) {
                if (row.format.isEmpty() && !command.isCoil && command.regMapBias == row.firstRegister - startAddr
                    && command.dataName == row.valueName)
                    row.format = commandFormat(command);
            }
            if (row.registerCount > 1 && row.format != DATA_TYPE_TEXT)
                row.wordOrder = wordOrderName(device.wordOrder);
            row.multiplier = reg.value(REG_COL_GRATING_PERIOD).toDouble();
            row.addedValue = reg.value(REG_COL_START_VALUE).toDouble();
            row.unit = reg.value(REG_COL_UNIT).toString();
            rows.append(row);
        }
        for (const SDownlinkCommand &command : commands) {
            if (!command.isCoil)
                continue;
            SRegisterMapRow row;
            row.port = quint16(stored.value(DEV_COL_PORT).toUInt());
            row.unitId = device.unitId;
            row.firstRegister = startAddr + command.coil;
            row.deviceName = stored.value(DEV_COL_NAME).toString();
            row.devEui = stored.value(DEV_COL_DEV_EUI).toString();
            row.valueName = command.dataName;
            row.format = COIL_FORMAT;
            rows.append(row);
        }
    }
    std::stable_sort(rows.begin(), rows.end(), [](const SRegisterMapRow &_a, const SRegisterMapRow &_b) {
        // Coils after the registers: they are a space of their own.
        return std::make_tuple(_a.port, _a.unitId, _a.format == COIL_FORMAT, _a.firstRegister)
            < std::make_tuple(_b.port, _b.unitId, _b.format == COIL_FORMAT, _b.firstRegister);
    });
    return rows;
}

QString registerMapCsv(const QList<SRegisterMapRow> &_rows)
{
    QString text = HEADER.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const SRegisterMapRow &row : _rows) {
        QStringList cells;
        for (const QString &field : fields(row))
            cells << csvField(field);
        text += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    return text;
}

QString registerMapMarkdown(const QList<SRegisterMapRow> &_rows)
{
    const auto line = [](const QStringList &_cells) {
        QStringList escaped;
        for (const QString &cell : _cells)
            escaped << QString(cell).replace(QLatin1Char('|'), QStringLiteral("\\|"));
        return QStringLiteral("| ") + escaped.join(QStringLiteral(" | ")) + QStringLiteral(" |\n");
    };
    QString text = line(HEADER);
    text += QStringLiteral("|") + QStringLiteral("---|").repeated(HEADER.size()) + QLatin1Char('\n');
    for (const SRegisterMapRow &row : _rows)
        text += line(fields(row));
    return text;
}
