#pragma once

#include <cstdint>

#include <QIcon>
#include <QItemSelection>
#include <QMainWindow>
#include <QString>
#include <QVariant>

#include "app/global.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSqlQueryModel;
class QVBoxLayout;
class QWidget;
class CElidedLabel;
class CLinkStateLabel;
class CLogPane;
class CSearchEditWidget;

// The operator's window: connection panel, registered devices, and the
// registers of the selected device with their last values.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MainWindow(QWidget* parent = nullptr);

signals:
    void setConnectStatusIco(QIcon ico);
    void connectToServer(const QString& _origin, const QString& _login, const QString& _password);
    void disconnectDevice(const QString& _devEui, const uint16_t& _port);

private slots:
    void debugSlot(const QString& str);
    void readSettings();
    void saveSettings();
    void deviceSelectSlot(const QItemSelection& item1, const QItemSelection& item2);
    void refreshRegisterSlot();
    void addNewItemSlot();
    void editItemSlot();
    void deleteItemSlot();
    void tryToConnectToServerSlot();
    void changeServerStatusSlot(COMM::EServerStatus _status);

public slots:
    void refreshDevicesSlot(const QString& _search = QString());
    void newDataForDeviceSlot(const QString& _devEui);

private:
    QWidget* buildLeftColumn();
    QLayout* buildConnectionFields();
    QLayout* buildMiddleColumn();
    QLayout* buildRightColumn();
    QPushButton* makeIconButton(const QString& icon, const QString& objectName, const QString& toolTip);
    void connectServices();
    void showNoDevice();
    bool hasCurrentDevice() const;
    QVariant currentDeviceCell(int column) const;
    int rowOfDevice(unsigned int id) const;
    int rowOfEui(const QString& devEui) const;
    void toggleLogPane(bool shown);
    void tryToConnect(bool showWhyNot);

    CSearchEditWidget* searchEdit = nullptr;
    QListView* deviceView = nullptr;
    QSqlQueryModel* deviceModel = nullptr;
    QPushButton* addButton = nullptr;
    QPushButton* editButton = nullptr;
    QPushButton* deleteButton = nullptr;
    QListView* registerView = nullptr;
    QSqlQueryModel* registerModel = nullptr;
    CElidedLabel* deviceTitle = nullptr;
    QGroupBox* modbusGroup = nullptr;
    QLabel* tcpPortValue = nullptr;
    QLabel* beginRegisterValue = nullptr;
    QComboBox* schemeBox = nullptr;
    QLineEdit* addressEdit = nullptr;
    QLineEdit* portEdit = nullptr;
    QLineEdit* loginEdit = nullptr;
    QLineEdit* passwordEdit = nullptr;
    QLabel* statusLabel = nullptr;
    CLinkStateLabel* linkState = nullptr;
    CLogPane* logPane = nullptr;
    // What tarnwick-launch found wrong with the stand-in server it starts;
    // shown until a log-in proves a server is there after all.
    QString standinProblem;
};
