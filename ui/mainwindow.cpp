#include "ui/mainwindow.h"

#include <QComboBox>
#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSqlQueryModel>
#include <QVBoxLayout>

#include "app/CLogFile.h"
#include "app/CSettings.h"
#include "devices/CAllDeviceHandler.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CAddNewDeviceForm.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CEditDeviceForm.h"
#include "ui/CRegisterDelegat.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CLeftPanel.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString ICON_GOOD = QStringLiteral(":/connectionGoodIco.png");
const QString ICON_FAIL = QStringLiteral(":/connectionFailIco.png");
const QString IPV4_PATTERN = QStringLiteral("^[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}$");

QHBoxLayout* row(int spacing)
{
    auto* layout = new QHBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(spacing);
    return layout;
}

QLabel* namedLabel(const QString& text, const QString& objectName)
{
    auto* label = new QLabel(text);
    label->setObjectName(objectName);
    return label;
}
} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent)
{
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName(QStringLiteral("MainWindow"));
    setWindowIcon(QIcon(QStringLiteral(":/tarnwick.png")));
    setWindowTitle(QStringLiteral("%1").arg(COMM::TITLE));
    setGeometry(10, 30, 1000, 640);
    setAnimated(true);

    auto* central = new QWidget(this);
    central->setObjectName(QStringLiteral("MainWidget"));
    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(buildLeftColumn(), 0);
    columns->addLayout(buildMiddleColumn(), 2);
    columns->addLayout(buildRightColumn(), 3);
    setCentralWidget(central);

    connectServices();
    readSettings();
    tryToConnectToServerSlot();
    refreshDevicesSlot(QString());
    reopenStoredDevices();
    connect(this, &MainWindow::disconnectDevice, CAllDeviceHandler::getInstance(),
            &CAllDeviceHandler::removeDevice, Qt::QueuedConnection);
    connect(CAllDeviceHandler::getInstance(), &CAllDeviceHandler::newDataForDevice, this,
            &MainWindow::newDataForDeviceSlot, Qt::QueuedConnection);
}

QWidget* MainWindow::buildLeftColumn()
{
    auto* column = new QWidget();
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* logo = new QLabel();
    logo->setFixedSize(250, 45);
    logo->setAlignment(Qt::AlignCenter);
    logo->setPixmap(QPixmap(QStringLiteral(":/tarnwick_logo_horizontal_gradient.png"))
                        .scaledToHeight(45, Qt::SmoothTransformation));
    layout->addWidget(logo);

    auto* panel = new CLeftPanel();
    panel->setFixedWidth(250);
    auto* panelButton = new CAbstractPanelButton(QStringLiteral("Server authorization"), QIcon(ICON_FAIL));
    panelButton->setPicAlign(2);
    panelButton->setIconSize(QSize(36, 36));
    panelButton->setFullView(true);
    connect(this, &MainWindow::setConnectStatusIco, panelButton, &CAbstractPanelButton::setIcon);
    panelButton->addLayout(buildConnectionFields());
    // Open from the start: the connection fields are what an operator looks for first.
    panelButton->setChecked(true);
    panel->addWidget(panelButton);
    panel->addEndSequence();
    layout->addWidget(panel);
    return column;
}

