#include "gateway/deviceinput.h"

#include <QRegularExpression>

#include "gateway/cgateway.h"

bool readNumber(const QString &_text, int _min, int _max, int *_value)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]+$"));
    bool ok = false;
    const qlonglong value = _text.toLongLong(&ok);
    if (!digits.match(_text).hasMatch() || !ok || value < _min || value > _max)
        return false;
    *_value = int(value);
    return true;
}

bool readSettings(const QString &_unitId, const QString &_wordOrder, const QString &_staleAfter,
                  const QString &_stalePolicy, const QString &_writable, DB::SDeviceRegMapDescription *_device,
                  QString *_error)
{
    if (!_writable.isEmpty() && _writable != QLatin1String("true") && _writable != QLatin1String("false")) {
        *_error = QStringLiteral("writable %1 is not true or false").arg(_writable);
        return false;
    }
    _device->writable = _writable == QLatin1String("true");
    int unitId = 0;
    if (!_unitId.isEmpty() && !readNumber(_unitId, 0, MAX_UNIT_ID, &unitId)) {
        *_error = QStringLiteral("unit ID %1 is not 0-247").arg(_unitId);
        return false;
    }
    _device->unitId = quint8(unitId);
    if (!_wordOrder.isEmpty() && !wordOrderFromName(_wordOrder, &_device->wordOrder)) {
        *_error = QStringLiteral("word order %1 is not big or little").arg(_wordOrder);
        return false;
    }
    if (!_staleAfter.isEmpty() && !readNumber(_staleAfter, 0, 100000000, &_device->staleAfter)) {
        *_error = QStringLiteral("stale time %1 is not a number of seconds").arg(_staleAfter);
        return false;
    }
    if (!_stalePolicy.isEmpty() && !stalePolicyFromName(_stalePolicy, &_device->stalePolicy)) {
        *_error = QStringLiteral("stale policy %1 is not keep or exception").arg(_stalePolicy);
        return false;
    }
    return true;
}

