#pragma once

#include <QString>

#include "store/storerecords.h"

// Checks of a device's fields as an operator types them, shared by the command line and the
// web console. A DevEUI is checked by CEui::isWellFormed.

// A whole decimal number in [_min, _max].
bool readNumber(const QString &_text, int _min, int _max, int *_value);
// The optional settings of a device as text (empty: the default); false with *_error when one is wrong.
bool readSettings(const QString &_unitId, const QString &_wordOrder, const QString &_staleAfter,
                  const QString &_stalePolicy, const QString &_writable, DB::SDeviceRegMapDescription *_device,
                  QString *_error);