QLayout* MainWindow::buildConnectionFields()
{
    auto* fields = new QVBoxLayout();
    fields->setContentsMargins(0, 0, 0, 0);
    fields->setSpacing(5);

    QHBoxLayout* urlRow = row(0);
    schemeBox = new QComboBox();
    schemeBox->addItems({QStringLiteral("ws"), QStringLiteral("wss")});
    addressEdit = new QLineEdit();
    addressEdit->setAccessibleName(QStringLiteral("Server address"));
    addressEdit->setValidator(new QRegularExpressionValidator(QRegularExpression(IPV4_PATTERN), addressEdit));
    portEdit = new QLineEdit();
    portEdit->setAccessibleName(QStringLiteral("Server port"));
    portEdit->setFixedWidth(50);
    portEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{5}")), portEdit));
    urlRow->addWidget(schemeBox);
    urlRow->addWidget(new QLabel(QStringLiteral("://")));
    urlRow->addWidget(addressEdit);
    urlRow->addWidget(new QLabel(QStringLiteral(":")));
    urlRow->addWidget(portEdit);
    fields->addLayout(urlRow);

    QHBoxLayout* loginRow = row(0);
    loginEdit = new QLineEdit();
    loginEdit->setAccessibleName(QStringLiteral("Login"));
    loginRow->addWidget(new QLabel(QStringLiteral("Login:")));
    loginRow->addWidget(loginEdit);
    fields->addLayout(loginRow);

    QHBoxLayout* passwordRow = row(0);
    passwordEdit = new QLineEdit();
    passwordEdit->setAccessibleName(QStringLiteral("Password"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    passwordRow->addWidget(new QLabel(QStringLiteral("Password:")));
    passwordRow->addWidget(passwordEdit);
    fields->addLayout(passwordRow);

    statusLabel = new QLabel(QStringLiteral("Connection state..."));
    fields->addWidget(statusLabel);
    auto* connectButton = new QPushButton(QStringLiteral("Connect"));
    connectButton->setObjectName(QStringLiteral("blueBtn"));
    connectButton->setFixedSize(75, 25);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::tryToConnectToServerSlot);
    fields->addWidget(connectButton, 0, Qt::AlignCenter);
    return fields;
}

QPushButton* MainWindow::makeIconButton(const QString& icon, const QString& objectName,
                                        const QString& toolTip)
{
    auto* button = new QPushButton(QIcon(icon), QString());
    button->setObjectName(objectName);
    button->setToolTip(toolTip);
    button->setFixedSize(40, 40);
    button->setIconSize(QSize(36, 36));
    return button;
}

QLayout* MainWindow::buildMiddleColumn()
{
    auto* column = new QVBoxLayout();
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(5);

    searchEdit = new CSearchEditWidget();
    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this, &MainWindow::refreshDevicesSlot);
    column->addWidget(searchEdit);

    deviceModel = new QSqlQueryModel(this);
    deviceView = new QListView();
    deviceView->setItemDelegate(new CDeviceDelegat(this));
    deviceView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deviceView->setModel(deviceModel);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::deviceSelectSlot);
    column->addWidget(deviceView, 50);

    QHBoxLayout* buttons = row(5);
    addButton = makeIconButton(QStringLiteral(":/addIco.png"), QStringLiteral("greenBtn"),
                               QStringLiteral("Add new device from server"));
    editButton = makeIconButton(QStringLiteral(":/editIco.png"), QStringLiteral("greenBtn"),
                                QStringLiteral("Edit device parametrs"));
    deleteButton = makeIconButton(QStringLiteral(":/delete2Ico.png"), QStringLiteral("redBtn"),
                                  QStringLiteral("Delete device"));
    connect(addButton, &QPushButton::clicked, this, &MainWindow::addNewItemSlot);
    connect(editButton, &QPushButton::clicked, this, &MainWindow::editItemSlot);
    connect(deleteButton, &QPushButton::clicked, this, &MainWindow::deleteItemSlot);
    buttons->addWidget(addButton);
    buttons->addWidget(editButton);
    buttons->addWidget(deleteButton);
    buttons->addStretch(10);
    column->addLayout(buttons);
    return column;
}

QLayout* MainWindow::buildRightColumn()
{
    auto* column = new QVBoxLayout();
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(0);

    deviceTitle = namedLabel(QStringLiteral("Device [UNKNOWN] "), QStringLiteral("title1Lab"));
    deviceTitle->setAlignment(Qt::AlignHCenter);
    column->addWidget(deviceTitle);

    modbusGroup = new QGroupBox(QStringLiteral("ModBus-TCP parameters"));
    modbusGroup->hide();
    auto* groupLayout = new QVBoxLayout(modbusGroup);
    groupLayout->setContentsMargins(3, 3, 3, 3);
    groupLayout->setSpacing(2);
    tcpPortValue = namedLabel(QString(), QStringLiteral("modbusValue"));
    beginRegisterValue = namedLabel(QString(), QStringLiteral("modbusValue"));
    const QList<QPair<QString, QLabel*>> rows = {
        {QStringLiteral("Device ID:"),
         namedLabel(QStringLiteral("ANY VALID VALUE"), QStringLiteral("modbusValue"))},
        {QStringLiteral("TCP port:"), tcpPortValue},
        {QStringLiteral("Begin register:"), beginRegisterValue},
    };
    for (const auto& r : rows) {
        QHBoxLayout* line = row(5);
        line->addWidget(namedLabel(r.first, QStringLiteral("modbusName")));
        line->addWidget(r.second);
        line->addStretch(20);
        groupLayout->addLayout(line);
    }
    column->addWidget(modbusGroup);

    registerModel = new QSqlQueryModel(this);
    registerView = new QListView();
    registerView->setItemDelegate(new CRegisterDelegat());
    registerView->itemDelegate()->setParent(registerView);
    registerView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    registerView->setModel(registerModel);
    column->addWidget(registerView, 50);
    return column;
}

