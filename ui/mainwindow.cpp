#include "ui/mainwindow.h"

#include <QComboBox>
#include <QDebug>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QSplitter>
#include <QSqlQuery>
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
#include "ui/CModbusAccessLabel.h"
#include "ui/CLogPane.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CRegisterMapSave.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CElidedLabel.h"
#include "widgets/CHostValidator.h"
#include "widgets/CLinkStateLabel.h"
#include "widgets/CLeftPanel.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString ICON_GOOD = QStringLiteral(":/connectionGoodIco.png");
const QString ICON_FAIL = QStringLiteral(":/connectionFailIco.png");
const QString LOG_DEVICE_DELETED =
    QStringLiteral("INFO: [MainWindow::deleteItemSlot] Device [%1] \"%2\" deleted, it left TCP port %3");
const QString DELETE_QUESTION =
    QStringLiteral("Delete the device \"%1\" (EUI %2, TCP port %3) and the scaling of its registers?");
// Set by tarnwick-launch when the stand-in server it should run beside the gateway is not running.
const char STANDIN_PROBLEM_VARIABLE[] = "TARNWICK_STANDIN_PROBLEM";
const QString STATUS_NO_STANDIN = QStringLiteral("%1, no stand-in");
const QString TIP_NO_STANDIN = QStringLiteral("Stand-in network server not running: %1");

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

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), standinProblem(qEnvironmentVariable(STANDIN_PROBLEM_VARIABLE))
{
    setWindowFlags(windowFlags() | Qt::WindowMaximizeButtonHint);
    setAttribute(Qt::WA_NoSystemBackground);
    setObjectName(QStringLiteral("MainWindow"));
    setWindowIcon(QIcon(QStringLiteral(":/tarnwick.png")));
    setWindowTitle(QStringLiteral("%1").arg(COMM::TITLE));
    setGeometry(10, 30, 1000, 640);
    setAnimated(true);

    auto* central = new QWidget();
    central->setObjectName(QStringLiteral("MainWidget"));
    auto* columns = new QHBoxLayout(central);
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(0);
    columns->addWidget(buildLeftColumn(), 0);
    columns->addLayout(buildMiddleColumn(), 2);
    columns->addLayout(buildRightColumn(), 3);
    // The log pane sits below the columns, closed until the operator opens it.
    auto* split = new QSplitter(Qt::Vertical, this);
    split->setChildrenCollapsible(false);
    // The window paints no background of its own: the handle must.
    split->setAutoFillBackground(true);
    split->addWidget(central);
    logPane = new CLogPane();
    logPane->hide();
    split->addWidget(logPane);
    setCentralWidget(split);

    connectServices();
    readSettings();
    // Silent at start-up: an empty field is not yet the operator's mistake.
    tryToConnect(false);
    refreshDevicesSlot(QString());
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
    addressEdit->setValidator(new CHostValidator(addressEdit));
    // A text wider than the field would otherwise stay scrolled to its end.
    connect(addressEdit, &QLineEdit::editingFinished, this, [this] { addressEdit->setCursorPosition(0); });
    portEdit = new QLineEdit();
    portEdit->setAccessibleName(QStringLiteral("Server port"));
    portEdit->setFixedWidth(50);
    // Digits only, at most five; a shorter port is acceptable too, so that Return connects with it.
    portEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,5}")), portEdit));
    urlRow->addWidget(schemeBox);
    urlRow->addWidget(new QLabel(QStringLiteral("://")));
    urlRow->addWidget(addressEdit);
    urlRow->addWidget(new QLabel(QStringLiteral(":")));
    urlRow->addWidget(portEdit);
    fields->addLayout(urlRow);

    // One grid, so that the login and password fields start at the same x.
    auto* credentials = new QGridLayout();
    credentials->setContentsMargins(0, 0, 0, 0);
    credentials->setHorizontalSpacing(5);
    credentials->setVerticalSpacing(5);
    loginEdit = new QLineEdit();
    loginEdit->setAccessibleName(QStringLiteral("Login"));
    credentials->addWidget(new QLabel(QStringLiteral("Login:")), 0, 0);
    credentials->addWidget(loginEdit, 0, 1);
    passwordEdit = new QLineEdit();
    passwordEdit->setAccessibleName(QStringLiteral("Password"));
    passwordEdit->setEchoMode(QLineEdit::Password);
    passwordEdit->setInputMethodHints(Qt::ImhHiddenText | Qt::ImhNoAutoUppercase | Qt::ImhNoPredictiveText);
    credentials->addWidget(new QLabel(QStringLiteral("Password:")), 1, 0);
    credentials->addWidget(passwordEdit, 1, 1);
    fields->addLayout(credentials);
    for (QLineEdit* edit : {addressEdit, portEdit, loginEdit, passwordEdit})
        connect(edit, &QLineEdit::returnPressed, this, &MainWindow::tryToConnectToServerSlot);

    statusLabel = new QLabel(QStringLiteral("Connection state..."));
    fields->addWidget(statusLabel);
    linkState = new CLinkStateLabel();
    fields->addWidget(linkState);
    auto* connectButton = new QPushButton(QStringLiteral("Connect"));
    connectButton->setObjectName(QStringLiteral("blueBtn"));
    connectButton->setFixedSize(75, 25);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::tryToConnectToServerSlot);
    fields->addWidget(connectButton, 0, Qt::AlignCenter);
    fields->addWidget(new CModbusAccessLabel());
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
    // Widths follow the columns' stretches, never the texts on view.
    deviceView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
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
    auto* logButton = new QPushButton(QStringLiteral("Log"));
    logButton->setObjectName(QStringLiteral("blueBtn"));
    logButton->setToolTip(QStringLiteral("Show the log"));
    logButton->setCheckable(true);
    logButton->setFixedSize(40, 40);
    auto* mapButton = new QPushButton(QStringLiteral("Map"));
    mapButton->setObjectName(QStringLiteral("blueBtn"));
    mapButton->setToolTip(QStringLiteral("Write the register map of every device as CSV"));
    mapButton->setFixedSize(40, 40);
    connect(mapButton, &QPushButton::clicked, this, [this] { CRegisterMapSave::ask(this); });
    buttons->addWidget(mapButton);
    connect(logButton, &QPushButton::toggled, this, &MainWindow::toggleLogPane);
    buttons->addWidget(logButton);
    column->addLayout(buttons);
    return column;
}

