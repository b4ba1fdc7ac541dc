#pragma once

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

#include "store/storerecords.h"

// What history.db holds, written by CHistoryStore and read by CHistoryReader. One row per
// uplink (not per value): a busy gateway writes ten times fewer rows, and a value's trend
// is one device's rows read in time order.
//   devices(id, dev_eui)            one a device with history; ids are never used again
//   layouts(id, device, names)      the names and units of an uplink's values, in order
//   uplinks(device, time_ms, layout, vals)  vals: the numbers as little-endian doubles
//   dropped(device)                 removed devices whose rows are still being deleted
namespace HISTORY {

// PRAGMA application_id of our file ("KLVH"): anything else is not ours.
constexpr int APPLICATION_ID = 0x4B4C5648;
constexpr int SCHEMA_VERSION = 1;
extern const char FILE_NAME[];

// The statements that make an empty file ours.
extern const char SCHEMA_SQL[];

// The names and units of one uplink's values, as the layouts table keeps them.
QString layoutText(const QVector<SHistoryValue> &_values);
// False when the text is not a layout.
bool parseLayout(const QString &_text, QVector<QPair<QString, QString>> *_names);

QByteArray valuesBlob(const QVector<SHistoryValue> &_values);
// Value _index of a blob; false beyond its end.
bool valueAt(const void *_blob, int _bytes, int _index, double *_value);

} // namespace HISTORY
