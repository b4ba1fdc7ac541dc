#include "netsimconfig.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

#include "server/apivocabulary.h"

namespace {

const QString KEY_PAYLOAD = QStringLiteral("payload");
const QString KEY_PAYLOADS = QStringLiteral("payloads");
const QString KEY_DELAY = QStringLiteral("delay");

bool readArrayFile(const QString &_path, QJsonArray &_array, QString &_error)
{
    QFile file(_path);
    if (!file.open(QIODevice::ReadOnly)) {
        _error = QStringLiteral("cannot open %1: %2").arg(_path, file.errorString());
        return false;
    }
    QJsonParseError parseError;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!doc.isArray()) {
        _error = parseError.error != QJsonParseError::NoError
            ? QStringLiteral("%1: %2 at offset %3").arg(_path, parseError.errorString()).arg(parseError.offset)
            : QStringLiteral("%1: the top level must be a JSON array").arg(_path);
        return false;
    }
    _array = doc.array();
    return true;
}

bool isHex(const QString &_text)
{
    if (_text.size() % 2 != 0)
        return false;
    for (const QChar c : _text)
        if (!c.isDigit() && !QStringLiteral("abcdefABCDEF").contains(c))
            return false;
    return true;
}

} // namespace

bool loadDevicesFile(const QString &_path, QList<SSimDevice> &_devices, QString &_error)
{
    QJsonArray array;
    if (!readArrayFile(_path, array, _error))
        return false;
    for (int i = 0; i < array.size(); ++i) {
        const QJsonObject obj = array.at(i).toObject();
        SSimDevice device;
        device.devEui = obj.value(API_KEY_DEV_EUI).toString();
        device.devName = obj.value(API_KEY_DEV_NAME).toString();
        device.appEui = obj.value(API_KEY_APP_EUI).toString();
        device.port = obj.value(API_KEY_PORT).toInt(2);
        QStringList payloads;
        if (obj.contains(KEY_PAYLOAD))
            payloads << obj.value(KEY_PAYLOAD).toString();
        for (const QJsonValue &payload : obj.value(KEY_PAYLOADS).toArray())
            payloads << payload.toString();
        bool hex = true;
        for (const QString &payload : payloads)
            hex = hex && !payload.isEmpty() && isHex(payload);
        if (device.devEui.isEmpty() || !hex) {
            _error = QStringLiteral("%1: entry %2 needs a devEui and payloads in hex digits").arg(_path).arg(i);
            return false;
        }
        for (const QString &payload : payloads)
            device.payloads << QByteArray::fromHex(payload.toLatin1());
        _devices << device;
    }
    return true;
}

bool loadScenarioFile(const QString &_path, QList<SScenarioStep> &_steps, QString &_error)
{
    QJsonArray array;
    if (!readArrayFile(_path, array, _error))
        return false;
    for (int i = 0; i < array.size(); ++i) {
        QJsonObject obj = array.at(i).toObject();
        if (obj.value(API_KEY_DEV_EUI).toString().isEmpty() || obj.value(KEY_DELAY).toInt(-1) < 0) {
            _error = QStringLiteral("%1: step %2 needs a devEui and a delay of 0 ms or more").arg(_path).arg(i);
            return false;
        }
        SScenarioStep step;
        step.delayMs = obj.take(KEY_DELAY).toInt();
        step.fields = obj;
        _steps << step;
    }
    return true;
}
