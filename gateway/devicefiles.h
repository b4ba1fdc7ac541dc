#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class CGateway;

// The devices of a gateway as files: what "devices export" writes (CSV, or JSON with each
// register's scaling) and what "devices import" and the web console's import read back.

struct SDeviceRow
{
    uint32_t id = 0;
    QString devEui;
    QString name;
    QString appEui;
    uint16_t port = 0;
    int startAddr = 0;
};

// The stored devices' rows, by name.
QList<SDeviceRow> storedRows(const CGateway &_gateway);

// The stored devices as "devices export" writes them: CSV, or JSON with each register's scaling.
QString exportedDevices(const CGateway &_gateway, bool _json);

// Adds every device of a CSV or JSON export (as `devices export` writes it), all or nothing;
// false with the reason (the row and what is wrong) in *_problem, _name naming the file there.
bool importDeviceFile(CGateway &_gateway, const QByteArray &_bytes, const QString &_name, int *_imported,
                      QString *_problem);
