#pragma once

#include <QSortFilterProxyModel>
#include <QString>

// Keeps the device rows whose name contains the search text, in any case.
class CDeviceSearchModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit CDeviceSearchModel(QObject* parent = nullptr);

public slots:
    void setSearchValue(QString str);

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    QString searchValue;
};
