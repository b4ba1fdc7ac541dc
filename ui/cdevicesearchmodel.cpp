#include "ui/cdevicesearchmodel.h"

namespace {
const int NAME_COLUMN = 1;
}

CDeviceSearchModel::CDeviceSearchModel(QObject *parent)
    : QSortFilterProxyModel(parent)
{
}

void CDeviceSearchModel::setSearchValue(QString str)
{
    searchValue = str;
    invalidateFilter();
}

bool CDeviceSearchModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (searchValue.isEmpty())
        return true;
    const QString name = sourceModel()->index(sourceRow, NAME_COLUMN, sourceParent).data().toString();
    return name.contains(searchValue, Qt::CaseInsensitive);
}
