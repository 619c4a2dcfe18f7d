#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>

#include "GatewayFixture.h"
#include "ui/CAddNewDeviceForm.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CLogPane.h"
#include "ui/CRegisterDelegat.h"
#include "ui/mainwindow.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CSearchEditWidget.h"
#include "widgets/color.h"

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

const QString LONG_APP = QStringLiteral("7C52000000000009");
const QString LONG_TYPE = QStringLiteral("Combined temperature, humidity and air quality sensor (indoor)");

// A template whose type name is longer than any window is wide; before start().
void writeLongTypeTemplate()
{
    QDir().mkdir(COMM::DEVICE_FOLDER);
    QFile in(QStringLiteral(TW_SOURCE_DIR "/templates/temp_humidity.json"));
    in.open(QIODevice::ReadOnly);
    QJsonObject obj = QJsonDocument::fromJson(in.readAll()).object();
    obj.insert(REGS::REGS_JSON_KEY_APPEUI, LONG_APP);
    obj.insert(REGS::REGS_JSON_KEY_DEVTYPE, LONG_TYPE);
    QFile out(COMM::DEVICE_FOLDER + QStringLiteral("/long.json"));
    out.open(QIODevice::WriteOnly);
    out.write(QJsonDocument(obj).toJson());
}

QString currentCell(QListView* view, int column)
{
    return view->currentIndex().siblingAtColumn(column).data().toString();
}

void clickRow(QListView* view, int row)
{
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
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

    void startUp_data();
    void startUp();
    void statusShown_data();
    void statusShown();
    void settingsKeepSchemeOrSayWhyNot_data();
    void settingsKeepSchemeOrSayWhyNot();
    void deleteAsksAndKeepsTheSearch_data();
    void deleteAsksAndKeepsTheSearch();
    void addedDeviceBecomesCurrent();
    void connectFromTheKeyboard_data();
    void connectFromTheKeyboard();
    void linkStateUnderStatus();
    void addressField_data();
    void addressField();
    void lastOfManyDevicesReachable();
    void longTypeKeepsWindowAndColumns();
    void logPaneShowsFiltersAndOpensFolder();
    void nothingCurrentMeansNoAction_data();
    void nothingCurrentMeansNoAction();
    void registerTableFollowsDeviceOnView_data();
    void registerTableFollowsDeviceOnView();

public slots:
    void openUrl(const QUrl& url) { opened << url; }

private:
    QList<QUrl> opened;
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

void TestMainWindow::startUp_data()
{
    QTest::addColumn<bool>("stored");
    QTest::newRow("stored settings fill the fields and log in") << true;
    QTest::newRow("without settings the start only logs the empty address") << false;
}

void TestMainWindow::startUp()
{
    QFETCH(bool, stored);
    QVERIFY(fixture->start(3, stored));
    makeWindow();

    const QString port = stored ? QString::number(fixture->fake.port()) : QString();
    QCOMPARE(fieldTexts(window),
             stored ? QStringList({"127.0.0.1", port, "operator", "secret"}) : QStringList({"", "", "", ""}));
    QVERIFY(window->findChild<CAbstractPanelButton*>()->isChecked());
    QTRY_COMPARE(status->text(), stored ? QStringLiteral("SUCCESS") : NO_STATUS);
    QCOMPARE(fixture->fake.sent("cmd").size(), stored ? 1 : 0);
    QCOMPARE(CGatewayFixture::log().contains("[main] IP is empty"), !stored);
}

void TestMainWindow::statusShown_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("icon");

    const QString good = QStringLiteral(":/connectionGoodIco.png");
    const QString fail = QStringLiteral(":/connectionFailIco.png");
    QTest::newRow("a successful log-in shows the good icon and saves the fields") << 0 << "SUCCESS" << good;
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

void TestMainWindow::deleteAsksAndKeepsTheSearch_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("left");
    QTest::newRow("yes deletes the device named in the question and keeps the search")
        << int(QMessageBox::Yes) << 1;
    QTest::newRow("no keeps every device") << int(QMessageBox::No) << 2;
}

