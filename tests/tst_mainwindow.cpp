#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlQueryModel>
#include <QStackedLayout>

#include "GatewayFixture.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CRegisterDelegat.h"
#include "ui/mainwindow.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString HUMIDITY_APP = QStringLiteral("7A52000000000002");
const QString HUMIDITY_TYPE = QStringLiteral("Temperature and humidity");
const QFileDevice::Permissions OWNER_RW = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
const QFileDevice::Permissions GROUP_OTHER = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                             QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                             QFileDevice::WriteOther | QFileDevice::ExeOther;

QLineEdit* field(QWidget* window, const QString& accessibleName)
{
    for (QLineEdit* edit : window->findChildren<QLineEdit*>())
        if (edit->accessibleName() == accessibleName)
            return edit;
    return nullptr;
}

QPushButton* buttonWithTip(QWidget* window, const QString& toolTip)
{
    for (QPushButton* button : window->findChildren<QPushButton*>())
        if (button->toolTip() == toolTip)
            return button;
    return nullptr;
}

template <typename TDelegate> QListView* viewPaintedBy(QWidget* window)
{
    for (QListView* view : window->findChildren<QListView*>())
        if (qobject_cast<TDelegate*>(view->itemDelegate()))
            return view;
    return nullptr;
}

QImage imageOf(const QIcon& icon)
{
    return icon.pixmap(36, 36).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Runs a search the way the operator does: type, then Return.
void search(QWidget* window, const QString& text)
{
    auto* line = window->findChild<CSearchEditWidget*>()->findChild<QLineEdit*>();
    line->clear();
    QTest::keyClicks(line, text);
    QTest::keyClick(line, Qt::Key_Return);
}

int isEmptyLines(const QString& log)
{
    return log.count(QRegularExpression(QStringLiteral("\\[main\\] \\w+ is empty")));
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startRestoresSettingsAndLogsIn();
    void startWithIncompleteSettings_data();
    void startWithIncompleteSettings();
    void statusShown_data();
    void statusShown();
    void searchNarrowsThenDeleteListsAll();
    void nothingCurrentMeansNoAction_data();
    void nothingCurrentMeansNoAction();
    void registerTableFollowsDeviceOnView_data();
    void registerTableFollowsDeviceOnView();
    void editButtonOpensTheCurrentDevice();
    void addButtonRegistersADeviceThatFillsAtOnce();

private:
    void makeWindow();
    QString modbusValue(int n) const;

    CGatewayFixture* fixture = nullptr;
    MainWindow* window = nullptr;
    QLabel* status = nullptr;
};

void TestMainWindow::initTestCase()
{
    CGatewayFixture::registerTypes();
}

void TestMainWindow::init()
{
    fixture = new CGatewayFixture;
    QVERIFY(fixture->enter());
    fixture->copyTemplates(3);
}

void TestMainWindow::cleanup()
{
    delete window;
    window = nullptr;
    fixture->leave();
    delete fixture;
}

void TestMainWindow::makeWindow()
{
    window = new MainWindow;
    // The status line is the only label with this text until the link reports.
    for (QLabel* label : window->findChildren<QLabel*>())
        if (label->text() == QLatin1String("Connection state..."))
            status = label;
    QVERIFY(status);
    window->show();
}

// 0: the TCP port, 1: the begin register.
QString TestMainWindow::modbusValue(int n) const
{
    QStringList values;
    for (QLabel* label : window->findChildren<QLabel*>())
        if (label->objectName() == QLatin1String("modbusValue") &&
            label->text() != QLatin1String("ANY VALID VALUE"))
            values << label->text();
    return values.value(n);
}

void TestMainWindow::startRestoresSettingsAndLogsIn()
{
    fixture->writeServerSettings();
    QFile::setPermissions(SETT::SETT_FILENAME, OWNER_RW | QFileDevice::ReadGroup | QFileDevice::ReadOther);
    QVERIFY(fixture->startServices());
    makeWindow();

    QCOMPARE(field(window, "Server address")->text(), QStringLiteral("127.0.0.1"));
    QCOMPARE(field(window, "Server port")->text(), QString::number(fixture->fake.port()));
    QCOMPARE(field(window, "Login")->text(), QStringLiteral("operator"));
    QCOMPARE(field(window, "Password")->text(), QStringLiteral("secret"));
    QVERIFY(window->findChild<CAbstractPanelButton*>()->isChecked());

    QTRY_COMPARE(fixture->fake.count(QStringLiteral("cmd")), 1);
    QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
    const QJsonObject auth = fixture->fake.received.last();
    QCOMPARE(auth.value(API::API_JSON_KEY_LOGIN).toString(), QStringLiteral("operator"));
    QCOMPARE(auth.value(API::API_JSON_KEY_PASSWORD).toString(), QStringLiteral("secret"));
    // The success rewrote the file, which holds a clear-text password.
    const QFileDevice::Permissions perms = QFile::permissions(SETT::SETT_FILENAME);
    QCOMPARE(perms & GROUP_OTHER, QFileDevice::Permissions());
    QCOMPARE(perms & OWNER_RW, OWNER_RW);
}

void TestMainWindow::startWithIncompleteSettings_data()
{
    QTest::addColumn<bool>("writeFile");
    QTest::addColumn<QStringList>("fields");
    QTest::addColumn<QString>("line");

    QTest::newRow("a first start without settings logs the empty address")
        << false << QStringList{"", "", "", ""} << "[main] IP is empty";
    QTest::newRow("an address alone logs the empty port")
        << true << QStringList{"127.0.0.1", "", "", ""} << "[main] PORT is empty";
    QTest::newRow("address and port log the empty login")
        << true << QStringList{"127.0.0.1", "80", "", ""} << "[main] LOGIN is empty";
    QTest::newRow("all but the password logs the empty password")
        << true << QStringList{"127.0.0.1", "80", "op", ""} << "[main] PASSWORD is empty";
}

void TestMainWindow::startWithIncompleteSettings()
{
    QFETCH(bool, writeFile);
    QFETCH(QStringList, fields);
    QFETCH(QString, line);
    if (writeFile)
        fixture->writeSettings(fields.at(0), fields.at(1), fields.at(2), fields.at(3));
    QVERIFY(fixture->startServices());
    QSignalSpy linkStatus(CServerHandler::getInstance(), &CServerHandler::changeServerStatus);
    makeWindow();

    QCOMPARE(field(window, "Server address")->text(), fields.at(0));
    QCOMPARE(field(window, "Server port")->text(), fields.at(1));
    QCOMPARE(field(window, "Login")->text(), fields.at(2));
    QCOMPARE(field(window, "Password")->text(), fields.at(3));
    const QString log = CGatewayFixture::log();
    QVERIFY2(log.contains(line), qPrintable(log));
    QCOMPARE(isEmptyLines(log), 1);
    // A connection attempt would have reached the link by now (queued once).
    QCOMPARE(linkStatus.count(), 0);
    QCOMPARE(status->text(), QStringLiteral("Connection state..."));
    QCOMPARE(QFile::exists(SETT::SETT_FILENAME), writeFile);
}

void TestMainWindow::statusShown_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("saved");

    const QString good = QStringLiteral(":/connectionGoodIco.png");
    const QString fail = QStringLiteral(":/connectionFailIco.png");
    QTest::newRow("a successful log-in shows the good icon and saves the fields")
        << 0 << "SUCCESS" << good << true;
    QTest::newRow("waiting for the ping answer") << 1 << "PING WAITING" << fail << false;
    QTest::newRow("a wrong ping answer") << 2 << "INVALID PING" << fail << false;
    QTest::newRow("waiting for the log-in answer") << 3 << "AUTH WAITING" << fail << false;
    QTest::newRow("a refused log-in") << 4 << "INVALID AUTH" << fail << false;
    QTest::newRow("a closed connection") << 5 << "DISCONNECTED" << fail << false;
    QTest::newRow("a value outside the enumeration changes nothing")
        << 6 << "Connection state..." << QString() << false;
}

