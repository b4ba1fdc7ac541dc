#include "ui/crecordmodel.h"

CRecordModel::CRecordModel(int _columnCount, QObject *_parent)
    : QAbstractTableModel(_parent)
    , columns(_columnCount)
{
}

void CRecordModel::setRecords(const QVector<QSqlRecord> &_records)
{
    beginResetModel();
    records = _records;
    endResetModel();
}

int CRecordModel::rowCount(const QModelIndex &_parent) const
{
    return _parent.isValid() ? 0 : records.size();
}

int CRecordModel::columnCount(const QModelIndex &_parent) const
{
    return _parent.isValid() ? 0 : columns;
}

QVariant CRecordModel::data(const QModelIndex &_index, int _role) const
{
    if (!_index.isValid() || _index.row() >= records.size() || (_role != Qt::DisplayRole && _role != Qt::EditRole))
        return QVariant();
    return records.at(_index.row()).value(_index.column());
}