void TestMainWindow::deleteAsksAndKeepsTheSearch()
{
    QFETCH(int, answer);
    QFETCH(int, left);
    QVERIFY(fixture->start(3));
    const quint16 ports[] = {CGatewayFixture::freePort(), CGatewayFixture::freePort()};
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Boiler B", 20, ports[1]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", 10, ports[0]));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000003", "Cold store", 30, ports[1]));
    harness::core()->openStoredDevices(); // as at start, had they been stored before
    makeWindow();
    QListView* view = viewPaintedBy<CDeviceDelegat>(window);
    search(window, QStringLiteral("oiler"));
    QCOMPARE(view->model()->rowCount(), 2);
    clickRow(view, 1);
    const QString name = currentCell(view, DB::DEV_COL_NAME);
    const QString eui = currentCell(view, DB::DEV_COL_DEVEUI);
    const QString port = currentCell(view, DB::DEV_COL_PORT);
    QString question;
    CModalWatcher boxes([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        question = box->text();
        QTest::mouseClick(box->button(QMessageBox::StandardButton(answer)), Qt::LeftButton);
    });

    QTest::mouseClick(child<QPushButton>(window, "toolTip", "Delete device"), Qt::LeftButton);

    QCOMPARE(boxes.seen, 1);
    QVERIFY2(question.contains(name) && question.contains(eui) && question.contains(port),
             qPrintable(question));
    QCOMPARE(CGatewayFixture::deviceCount(), left + 1);
    QCOMPARE(view->model()->rowCount(), left);
    QCOMPARE(window->findChild<CSearchEditWidget*>()->text(), QStringLiteral("oiler"));
    const QString logged =
        QStringLiteral("INFO: [MainWindow::deleteItemSlot] Device [%1] \"%2\" deleted, it left TCP port %3")
            .arg(eui, name, port);
    QCOMPARE(CGatewayFixture::log().contains(logged), left == 1);
    QTRY_COMPARE(CAllDeviceHandler::getInstance()->isRegistered(eui), left == 2);
}

void TestMainWindow::addedDeviceBecomesCurrent()
{
    const QString newEui = QStringLiteral("70B3D50000000ABC");
    fixture->fake.offer(
        {QJsonObject{{API::API_JSON_KEY_DEVEUI, newEui},
                     {API::API_JSON_KEY_DEVNAME, "Greenhouse"},
                     {API::API_JSON_KEY_OTAA, QJsonObject{{API::API_JSON_KEY_OTAA_APPEUI, HUMIDITY_APP}}}}});
    QVERIFY(fixture->start(3, true));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Alpha", 0, CGatewayFixture::freePort()));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Beta", 100, CGatewayFixture::freePort()));
    makeWindow();
    QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
    // Fills the dialog once the server's list is in, then presses OK.
    QTimer driver;
    connect(&driver, &QTimer::timeout, &driver, [&driver] {
        auto* form = qobject_cast<CAddNewDeviceForm*>(QApplication::activeModalWidget());
        if (form == nullptr || viewPaintedBy<CDeviceDelegat>(form)->model()->rowCount() == 0)
            return;
        driver.stop();
        QLineEdit* port = child<QLineEdit>(form, "accessibleName", "TCP port");
        port->clear();
        QTest::keyClicks(port, QString::number(CGatewayFixture::freePort()));
        QTest::keyClicks(child<QLineEdit>(form, "accessibleName", "Start address"), QStringLiteral("200"));
        QTest::mouseClick(child<QPushButton>(form, "text", "OK"), Qt::LeftButton);
    });
    driver.start(20);
    QTimer::singleShot(5000, &driver, [] { CAddNewDeviceForm::getInstance()->reject(); });

    QTest::mouseClick(child<QPushButton>(window, "toolTip", "Add new device from server"), Qt::LeftButton);

    QCOMPARE(CGatewayFixture::deviceCount(), 3);
    QListView* view = viewPaintedBy<CDeviceDelegat>(window);
    QCOMPARE(currentCell(view, DB::DEV_COL_DEVEUI), newEui);
    // The dialog's own refresh request arrives later and must not move the selection.
    QCoreApplication::processEvents();
    QCOMPARE(currentCell(view, DB::DEV_COL_DEVEUI), newEui);
}

void TestMainWindow::connectFromTheKeyboard_data()
{
    QTest::addColumn<QString>("returnIn");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Return in the password field connects") << "Password"
                                                           << "operator"
                                                           << "SUCCESS";
    QTest::newRow("Return in the address field connects") << "Server address"
                                                          << "operator"
                                                          << "SUCCESS";
    QTest::newRow("an empty login is named in the status line") << "Password"
                                                                << ""
                                                                << "Enter the login";
}

void TestMainWindow::connectFromTheKeyboard()
{
    QFETCH(QString, returnIn);
    QFETCH(QString, login);
    QFETCH(QString, expected);
    QVERIFY(fixture->start(3));
    makeWindow();
    const QStringList typed = {"127.0.0.1", QString::number(fixture->fake.port()), login, "secret"};
    for (int i = 0; i < FIELDS.size(); ++i)
        QTest::keyClicks(field(window, FIELDS.at(i)), typed.at(i));

    QTest::keyClick(field(window, returnIn), Qt::Key_Return);

    QTRY_COMPARE(status->text(), expected);
    QCOMPARE(fixture->fake.sent("cmd").size(), login.isEmpty() ? 0 : 1);
}

void TestMainWindow::linkStateUnderStatus()
{
    QVERIFY(fixture->start(3));
    makeWindow();
    QSignalSpy errors(CServerHandler::getInstance(), &CServerHandler::lastErrorChanged);
    const QStringList typed = {"127.0.0.1", QString::number(CGatewayFixture::freePort()), "op", "pw"};
    for (int i = 0; i < FIELDS.size(); ++i)
        QTest::keyClicks(field(window, FIELDS.at(i)), typed.at(i));

    QTest::keyClick(field(window, "Password"), Qt::Key_Return); // nothing listens there

    QTRY_VERIFY(!errors.isEmpty());
    auto* detail = child<QLabel>(window, "objectName", "linkStateLab");
    QVERIFY(detail);
    QTRY_VERIFY2(detail->isVisible() && detail->text().contains(QRegularExpression("next try in [0-9]+ s")) &&
                     detail->text().contains(errors.last().first().toString()),
                 qPrintable(detail->text()));
}

