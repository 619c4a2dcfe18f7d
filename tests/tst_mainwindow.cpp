#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSettings>

#include "GatewayFixture.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CRegisterDelegat.h"
#include "ui/mainwindow.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString NO_STATUS = QStringLiteral("Connection state...");
const QStringList FIELDS = {"Server address", "Server port", "Login", "Password"};

QLineEdit* field(QWidget* window, const QString& name)
{
    return child<QLineEdit>(window, "accessibleName", name);
}

QStringList fieldTexts(QWidget* window)
{
    QStringList texts;
    for (const QString& name : FIELDS)
        texts << field(window, name)->text();
    return texts;
}

QImage imageOf(const QIcon& icon)
{
    return icon.pixmap(36, 36).toImage().convertToFormat(QImage::Format_ARGB32);
}

// Types the search text and presses Return, as the operator does.
void search(QWidget* window, const QString& text)
{
    auto* line = window->findChild<CSearchEditWidget*>()->findChild<QLineEdit*>();
    QTest::keyClicks(line, text);
    QTest::keyClick(line, Qt::Key_Return);
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
private slots:
    void init()
    {
        fixture = new CGatewayFixture;
        QVERIFY(fixture->enter());
    }
    void cleanup()
    {
        delete window;
        window = nullptr;
        fixture->leave();
        delete fixture;
    }

    void startRestoresSettingsAndLogsIn();
    void startWithoutSettingsOnlyLogs();
    void statusShown_data();
    void statusShown();
    void settingsKeepSchemeOrSayWhyNot_data();
    void settingsKeepSchemeOrSayWhyNot();
    void searchNarrowsThenDeleteListsAll();
    void nothingCurrentMeansNoAction_data();
    void nothingCurrentMeansNoAction();
    void registerTableFollowsDeviceOnView_data();
    void registerTableFollowsDeviceOnView();

private:
    void makeWindow()
    {
        window = new MainWindow;
        status = child<QLabel>(window, "text", NO_STATUS);
        QVERIFY(status);
        window->show();
    }

    CGatewayFixture* fixture = nullptr;
    MainWindow* window = nullptr;
    QLabel* status = nullptr;
};

void TestMainWindow::startRestoresSettingsAndLogsIn()
{
    QVERIFY(fixture->start(3, true));
    makeWindow();

    QCOMPARE(fieldTexts(window),
             QStringList({"127.0.0.1", QString::number(fixture->fake.port()), "operator", "secret"}));
    QVERIFY(window->findChild<CAbstractPanelButton*>()->isChecked());
    QTRY_COMPARE(fixture->fake.sent("cmd").size(), 1);
    QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
}

void TestMainWindow::startWithoutSettingsOnlyLogs()
{
    QVERIFY(fixture->start(3));
    QSignalSpy attempts(CServerHandler::getInstance(), &CServerHandler::changeServerStatus);
    makeWindow();

    QVERIFY(CGatewayFixture::log().contains("[main] IP is empty"));
    QCOMPARE(attempts.count(), 0);
    QCOMPARE(status->text(), NO_STATUS);
}

void TestMainWindow::statusShown_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");

    const QString good = QStringLiteral(":/connectionGoodIco.png");
    const QString fail = QStringLiteral(":/connectionFailIco.png");
    QTest::newRow("a successful log-in shows the good icon and saves the fields") << 0 << "SUCCESS" << good;
    QTest::newRow("waiting for the ping answer") << 1 << "PING WAITING" << fail;
    QTest::newRow("a wrong ping answer") << 2 << "INVALID PING" << fail;
    QTest::newRow("waiting for the log-in answer") << 3 << "AUTH WAITING" << fail;
    QTest::newRow("a refused log-in") << 4 << "INVALID AUTH" << fail;
    QTest::newRow("a closed connection") << 5 << "DISCONNECTED" << fail;
    QTest::newRow("a value outside the enumeration changes nothing") << 6 << NO_STATUS << QString();
}

void TestMainWindow::statusShown()
{
    QFETCH(int, value);
    QFETCH(QString, text);
    QFETCH(QString, icon);
    QVERIFY(fixture->start(3));
    makeWindow();
    const QStringList values = {"10.0.0.7", "802", "op", "pw"};
    for (int i = 0; i < FIELDS.size(); ++i)
        field(window, FIELDS.at(i))->setText(values.at(i));
    QSignalSpy icons(window, &MainWindow::setConnectStatusIco);

    QVERIFY(QMetaObject::invokeMethod(window, "changeServerStatusSlot",
                                      Q_ARG(COMM::EServerStatus, static_cast<COMM::EServerStatus>(value))));

    QCOMPARE(status->text(), text);
    QCOMPARE(icons.count(), icon.isEmpty() ? 0 : 1);
    if (!icon.isEmpty())
        QCOMPARE(imageOf(icons.first().first().value<QIcon>()), imageOf(QIcon(icon)));
    QCOMPARE(QFile::exists(SETT::SETT_FILENAME), value == 0);
    if (value != 0)
        return;
    QSettings stored(SETT::SETT_FILENAME, QSettings::IniFormat);
    const QStringList keys = {"server/ip", "server/port", "server/login", "server/password"};
    for (int i = 0; i < keys.size(); ++i)
        QCOMPARE(stored.value(keys.at(i)).toString(), values.at(i));
    // The file holds a clear-text password: no group or other bits.
    QCOMPARE(int(QFile::permissions(SETT::SETT_FILENAME)) & 0077, 0);
}

