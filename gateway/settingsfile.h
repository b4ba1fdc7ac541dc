#pragma once

// Every section of settings.conf that the parts below the gateway use, read here into the
// records they are handed: the file is read in one place.

#include <QList>
#include <QPair>
#include <QString>
#include <QVariant>

#include "modbus/modbuslimits.h"
#include "server/mqttsettings.h"
#include "store/historysettings.h"

class QSettings;

// A key of the [server] group, where the WebSocket log-in is kept.
QString settingsKey(const QString &_key);

// settings.conf, group [modbus]: idle_timeout (seconds, 0 = never) and max_connections.
// A missing key keeps the default; an unusable value keeps it too and is logged.
SModbusLimits readModbusLimits(const QSettings &_settings);

// settings.conf, group [history]: keep_days (0-3650, 0 = off) and max_mb (1-1048576). False with a
// message naming the key when a value cannot be used.
bool readHistorySettings(const QSettings &_settings, SHistorySettings *_history, QString *_error);

namespace MQTT {

// [server] kind: absent is the WebSocket server; an unknown text is logged and
// read as absent.
EServerKind readServerKind(const QSettings &_settings);

// The [mqtt] group with its defaults filled in; `kind` comes from [server] kind.
SMqttSettings readMqttSettings(const QSettings &_settings);

// [server] kind as a settings key and value that readServerKind reads back as _kind.
QPair<QString, QVariant> kindEntry(EServerKind _kind);

// [server] kind and every key of the [mqtt] group, as settings keys and values that
// readServerKind and readMqttSettings read back as _settings.
QList<QPair<QString, QVariant>> mqttEntries(const SMqttSettings &_settings);

} // namespace MQTT