void TestMainWindow::addressField_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("a dotted IPv4 address") << "10.0.0.7" << true;
    QTest::newRow("a host name, as a certificate names it") << "gw-1.example.net" << true;
    QTest::newRow("a one-word host name") << "localhost" << true;
    QTest::newRow("an IPv6 address") << "fd00::7" << true;
    QTest::newRow("groups above 255 are no address") << "999.999.999.999" << false;
    QTest::newRow("a blank and a bang are no host name") << "bad host!" << false;
    QTest::newRow("an empty label is no host name") << "gw..example" << false;
}

// Accepted: the field holds what was typed and the validator takes it whole.
void TestMainWindow::addressField()
{
    QFETCH(QString, typed);
    QFETCH(bool, accepted);
    QVERIFY(fixture->start(3));
    makeWindow();
    QLineEdit* address = field(window, "Server address");
    QTest::keyClicks(address, typed);
    QCOMPARE(address->text() == typed && address->hasAcceptableInput(), accepted);
}

void TestMainWindow::lastOfManyDevicesReachable()
{
    QVERIFY(fixture->start(1));
    const quint16 port = CGatewayFixture::freePort();
    for (int i = 0; i < 600; ++i)
        QVERIFY(CGatewayFixture::storeDevice(QStringLiteral("70B30000000%1").arg(i, 5, 10, QChar('0')),
                                             QStringLiteral("Device %1").arg(i, 3, 10, QChar('0')), 0, port,
                                             false));
    makeWindow();
    QListView* view = viewPaintedBy<CDeviceDelegat>(window);
    // The scroll bar's own End key, as a drag of its thumb to the bottom ends.
    QTest::keyClick(view->verticalScrollBar(), Qt::Key_End);

    const QModelIndex last = view->model()->index(view->model()->rowCount() - 1, DB::DEV_COL_NAME);
    QCOMPARE(last.data().toString(), QStringLiteral("Device 599"));
    QVERIFY(view->viewport()->rect().contains(view->visualRect(last.siblingAtColumn(0))));
}

void TestMainWindow::longTypeKeepsWindowAndColumns()
{
    writeLongTypeTemplate();
    QVERIFY(fixture->start(3));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Alpha", 0, CGatewayFixture::freePort(), false));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Beta", 0, CGatewayFixture::freePort(), false,
                                         LONG_APP));
    makeWindow();
    QListView* view = viewPaintedBy<CDeviceDelegat>(window);
    QTRY_VERIFY(window->isVisible());
    const QSize minimum = window->minimumSizeHint();
    const int columnWidth = view->width();

    clickRow(view, 1);
    QCoreApplication::processEvents();

    QCOMPARE(window->minimumSizeHint(), minimum);
    QCOMPARE(view->width(), columnWidth);
    auto* title = child<QLabel>(window, "objectName", "title1Lab");
    QVERIFY2(title->toolTip().contains(LONG_TYPE), qPrintable(title->toolTip()));
}

void TestMainWindow::logPaneShowsFiltersAndOpensFolder()
{
    QVERIFY(fixture->start(3));
    makeWindow();
    auto* pane = window->findChild<CLogPane*>();
    QVERIFY(!pane->isVisible());
    QTest::mouseClick(child<QPushButton>(window, "toolTip", "Show the log"), Qt::LeftButton);
    QVERIFY(pane->isVisible());
    addLog(QStringLiteral("ERROR: [Test] pump offline"));
    addLog(QStringLiteral("INFO: [Test] pump back"));
    auto* lines = child<QListWidget>(pane, "accessibleName", "Log lines");
    QTRY_VERIFY(lines->count() > 0 && lines->item(lines->count() - 1)->text().contains("pump back"));
    // Written before the window existed:
    QCOMPARE(lines->findItems(QStringLiteral("New session"), Qt::MatchContains).size(), 1);
    QCOMPARE(lines->item(lines->count() - 2)->foreground().color(), QColor(QC_GLOB_RED1_D2));

    QTest::keyClicks(child<QLineEdit>(pane, "accessibleName", "Log filter"), QStringLiteral("offline"));
    QStringList shown;
    for (int i = 0; i < lines->count(); ++i)
        if (!lines->item(i)->isHidden())
            shown << lines->item(i)->text().mid(lines->item(i)->text().indexOf(']') + 1);
    QCOMPARE(shown, QStringList{"ERROR: [Test] pump offline"});

    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "openUrl");
    QTest::mouseClick(child<QPushButton>(pane, "text", "Open folder"), Qt::LeftButton);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(QDir::currentPath())});
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
