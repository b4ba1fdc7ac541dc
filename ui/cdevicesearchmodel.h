#pragma once

#include <QSortFilterProxyModel>

// Hides the devices whose name does not contain the search text (any letter case).
class CDeviceSearchModel : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit CDeviceSearchModel(QObject *parent = nullptr);

public slots:
    void setSearchValue(QString str);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    QString searchValue;
};
