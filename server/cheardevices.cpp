#include "server/cheardevices.h"

#include "app/ceui.h"
#include "app/logsink.h"

CHeardDevices::CHeardDevices(CLogSink *_log, QObject *_parent)
    : QAbstractTableModel(_parent)
    , log(_log ? _log : CLogSink::discard())
{ }

int CHeardDevices::rowCount(const QModelIndex &_parent) const
{
    return _parent.isValid() ? 0 : devices.size();
}

int CHeardDevices::columnCount(const QModelIndex &_parent) const
{
    return _parent.isValid() ? 0 : eColumnCount;
}

QVariant CHeardDevices::data(const QModelIndex &_index, int _role) const
{
    if (!_index.isValid() || _index.row() >= devices.size() || _role != Qt::DisplayRole)
        return QVariant();
    const API::SHeardDevice &device = devices.at(_index.row());
    switch (_index.column()) {
    case eDevEuiColumn:
        return device.devEui;
    case eNameColumn:
        return device.name;
    case eJoinEuiColumn:
        return device.joinEui;
    case eProfileColumn:
        return device.profileName;
    default:
        return QVariant();
    }
}

QVariant CHeardDevices::headerData(int _section, Qt::Orientation _orientation, int _role) const
{
    if (_orientation != Qt::Horizontal || _role != Qt::DisplayRole)
        return QVariant();
    switch (_section) {
    case eDevEuiColumn:
        return tr("DevEUI");
    case eNameColumn:
        return tr("Name");
    case eJoinEuiColumn:
        return tr("JoinEUI");
    case eProfileColumn:
        return tr("Device profile");
    default:
        return QVariant();
    }
}

API::SHeardDevice CHeardDevices::device(const QString &_devEui) const
{
    const auto it = rowOfDevEui.constFind(CEui(_devEui).text());
    return it == rowOfDevEui.constEnd() ? API::SHeardDevice() : devices.at(*it);
}

void CHeardDevices::deviceHeardSlot(API::SHeardDevice _device)
{
    if (_device.devEui.isEmpty())
        return;
    const auto it = rowOfDevEui.constFind(_device.devEui);
    if (it != rowOfDevEui.constEnd()) {
        devices[*it] = _device;
        emit dataChanged(index(*it, 0), index(*it, eColumnCount - 1));
        return;
    }
    if (devices.size() >= MAX_DEVICES) {
        if (!fullReported)
            log->addLine(QStringLiteral("[CHeardDevices::deviceHeardSlot] %1 devices heard, no more are listed")
                             .arg(MAX_DEVICES));
        fullReported = true;
        return;
    }
    const int row = devices.size();
    beginInsertRows(QModelIndex(), row, row);
    devices << _device;
    rowOfDevEui.insert(_device.devEui, row);
    endInsertRows();
}