void TestMainWindow::settingsKeepSchemeOrSayWhyNot_data()
{
    QTest::addColumn<QString>("stored"); // the scheme line in settings.conf
    QTest::addColumn<QString>("status"); // after a log-in

    QTest::newRow("a file without a scheme, as older builds wrote it, connects with ws") << ""
                                                                                         << "SUCCESS";
    QTest::newRow("wss comes back after a restart") << "scheme=wss\n"
                                                    << "SUCCESS";
    QTest::newRow("a settings file that cannot be written is named in the status line")
        << "directory"
        << "SUCCESS (settings.conf not saved: Is a directory)";
}

void TestMainWindow::settingsKeepSchemeOrSayWhyNot()
{
    QFETCH(QString, stored);
    QFETCH(QString, status);
    QVERIFY(fixture->start(3, true));
    QFile file(SETT::SETT_FILENAME);
    QVERIFY(stored == "directory" || (file.open(QIODevice::Append) && file.write(stored.toUtf8()) >= 0));
    file.close();
    CSettings::resetInstance();
    CSettings::getInstance(SETT::SETT_FILENAME);
    makeWindow();
    const QString scheme = stored.contains("wss") ? "wss" : "ws";
    QCOMPARE(window->findChild<QComboBox*>()->currentText(), scheme);
    if (stored == "directory")
        QVERIFY(file.remove() && QDir().mkdir(SETT::SETT_FILENAME));

    QVERIFY(QMetaObject::invokeMethod(window, "changeServerStatusSlot",
                                      Q_ARG(COMM::EServerStatus, COMM::SUCCESS)));

    QCOMPARE(this->status->text(), status);
    if (stored != "directory")
        QCOMPARE(QSettings(SETT::SETT_FILENAME, QSettings::IniFormat).value("server/scheme").toString(),
                 scheme);
}

void TestMainWindow::searchNarrowsThenDeleteListsAll()
{
    QVERIFY(fixture->start(3));
    const quint16 ports[] = {CGatewayFixture::freePort(), CGatewayFixture::freePort()};
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Boiler B", 20, ports[1]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", 10, ports[0]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000003", "Cold store", 30, ports[1]));
    makeWindow();
    QAbstractItemModel* devices = viewPaintedBy<CDeviceDelegat>(window)->model();
    QCOMPARE(devices->rowCount(), 3);
    QVERIFY(!CGatewayFixture::portIsFree(ports[0]));

    search(window, QStringLiteral("oiler"));
    QCOMPARE(devices->rowCount(), 2);
    child<QPushButton>(window, "toolTip", "Delete device")->click();

    QCOMPARE(CGatewayFixture::deviceCount(), 2);
    QTRY_VERIFY(!CAllDeviceHandler::getInstance()->isRegistered("70B3000000000001"));
    QTRY_VERIFY(CGatewayFixture::portIsFree(ports[0]));
    QVERIFY(!CGatewayFixture::portIsFree(ports[1]));
    QCOMPARE(devices->rowCount(), 2);
    QCOMPARE(window->findChild<CSearchEditWidget*>()->text(), QStringLiteral("oiler"));
}

void TestMainWindow::nothingCurrentMeansNoAction_data()
{
    QTest::addColumn<QString>("tip");

    QTest::newRow("delete while the search matches nothing removes nothing") << "Delete device";
    QTest::newRow("edit while the search matches nothing opens no dialog") << "Edit device parametrs";
}

void TestMainWindow::nothingCurrentMeansNoAction()
{
    QFETCH(QString, tip);
    QVERIFY(fixture->start(3));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", 0, CGatewayFixture::freePort()));
    makeWindow();
    search(window, QStringLiteral("no such name"));
    QCOMPARE(viewPaintedBy<CDeviceDelegat>(window)->model()->rowCount(), 0);
    QSignalSpy disconnects(window, &MainWindow::disconnectDevice);
    CModalWatcher dialogs([](QWidget*) {});

    child<QPushButton>(window, "toolTip", tip)->click();

    QCOMPARE(dialogs.seen, 0);
    QCOMPARE(disconnects.count(), 0);
    QCOMPARE(CGatewayFixture::deviceCount(), 1);
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
    QVERIFY(fixture->start(3));
    QVERIFY(CGatewayFixture::storeDevice("70B300000000000A", "Alpha", 0, CGatewayFixture::freePort()));
    QVERIFY(CGatewayFixture::storeDevice("70B300000000000B", "Beta", 100, CGatewayFixture::freePort()));
    makeWindow();
    QAbstractItemModel* registers = viewPaintedBy<CRegisterDelegat>(window)->model();
    QCOMPARE(registers->index(0, DB::DATA_COL_VALUE).data().toString(), QString());

    // Only a notification shows the device's new first register value.
    DB::SDbDeviceRegDataSet set;
    set.devEui = QStringLiteral("70B300000000000A");
    set.appendRewriteData(QStringLiteral("00ff"), 0, QStringLiteral("00ff"));
    CDataBaseHandler::getInstance()->saveRegisterData(set);
    emit CAllDeviceHandler::getInstance()->newDataForDevice(devEui);
    QCoreApplication::processEvents();

    QCOMPARE(registers->index(0, DB::DATA_COL_VALUE).data().toString(), refreshed ? "00ff" : QString());
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
