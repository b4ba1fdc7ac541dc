#pragma once

#include <QString>
#include <QVariant>

// The words the register cards show, kept apart from painting so they can be checked as text.

// Shown for a value or a time that has not arrived (or cannot be shown).
extern const QString NEVER_RECEIVING_TEXT;


// "ModBUS register[100]" or "ModBUS register[100..103]".
QString registerAddressText(int _regAddr, int _bitSize);

// Last reception time (ms since the epoch) in local time; 0 or NULL reads "NEVER RECEIVING".
QString registerTimeText(const QVariant &_timeMs);

// The register's value as the operator reads it, from its stored full value.
QString registerValueText(const QString &_dataType, int _bitSize, const QVariant &_fullValue, const QString &_unit);

// Log line for a data type the register view cannot show; empty for the shown types.
QString unshownDataTypeMessage(const QString &_dataType);

// Whether the register parameters (extra value, multiplier, units) apply to a data type.
bool isNumericDataType(const QString &_dataType);

// Badge of a register's origin: "SERVER" for server values, "DEVICE" for payload fields.
QString registerSourceText(int _source);

// An edit text read as an unsigned decimal number; anything else (empty, negative) is 0.
quint32 unsignedFromText(const QString &_text);

// An edit text of a float32 register's multiplier or added value: a decimal number with a
// point, sign allowed; anything else is 0.
double decimalFromText(const QString &_text);

// A multiplier or added value as the register list shows it: whole numbers without a point.
QString parameterText(const QVariant &_value);