QLayout* MainWindow::buildRightColumn()
{
    auto* column = new QVBoxLayout();
    column->setContentsMargins(5, 5, 5, 5);
    column->setSpacing(0);

    deviceTitle = new CElidedLabel(QStringLiteral("Device [UNKNOWN] "));
    deviceTitle->setObjectName(QStringLiteral("title1Lab"));
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
    registerView->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Expanding);
    column->addWidget(registerView, 50);
    return column;
}

void MainWindow::connectServices()
{
    connect(CLogFile::getInstance(), &CLogFile::addLogSignal, this, &MainWindow::debugSlot);
    connect(CLogFile::getInstance(), &CLogFile::addLogSignal, logPane, &CLogPane::addLineSlot);
    connect(CServerHandler::getInstance(), &CServerHandler::changeServerStatus, this,
            &MainWindow::changeServerStatusSlot, Qt::QueuedConnection);
    connect(this, &MainWindow::connectToServer, CServerHandler::getInstance(), &CServerHandler::connectSlot,
            Qt::QueuedConnection);
    connect(CServerHandler::getInstance(), &CServerHandler::retryScheduled, linkState,
            &CLinkStateLabel::retryScheduledSlot, Qt::QueuedConnection);
    connect(CServerHandler::getInstance(), &CServerHandler::lastErrorChanged, linkState,
            &CLinkStateLabel::lastErrorChangedSlot, Qt::QueuedConnection);
    // The dialogs ask for the whole list; the search the operator applied stays applied.
    const auto refreshWithSearch = [this] { refreshDevicesSlot(searchEdit->text()); };
    connect(CAddNewDeviceForm::getInstance(), &CAbstractDeviceForm::refreshDeviceList, this,
            refreshWithSearch, Qt::QueuedConnection);
    connect(CEditDeviceForm::getInstance(), &CAbstractDeviceForm::refreshDeviceList, this, refreshWithSearch,
            Qt::QueuedConnection);
}

void MainWindow::debugSlot(const QString& str)
{
    qDebug().noquote() << str;
}

