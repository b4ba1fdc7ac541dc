#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <string>

// An answer of the backend to a change: the HTTP status and either the error's text or a body.
struct SWebResult
{
    int status = 200;
    QString error;
    QJsonObject body;
};

// GET /api/v1/devices/{devEui}/history: one value of a device over a range (ms since 1970).
struct SHistoryQuery
{
    // Empty: the device's first value.
    QString value;
    // Not given: the day up to now.
    bool hasFrom = false;
    qint64 fromMs = 0;
    bool hasTo = false;
    qint64 toMs = 0;
    int points = 1000;
};

// What the console shows and changes, asked from its HTTP worker threads. The gateway's
// backend takes its figures from thread-safe snapshots and runs changes on the gateway's
// thread; tests and the fuzz harness hand in one of their own.
class CWebBackend
{
public:
    virtual ~CWebBackend() = default;

    // Moves on with every change the pages show: devices, values, the server, the store.
    virtual quint64 changeCount() = 0;
    // Moves on with every line of the log.
    virtual quint64 logCount() = 0;
    virtual QJsonObject status() = 0;
    // Every device as a JSON array, written out: with thousands of devices it is asked twice a
    // second by every open devices page.
    virtual QByteArray devices() = 0;
    // False when no device has that DevEUI.
    virtual bool device(const QString &_devEui, QJsonObject *_device) = 0;
    virtual bool registers(const QString &_devEui, QJsonArray *_registers) = 0;
    virtual bool uplinks(const QString &_devEui, QJsonArray *_uplinks) = 0;
    // The value's points over the range (see CHistoryReader::series), with the device's value
    // names; 404 for an unknown device or value.
    virtual SWebResult history(const QString &_devEui, const SHistoryQuery &_query) = 0;
    virtual SWebResult addDevice(const QJsonObject &_device) = 0;
    virtual SWebResult editDevice(const QString &_devEui, const QJsonObject &_changes) = 0;
    virtual SWebResult removeDevice(const QString &_devEui) = 0;
    // The templates a device may be added with.
    virtual QJsonArray templates() = 0;
    // Devices the network server lists, or those heard, that are not added yet.
    virtual SWebResult candidates() = 0;
    virtual QString registerMap(bool _markdown) = 0;
    // The devices as the command line exports them.
    virtual QString exportDevices(bool _json) = 0;
    // Adds every device of such an export, all or nothing; 400 with the row and the reason.
    virtual SWebResult importDevices(const QByteArray &_file) = 0;
    // The last lines of history.log, oldest first.
    virtual QStringList logLines(int _count) = 0;
    // The Prometheus text of every metric.
    virtual std::string metrics(bool _perDevice) = 0;
};