void MainWindow::connectServices()
{
    connect(CLogFile::getInstance(), &CLogFile::addLogSignal, this, &MainWindow::debugSlot);
    connect(CServerHandler::getInstance(), &CServerHandler::changeServerStatus, this,
            &MainWindow::changeServerStatusSlot, Qt::QueuedConnection);
    connect(this, &MainWindow::connectToServer, CServerHandler::getInstance(), &CServerHandler::connectSlot,
            Qt::QueuedConnection);
    connect(CAddNewDeviceForm::getInstance(), &CAbstractDeviceForm::refreshDeviceList, this,
            &MainWindow::refreshDevicesSlot, Qt::QueuedConnection);
    connect(CEditDeviceForm::getInstance(), &CAbstractDeviceForm::refreshDeviceList, this,
            &MainWindow::refreshDevicesSlot, Qt::QueuedConnection);
}

void MainWindow::reopenStoredDevices()
{
    // The model reads rows in batches; every stored device must get its port.
    while (deviceModel->canFetchMore())
        deviceModel->fetchMore();
    for (int r = 0; r < deviceModel->rowCount(); ++r) {
        DB::SDeviceRegMapDescription desc;
        desc.devEui = deviceModel->index(r, DB::DEV_COL_DEVEUI).data().toString();
        desc.appEui = deviceModel->index(r, DB::DEV_COL_APPEUI).data().toString();
        desc.name = deviceModel->index(r, DB::DEV_COL_NAME).data().toString();
        desc.startAddr = deviceModel->index(r, DB::DEV_COL_STARTADDR).data().toInt();
        const auto port =
            static_cast<unsigned short>(deviceModel->index(r, DB::DEV_COL_PORT).data().toUInt());
        CAllDeviceHandler::getInstance()->addNewDevice(desc, port);
    }
}

void MainWindow::debugSlot(const QString& str)
{
    qDebug().noquote() << str;
}

void MainWindow::readSettings()
{
    const QString s = SETT::SETT_SECT_SERVER;
    addressEdit->setText(CSettings::readValue(s + SETT::SETT_SERVER_IP, QVariant()).toString());
    portEdit->setText(CSettings::readValue(s + SETT::SETT_SERVER_PORT, QVariant()).toString());
    loginEdit->setText(CSettings::readValue(s + SETT::SETT_SERVER_LOGIN, QVariant()).toString());
    passwordEdit->setText(CSettings::readValue(s + SETT::SETT_SERVER_PASSWORD, QVariant()).toString());
    // Files of older builds name no scheme: they connected with ws.
    schemeBox->setCurrentText(
        CSettings::readValue(s + SETT::SETT_SERVER_SCHEME, schemeBox->itemText(0)).toString());
}

void MainWindow::saveSettings()
{
    const QString s = SETT::SETT_SECT_SERVER;
    const bool saved = CSettings::writeValues({{s + SETT::SETT_SERVER_SCHEME, schemeBox->currentText()},
                                               {s + SETT::SETT_SERVER_IP, addressEdit->text()},
                                               {s + SETT::SETT_SERVER_PORT, portEdit->text()},
                                               {s + SETT::SETT_SERVER_LOGIN, loginEdit->text()},
                                               {s + SETT::SETT_SERVER_PASSWORD, passwordEdit->text()}});
    if (!saved)
        statusLabel->setText(QStringLiteral("%1 (%2)").arg(statusLabel->text(), CSettings::lastError()));
}

bool MainWindow::hasCurrentDevice() const
{
    return deviceView->currentIndex().isValid() && deviceModel->rowCount() > 0;
}

QVariant MainWindow::currentDeviceCell(int column) const
{
    const QModelIndex current = deviceView->currentIndex();
    if (!current.isValid())
        return QVariant();
    return deviceModel->index(current.row(), column).data();
}

void MainWindow::showNoDevice()
{
    deviceTitle->setText(QStringLiteral("Device [UNKNOWN]"));
    modbusGroup->hide();
    registerModel->clear();
}

void MainWindow::deviceSelectSlot(const QItemSelection&, const QItemSelection&)
{
    if (deviceModel->rowCount() == 0) {
        showNoDevice();
        return;
    }
    const QString devEui = currentDeviceCell(DB::DEV_COL_DEVEUI).toString();
    const QString appEui = currentDeviceCell(DB::DEV_COL_APPEUI).toString();
    // Template keys are upper case; a server may hand out lower-case EUIs.
    const QString devType = CAllDeviceHandler::getInstance()->getTemplateInfo(appEui.toUpper()).devType;
    deviceTitle->setText(QStringLiteral("Device:%1 [%2]").arg(devEui, devType));
    modbusGroup->show();
    tcpPortValue->setText(QStringLiteral("%1").arg(currentDeviceCell(DB::DEV_COL_PORT).toUInt()));
    beginRegisterValue->setText(QStringLiteral("%1").arg(currentDeviceCell(DB::DEV_COL_STARTADDR).toUInt()));
    refreshRegisterSlot();
}

