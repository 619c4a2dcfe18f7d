#pragma once

#include <QDialog>
#include <QItemSelection>
#include <QString>

class QGridLayout;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QStackedLayout;
class QStandardItemModel;
class CDeviceSearchModel;
class CSearchEditWidget;
class CStatusBlockBox;
struct SDeviceOptions;

// The frame shared by the add-device and edit-device dialogs: connection
// fields, the device list, the register list and the device type legend.
class CAbstractDeviceForm : public QDialog
{
    Q_OBJECT
public:
    explicit CAbstractDeviceForm(QWidget* parent = nullptr);

signals:
    void refreshDeviceList(const QString& _search = QString());

protected slots:
    virtual void deviceSearchNameSlot(const QString& str) = 0;
    virtual void refresh() = 0;
    virtual void deviceListSelectSlot(const QItemSelection& item1, const QItemSelection& item2) = 0;
    virtual void addDeviceSlot() = 0;

public slots:
    int showForm(QString _title);

protected:
    // Fills the device type legend: one coloured label per loaded template.
    void fillDeviceTypes();
    void showMessage(const QString& text);
    void removeAllRows(QStandardItemModel* model);
    // The server sends the device's last packets, which then decode into its registers.
    void requestLastPackets(const QString& devEui);
    // Reads the status block fields and checks them against the device's own
    // registers [first, end) and the other devices on the port.
    bool readStatusOptions(const QString& devEui, int port, qint64 first, qint64 end,
                           SDeviceOptions& options);
    // Stores the options and puts them in force; false (logged) when they cannot be stored.
    bool keepStatusOptions(const QString& devEui, const SDeviceOptions& options);

    QLabel* titleLabel = nullptr;
    QStackedLayout* stack = nullptr;
    QLabel* messageLabel = nullptr;
    CSearchEditWidget* searchEdit = nullptr;
    QListView* deviceView = nullptr;
    QStandardItemModel* deviceModel = nullptr;
    CDeviceSearchModel* searchModel = nullptr;
    QListView* registerView = nullptr;
    QStandardItemModel* registerModel = nullptr;
    QLineEdit* portEdit = nullptr;
    QLineEdit* startAddrEdit = nullptr;
    QPushButton* portWarning = nullptr;
    QPushButton* startAddrWarning = nullptr;
    QGridLayout* typeGrid = nullptr;
    CStatusBlockBox* statusBox = nullptr;
    QString currentAppEui;

private:
    QWidget* buildConnectionBox();
    QLayout* buildListsRow();
    QWidget* buildTypeBox();
    QWidget* buildButtonBox();
    QPushButton* makeWarningButton(const QString& toolTip);
    void commitOpenEditor();
};
