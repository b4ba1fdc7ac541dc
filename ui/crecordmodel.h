#pragma once

#include <QAbstractTableModel>
#include <QSqlRecord>
#include <QVector>

// Rows copied out of the store, shown column by column in the order of the store's table.
// The window holds values, never a query on the store's connection.
class CRecordModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    CRecordModel(int _columnCount, QObject *_parent = nullptr);

    void setRecords(const QVector<QSqlRecord> &_records);

    int rowCount(const QModelIndex &_parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &_parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &_index, int _role = Qt::DisplayRole) const override;

private:
    int columns;
    QVector<QSqlRecord> records;
};