void MainWindow::refreshRegisterSlot()
{
    registerModel->setQuery(
        CDataBaseHandler::getInstance()->getRegisters(currentDeviceCell(DB::DEV_COL_DEVICE).toUInt()));
    if (registerModel->rowCount() > 0)
        registerView->setCurrentIndex(registerModel->index(0, 0));
}

void MainWindow::refreshDevicesSlot(const QString& _search)
{
    deviceModel->setQuery(CDataBaseHandler::getInstance()->getDevices(_search));
    if (deviceModel->rowCount() > 0)
        deviceView->setCurrentIndex(deviceModel->index(0, 0));
    else
        showNoDevice();
}

void MainWindow::newDataForDeviceSlot(const QString& _devEui)
{
    if (hasCurrentDevice() &&
        _devEui.compare(currentDeviceCell(DB::DEV_COL_DEVEUI).toString(), Qt::CaseInsensitive) == 0)
        refreshRegisterSlot();
}

void MainWindow::addNewItemSlot()
{
    CAddNewDeviceForm::getInstance()->showForm(QStringLiteral("Add new device interface"));
}

void MainWindow::editItemSlot()
{
    if (!hasCurrentDevice())
        return;
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    form->setOriginal(
        currentDeviceCell(DB::DEV_COL_DEVICE).toUInt(), currentDeviceCell(DB::DEV_COL_DEVEUI).toString(),
        currentDeviceCell(DB::DEV_COL_NAME).toString(), currentDeviceCell(DB::DEV_COL_APPEUI).toString(),
        static_cast<uint16_t>(currentDeviceCell(DB::DEV_COL_PORT).toUInt()),
        currentDeviceCell(DB::DEV_COL_STARTADDR).toUInt());
    if (form->showForm(QStringLiteral("Edit device parameters")) == QDialog::Accepted)
        refreshRegisterSlot();
}

void MainWindow::deleteItemSlot()
{
    if (!hasCurrentDevice())
        return;
    const auto port = static_cast<uint16_t>(currentDeviceCell(DB::DEV_COL_PORT).toInt());
    emit disconnectDevice(currentDeviceCell(DB::DEV_COL_DEVEUI).toString(), port);
    CDataBaseHandler::getInstance()->deleteDevice(currentDeviceCell(DB::DEV_COL_DEVICE).toUInt());
    refreshDevicesSlot(QString());
}

void MainWindow::tryToConnectToServerSlot()
{
    const QList<QPair<QLineEdit*, QString>> required = {
        {addressEdit, QStringLiteral("[main] IP is empty")},
        {portEdit, QStringLiteral("[main] PORT is empty")},
        {loginEdit, QStringLiteral("[main] LOGIN is empty")},
        {passwordEdit, QStringLiteral("[main] PASSWORD is empty")},
    };
    for (const auto& field : required) {
        if (field.first->text().isEmpty()) {
            addLog(field.second, CLogFile::LOG_TYPE_NORMAL, false);
            return;
        }
    }
    const QString origin =
        QStringLiteral("%1://%2:%3").arg(schemeBox->currentText(), addressEdit->text(), portEdit->text());
    emit connectToServer(origin, loginEdit->text(), passwordEdit->text());
}

void MainWindow::changeServerStatusSlot(COMM::EServerStatus _status)
{
    static const QMap<int, QString> texts = {
        {COMM::SUCCESS, QStringLiteral("SUCCESS")},
        {COMM::PING_WAITING, QStringLiteral("PING WAITING")},
        {COMM::INVALID_PING, QStringLiteral("INVALID PING")},
        {COMM::AUTH_WAITING, QStringLiteral("AUTH WAITING")},
        {COMM::INVALID_AUTH, QStringLiteral("INVALID AUTH")},
        {COMM::DISCONNECTED, QStringLiteral("DISCONNECTED")},
    };
    const auto text = texts.constFind(static_cast<int>(_status));
    if (text == texts.constEnd())
        return;
    statusLabel->setText(*text);
    emit setConnectStatusIco(QIcon(_status == COMM::SUCCESS ? ICON_GOOD : ICON_FAIL));
    if (_status == COMM::SUCCESS)
        saveSettings();
}
