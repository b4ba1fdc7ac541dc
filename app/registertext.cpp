#include "app/registertext.h"

#include <QByteArray>
#include <QDateTime>
#include <QLocale>

#include <cmath>

#include "app/constants.h"
#include "devices/devicetemplate.h"
#include "store/registerdescription.h"

const QString NEVER_RECEIVING_TEXT = QStringLiteral("NEVER RECEIVING");

namespace {

// Bytes a signed value of this width is read from.
int integerByteCount(int _bitSize)
{
    if (_bitSize <= 16)
        return 2;
    if (_bitSize == 32)
        return 4;
    return 8;
}

// Reads the first _count bytes (or fewer, if that is all there is) most significant
// first and sign-extends from the width actually read. A value stored narrower than
// the register width (a 16-bit field mapped onto 32 bits) thus keeps its own sign
// instead of being padded with bytes that were never received.
bool readSigned(const QByteArray &_bytes, int _count, qint64 &_value)
{
    const int used = qMin(_count, _bytes.size());
    if (used == 0)
        return false;
    quint64 raw = 0;
    for (int i = 0; i < used; ++i)
        raw = (raw << 8) | static_cast<quint8>(_bytes.at(i));
    const int shift = 64 - used * 8;
    _value = static_cast<qint64>(raw << shift) >> shift;
    return true;
}

QString withUnit(const QString &_number, const QString &_unit)
{
    if (_unit.isEmpty())
        return _number;
    return _number + QStringLiteral(" [%1]").arg(_unit);
}

} // namespace

QString registerAddressText(int _regAddr, int _bitSize)
{
    if (_bitSize <= 16)
        return QStringLiteral("ModBUS register[%1]").arg(_regAddr);
    return QStringLiteral("ModBUS register[%1..%2]").arg(_regAddr).arg(_regAddr + registersOfBits(_bitSize) - 1);
}

QString registerTimeText(const QVariant &_timeMs)
{
    const quint64 ms = _timeMs.isNull() ? 0 : _timeMs.toULongLong();
    if (ms == 0)
        return NEVER_RECEIVING_TEXT;
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(ms)).toLocalTime().toString(REGISTER_TIME_FORMAT);
}

QString registerValueText(const QString &_dataType, int _bitSize, const QVariant &_fullValue, const QString &_unit)
{
    if (_fullValue.isNull())
        return NEVER_RECEIVING_TEXT;
    const QString stored = _fullValue.toString();
    if (_dataType == DATA_TYPE_TEXT) {
        QByteArray bytes = stored.toUtf8();
        const int end = bytes.indexOf('\0');
        if (end >= 0)
            bytes.truncate(end);
        return QString::fromUtf8(bytes);
    }
    if (_dataType == DATA_TYPE_INTEGER) {
        qint64 value = 0;
        if (!readSigned(QByteArray::fromHex(stored.toLatin1()), integerByteCount(_bitSize), value))
            return NEVER_RECEIVING_TEXT;
        return withUnit(QString::number(value), _unit);
    }
    if (_dataType == DATA_TYPE_UINTEGER) {
        bool ok = false;
        quint64 value = stored.toULongLong(&ok, 16);
        if (!ok)
            value = 0;
        return withUnit(QString::number(value), _unit);
    }
    return NEVER_RECEIVING_TEXT;
}

QString unshownDataTypeMessage(const QString &_dataType)
{
    if (_dataType == DATA_TYPE_INTEGER || _dataType == DATA_TYPE_UINTEGER || _dataType == DATA_TYPE_TEXT)
        return QString();
    if (_dataType == DATA_TYPE_BOOLEAN)
        return QStringLiteral("[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN");
    return QStringLiteral("[CRegisterDelegat::paint] Unknown data type!");
}

bool isNumericDataType(const QString &_dataType)
{
    return _dataType == DATA_TYPE_INTEGER || _dataType == DATA_TYPE_UINTEGER || _dataType == DATA_TYPE_FLOAT;
}

QString registerSourceText(int _source)
{
    if (_source == REGISTER_SOURCE_COMMAND)
        return QStringLiteral("COMMAND");
    return _source == 0 ? QStringLiteral("SERVER") : QStringLiteral("DEVICE");
}

quint32 unsignedFromText(const QString &_text)
{
    bool ok = false;
    const quint32 value = _text.toUInt(&ok, 10);
    return ok ? value : 0;
}

double decimalFromText(const QString &_text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(_text, &ok);
    return ok && std::isfinite(value) ? value : 0;
}

QString parameterText(const QVariant &_value)
{
    return QString::number(_value.toDouble(), 'g', 15);
}