void TestMainWindow::statusShown()
{
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(QString, icon);
    QFETCH(bool, saved);
    QVERIFY(fixture->startServices());
    makeWindow();
    field(window, "Server address")->setText(QStringLiteral("10.0.0.7"));
    field(window, "Server port")->setText(QStringLiteral("802"));
    field(window, "Login")->setText(QStringLiteral("op"));
    field(window, "Password")->setText(QStringLiteral("pw"));
    QSignalSpy icons(window, &MainWindow::setConnectStatusIco);

    QVERIFY(QMetaObject::invokeMethod(window, "changeServerStatusSlot",
                                      Q_ARG(COMM::EServerStatus, static_cast<COMM::EServerStatus>(value))));

    QCOMPARE(status->text(), text);
    QCOMPARE(icons.count(), icon.isEmpty() ? 0 : 1);
    if (!icon.isEmpty())
        QCOMPARE(imageOf(icons.first().first().value<QIcon>()), imageOf(QIcon(icon)));
    QCOMPARE(QFile::exists(SETT::SETT_FILENAME), saved);
    if (!saved)
        return;
    QSettings stored(SETT::SETT_FILENAME, QSettings::IniFormat);
    QCOMPARE(stored.value("server/ip").toString(), QStringLiteral("10.0.0.7"));
    QCOMPARE(stored.value("server/port").toString(), QStringLiteral("802"));
    QCOMPARE(stored.value("server/login").toString(), QStringLiteral("op"));
    QCOMPARE(stored.value("server/password").toString(), QStringLiteral("pw"));
    QCOMPARE(QFile::permissions(SETT::SETT_FILENAME) & GROUP_OTHER, QFileDevice::Permissions());
}