void MainWindow::readSettings()
{
    const QString s = SETT::SETT_SECT_SERVER;
    addressEdit->setText(CSettings::readValue(s + SETT::SETT_SERVER_IP, QVariant()).toString());
    addressEdit->setCursorPosition(0);
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
    deviceTitle->setFullText(QStringLiteral("Device [UNKNOWN]"));
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
    deviceTitle->setFullText(QStringLiteral("Device:%1 [%2]").arg(devEui, devType));
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

int MainWindow::rowOfDevice(unsigned int id) const
{
    for (int r = 0; r < deviceModel->rowCount(); ++r)
        if (deviceModel->index(r, DB::DEV_COL_DEVICE).data().toUInt() == id)
            return r;
    return -1;
}

int MainWindow::rowOfEui(const QString& devEui) const
{
    for (int r = 0; r < deviceModel->rowCount(); ++r)
        if (COMM::euiKey(deviceModel->index(r, DB::DEV_COL_DEVEUI).data().toString()) == COMM::euiKey(devEui))
            return r;
    return -1;
}

void MainWindow::refreshDevicesSlot(const QString& _search)
{
    const bool hadCurrent = hasCurrentDevice();
    const unsigned int currentId = currentDeviceCell(DB::DEV_COL_DEVICE).toUInt();
    deviceModel->setQuery(CDataBaseHandler::getInstance()->getDevices(_search));
    // The model reads in batches of 256; the scroll bar must span every device.
    while (deviceModel->canFetchMore())
        deviceModel->fetchMore();
    if (deviceModel->rowCount() == 0) {
        showNoDevice();
        return;
    }
    // The device on view stays current while it is listed.
    const int row = hadCurrent ? rowOfDevice(currentId) : -1;
    deviceView->setCurrentIndex(deviceModel->index(qMax(row, 0), 0));
}

void MainWindow::newDataForDeviceSlot(const QString& _devEui)
{
    if (hasCurrentDevice() &&
        _devEui.compare(currentDeviceCell(DB::DEV_COL_DEVEUI).toString(), Qt::CaseInsensitive) == 0)
        refreshRegisterSlot();
}

void MainWindow::addNewItemSlot()
{
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    if (form->showForm(QStringLiteral("Add new device interface")) != QDialog::Accepted)
        return;
    refreshDevicesSlot(searchEdit->text());
    if (rowOfEui(form->addedDevEui()) < 0 && !searchEdit->text().isEmpty()) {
        searchEdit->setText(QString()); // the search hides it: show all
        refreshDevicesSlot(QString());
    }
    const int row = rowOfEui(form->addedDevEui());
    if (row >= 0)
        deviceView->setCurrentIndex(deviceModel->index(row, 0));
}

void MainWindow::toggleLogPane(bool shown)
{
    logPane->setVisible(shown);
    if (auto* split = qobject_cast<QSplitter*>(centralWidget()); shown && split)
        split->setSizes({split->height() * 2 / 3, split->height() / 3});
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
    const QString devEui = currentDeviceCell(DB::DEV_COL_DEVEUI).toString();
    const QString name = currentDeviceCell(DB::DEV_COL_NAME).toString();
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, QStringLiteral("Delete device"), DELETE_QUESTION.arg(name, devEui, QString::number(port)),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    emit disconnectDevice(devEui, port);
    CDataBaseHandler::getInstance()->deleteDevice(currentDeviceCell(DB::DEV_COL_DEVICE).toUInt());
    addLog(LOG_DEVICE_DELETED.arg(devEui, name, QString::number(port)));
    refreshDevicesSlot(searchEdit->text());
}

void MainWindow::tryToConnectToServerSlot()
{
    tryToConnect(true);
}

void MainWindow::tryToConnect(bool showWhyNot)
{
    struct SRequired
    {
        QLineEdit* edit;
        QString log;
        QString status;
    };
    const QList<SRequired> required = {
        {addressEdit, QStringLiteral("[main] IP is empty"), QStringLiteral("Enter the server address")},
        {portEdit, QStringLiteral("[main] PORT is empty"), QStringLiteral("Enter the server port")},
        {loginEdit, QStringLiteral("[main] LOGIN is empty"), QStringLiteral("Enter the login")},
        {passwordEdit, QStringLiteral("[main] PASSWORD is empty"), QStringLiteral("Enter the password")},
    };
    for (const SRequired& field : required) {
        if (field.edit->text().isEmpty()) {
            addLog(field.log, CLogFile::LOG_TYPE_NORMAL, false);
            if (showWhyNot)
                statusLabel->setText(field.status);
            return;
        }
    }
    const QString origin =
        COMM::serverOrigin(schemeBox->currentText(), addressEdit->text(), portEdit->text());
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
    // Until a log-in succeeds, the status says that the stand-in is missing; the
    // panel's width leaves the reason to the tool tip (and history.log).
    if (_status == COMM::SUCCESS)
        standinProblem.clear();
    statusLabel->setText(standinProblem.isEmpty() ? *text : STATUS_NO_STANDIN.arg(*text));
    statusLabel->setToolTip(standinProblem.isEmpty() ? QString() : TIP_NO_STANDIN.arg(standinProblem));
    emit setConnectStatusIco(QIcon(_status == COMM::SUCCESS ? ICON_GOOD : ICON_FAIL));
    if (_status == COMM::SUCCESS)
        saveSettings();
}
