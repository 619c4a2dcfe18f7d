#include "ui/CDeviceSearchModel.h"

#include "app/global.h"

CDeviceSearchModel::CDeviceSearchModel(QObject* parent) : QSortFilterProxyModel(parent) {}

void CDeviceSearchModel::setSearchValue(QString str)
{
    searchValue = str;
    invalidateFilter();
}

bool CDeviceSearchModel::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const
{
    if (searchValue.isEmpty())
        return true;
    const QModelIndex name = sourceModel()->index(sourceRow, DB::DEV_COL_NAME, sourceParent);
    return name.data(Qt::DisplayRole).toString().contains(searchValue, Qt::CaseInsensitive);
}