void TestMainWindow::searchNarrowsThenDeleteListsAll()
{
    QVERIFY(fixture->startServices());
    const quint16 ports[] = {CGatewayFixture::freePort(), CGatewayFixture::freePort(),
                             CGatewayFixture::freePort()};
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Boiler B", HUMIDITY_APP, 20, ports[1]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", HUMIDITY_APP, 10, ports[0]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000003", "Cold store", HUMIDITY_APP, 30, ports[2]));
    makeWindow();
    QListView* devices = viewPaintedBy<CDeviceDelegat>(window);
    QCOMPARE(devices->model()->rowCount(), 3);
    for (quint16 port : ports)
        QVERIFY2(!CGatewayFixture::portIsFree(port), "stored devices serve once the window is built");

    search(window, QStringLiteral("oiler"));
    QCOMPARE(devices->model()->rowCount(), 2);
    QCOMPARE(window->findChild<QLabel*>("title1Lab")->text(),
             QStringLiteral("Device:70B3000000000001 [%1]").arg(HUMIDITY_TYPE));
    QCOMPARE(modbusValue(0), QString::number(ports[0]));
    QCOMPARE(modbusValue(1), QStringLiteral("10"));

    buttonWithTip(window, "Delete device")->click();

    QVERIFY(!CDataBaseHandler::getInstance()->getRegisteredDevices().contains("70B3000000000001"));
    QCOMPARE(CGatewayFixture::deviceCount(), 2);
    QTRY_VERIFY(!CAllDeviceHandler::getInstance()->isRegistered("70B3000000000001"));
    QTRY_VERIFY(CGatewayFixture::portIsFree(ports[0]));
    QVERIFY(!CGatewayFixture::portIsFree(ports[1]));
    QCOMPARE(devices->model()->rowCount(), 2);
    QCOMPARE(devices->currentIndex().siblingAtColumn(DB::DEV_COL_NAME).data().toString(),
             QStringLiteral("Boiler B"));
    QCOMPARE(window->findChild<CSearchEditWidget*>()->text(), QStringLiteral("oiler"));
}

void TestMainWindow::nothingCurrentMeansNoAction_data()
{
    QTest::addColumn<bool>("stored");
    QTest::addColumn<QString>("button");

    QTest::newRow("delete with an empty storage") << false << "Delete device";
    QTest::newRow("edit with an empty storage") << false << "Edit device parametrs";
    QTest::newRow("delete while the search matches nothing") << true << "Delete device";
    QTest::newRow("edit while the search matches nothing") << true << "Edit device parametrs";
}

void TestMainWindow::nothingCurrentMeansNoAction()
{
    QFETCH(bool, stored);
    QFETCH(QString, button);
    QVERIFY(fixture->startServices());
    if (stored)
        QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", HUMIDITY_APP, 0,
                                             CGatewayFixture::freePort()));
    makeWindow();
    if (stored)
        search(window, QStringLiteral("no such name"));
    QCOMPARE(viewPaintedBy<CDeviceDelegat>(window)->model()->rowCount(), 0);
    QCOMPARE(window->findChild<QLabel*>("title1Lab")->text(), QStringLiteral("Device [UNKNOWN]"));
    QSignalSpy disconnects(window, &MainWindow::disconnectDevice);
    CModalWatcher dialogs([](QWidget* modal) { static_cast<QDialog*>(modal)->reject(); });

    buttonWithTip(window, button)->click();

    QCOMPARE(dialogs.seen, 0);
    QCOMPARE(disconnects.count(), 0);
    QCOMPARE(CGatewayFixture::deviceCount(), stored ? 1 : 0);
}

void TestMainWindow::registerTableFollowsDeviceOnView_data()
{
    QTest::addColumn<QString>("devEui");
    QTest::addColumn<bool>("refreshed");

    QTest::newRow("new data of the device on view refreshes its registers") << "70B300000000000A" << true;
    QTest::newRow("its EUI in lower case is the same device") << "70b300000000000a" << true;
    QTest::newRow("new data of another device leaves the table alone") << "70B300000000000B" << false;
}

