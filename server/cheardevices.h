#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QList>

#include "server/mqttmessages.h"

// The devices heard over MQTT since start, one row each with its latest news,
// in the order they were first heard: what the add-device dialog lists, and
// what a downlink to a device will need.
class CLogSink;

class CHeardDevices : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum EColumn { eDevEuiColumn = 0, eNameColumn, eJoinEuiColumn, eProfileColumn, eColumnCount };

    // A flood of invented DevEUIs must not grow the list without end.
    static constexpr int MAX_DEVICES = 10000;

    explicit CHeardDevices(CLogSink *_log = nullptr, QObject *_parent = nullptr);

    int rowCount(const QModelIndex &_parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &_parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &_index, int _role = Qt::DisplayRole) const override;
    QVariant headerData(int _section, Qt::Orientation _orientation, int _role = Qt::DisplayRole) const override;

    // The device's latest news; an empty devEui when it has not been heard.
    API::SHeardDevice device(const QString &_devEui) const;

public slots:
    void deviceHeardSlot(API::SHeardDevice _device);

private:
    CLogSink *log;
    QList<API::SHeardDevice> devices;
    QHash<QString, int> rowOfDevEui;
    bool fullReported = false;
};