void TestMainWindow::registerTableFollowsDeviceOnView()
{
    QFETCH(QString, devEui);
    QFETCH(bool, refreshed);
    QVERIFY(fixture->startServices());
    QVERIFY(CGatewayFixture::storeDevice("70B300000000000A", "Alpha", HUMIDITY_APP, 0,
                                         CGatewayFixture::freePort()));
    QVERIFY(CGatewayFixture::storeDevice("70B300000000000B", "Beta", HUMIDITY_APP, 100,
                                         CGatewayFixture::freePort()));
    makeWindow();
    QAbstractItemModel* registers = viewPaintedBy<CRegisterDelegat>(window)->model();
    QVERIFY(registers->rowCount() > 0);
    QCOMPARE(registers->index(0, DB::DATA_COL_VALUE).data().toString(), QString());

    // Both devices get a new first register value; only a notification shows it.
    for (const auto& device : {qMakePair(QStringLiteral("70B300000000000A"), 0),
                               qMakePair(QStringLiteral("70B300000000000B"), 100)}) {
        DB::SDbDeviceRegDataSet set;
        set.devEui = device.first;
        set.startAddr = device.second;
        set.appendRewriteData(QStringLiteral("00ff"), 0, QStringLiteral("00ff"));
        CDataBaseHandler::getInstance()->saveRegisterData(set);
    }
    emit CAllDeviceHandler::getInstance()->newDataForDevice(devEui);
    QCoreApplication::processEvents();

    QCOMPARE(registers->index(0, DB::DATA_COL_VALUE).data().toString(),
             refreshed ? QStringLiteral("00ff") : QString());
}

void TestMainWindow::editButtonOpensTheCurrentDevice()
{
    QVERIFY(fixture->startServices());
    const quint16 port = CGatewayFixture::freePort();
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", HUMIDITY_APP, 7, port));
    makeWindow();
    QString shownPort;
    CModalWatcher dialogs([&shownPort](QWidget* modal) {
        shownPort = field(modal, "TCP port")->text();
        for (QPushButton* button : modal->findChildren<QPushButton*>())
            if (button->text() == QLatin1String("OK"))
                button->click();
    });

    buttonWithTip(window, "Edit device parametrs")->click();

    QCOMPARE(dialogs.seen, 1);
    QCOMPARE(shownPort, QString::number(port));
    QVERIFY(CGatewayFixture::log().contains(
        "INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
}

void TestMainWindow::addButtonRegistersADeviceThatFillsAtOnce()
{
    fixture->writeServerSettings();
    QVERIFY(fixture->startServices());
    makeWindow();
    QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
    fixture->fake.devices = {CFakeNetworkServer::device("70b3d50000000abc", "Greenhouse", HUMIDITY_APP)};
    // Packet type 1: temperature 0x00e7 (little-endian), humidity 0x2d, battery 0x0c84.
    fixture->fake.lastPackets = {QJsonObject{{API::API_JSON_KEY_TYPE, API::ApiLorawanPacketType.at(0)},
                                             {API::API_JSON_KEY_DATA, "01e7002d840c"},
                                             {API::API_JSON_KEY_RSSI, -70},
                                             {API::API_JSON_KEY_SNR, 7.5}}};
    const quint16 port = CGatewayFixture::freePort();
    bool offered = false;
    CModalWatcher dialogs([&](QWidget* modal) {
        QStackedLayout* pages = modal->findChild<QStackedLayout*>();
        offered = QTest::qWaitFor([pages] { return pages->currentIndex() == 1; });
        field(modal, "TCP port")->setText(QString::number(port));
        field(modal, "Start address")->setText(QStringLiteral("0"));
        for (QPushButton* button : modal->findChildren<QPushButton*>())
            if (button->text() == QLatin1String("OK"))
                button->click();
        if (modal->isVisible())
            static_cast<QDialog*>(modal)->reject();
    });

    buttonWithTip(window, "Add new device from server")->click();

    QCOMPARE(dialogs.seen, 1);
    QVERIFY(offered);
    QListView* devices = viewPaintedBy<CDeviceDelegat>(window);
    QTRY_COMPARE(devices->model()->rowCount(), 1);
    QCOMPARE(devices->currentIndex().siblingAtColumn(DB::DEV_COL_DEVEUI).data().toString().toUpper(),
             QStringLiteral("70B3D50000000ABC"));
    QAbstractItemModel* registers = viewPaintedBy<CRegisterDelegat>(window)->model();
    QTRY_COMPARE(registers->index(0, DB::DATA_COL_VALUE).data().toString(), QStringLiteral("00e7"));
    QVERIFY(!CGatewayFixture::portIsFree(port));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
