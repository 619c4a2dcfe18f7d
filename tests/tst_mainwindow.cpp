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

const QString LONG_APP = QStringLiteral("7C52000000000009");
const QString LONG_TYPE = QStringLiteral("Combined temperature, humidity and air quality sensor (indoor)");

QString currentCell(QListView* view, int column)
{
    return view->currentIndex().siblingAtColumn(column).data().toString();
}

void clickRow(QListView* view, int row)
{
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::NoModifier, rect.center());
}

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT
    std::unique_ptr<CGatewayFixture> fixture;
    MainWindow* window = nullptr;
    QLabel* status = nullptr;
    QList<QUrl> opened;

    void makeWindow()
    {
        window = new MainWindow;
        status = child<QLabel>(window, "text", NO_STATUS);
        QVERIFY(status);
        window->show();
    }

public slots:
    void openUrl(const QUrl& url) { opened << url; }

private slots:
    void init()
    {
        fixture.reset(new CGatewayFixture);
        QVERIFY(fixture->enter());
    }
    void cleanup()
    {
        delete window;
        window = nullptr;
        fixture->leave();
        fixture.reset();
    }

    void startUpAndSave_data()
    {
        QTest::addColumn<QString>("stored"); // settings.conf: none, lines added to the fake's, or a directory
        QTest::addColumn<int>("value");      // the link's status then
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("icon");

        const QString good = QStringLiteral(":/connectionGoodIco.png");
        QTest::newRow("without settings the start logs the empty address; a log-in saves the typed fields")
            << "none" << 0 << "SUCCESS" << good;
        QTest::newRow("stored settings without a scheme, as older builds wrote them, fill the fields, log in")
            << "" << 0 << "SUCCESS" << good;
        QTest::newRow("wss comes back after a restart") << "scheme=wss\n" << 0 << "SUCCESS" << good;
        QTest::newRow("a settings file that cannot be written is named in the status line")
            << "directory" << 0 << "SUCCESS (settings.conf not saved: Is a directory)" << good;
        QTest::newRow("a refused log-in shows the fail icon and saves nothing")
            << "none" << 4 << "INVALID AUTH"
            << ":/connectionFailIco.png";
        QTest::newRow("a value outside the enumeration changes nothing") << "none" << 6 << NO_STATUS << "";
    }

    void startUpAndSave()
    {
        QFETCH(QString, stored);
        QFETCH(int, value);
        QFETCH(QString, icon);
        const bool none = stored == "none";
        QVERIFY(fixture->start(3, !none));
        QFile file(SETT::SETT_FILENAME);
        if (!none && stored != "directory") {
            QVERIFY(file.open(QIODevice::Append) && file.write(stored.toUtf8()) >= 0);
            file.close();
            CSettings::resetInstance();
            CSettings::getInstance(SETT::SETT_FILENAME);
        }
        makeWindow();
        const QString scheme = stored.contains("wss") ? "wss" : "ws";
        QCOMPARE(window->findChild<QComboBox*>()->currentText(), scheme);
        const QString port = QString::number(fixture->fake.port());
        QCOMPARE(fieldTexts(window), none ? QStringList({"", "", "", ""})
                                          : QStringList({"127.0.0.1", port, "operator", "secret"}));
        QVERIFY(window->findChild<CAbstractPanelButton*>()->isChecked());
        QCOMPARE(CGatewayFixture::log().contains("[main] IP is empty"), none);
        if (stored.isEmpty())
            QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
        QCOMPARE(fixture->fake.sent("cmd").size(), stored.isEmpty() ? 1 : 0);
        const QStringList typed = {"10.0.0.7", "802", "op", "pw"};
        for (int i = 0; none && i < FIELDS.size(); ++i)
            QTest::keyClicks(field(window, FIELDS.at(i)), typed.at(i));
        if (stored == "directory")
            QVERIFY(file.remove() && QDir().mkdir(SETT::SETT_FILENAME));
        QSignalSpy icons(window, &MainWindow::setConnectStatusIco);

        QVERIFY(QMetaObject::invokeMethod(window, "changeServerStatusSlot",
                                          Q_ARG(COMM::EServerStatus, COMM::EServerStatus(value))));

        QTEST(status->text(), "status");
        QCOMPARE(icons.count(), icon.isEmpty() ? 0 : 1);
        if (!icon.isEmpty())
            QCOMPARE(icons.first().first().value<QIcon>().pixmap(36, 36).toImage(),
                     QIcon(icon).pixmap(36, 36).toImage());
        QCOMPARE(QFileInfo(SETT::SETT_FILENAME).isFile(), stored != "directory" && (!none || value == 0));
        if (!QFileInfo(SETT::SETT_FILENAME).isFile())
            return;
        QSettings saved(SETT::SETT_FILENAME, QSettings::IniFormat);
        QStringList values;
        for (const char* key :
             {"server/ip", "server/port", "server/login", "server/password", "server/scheme"})
            values << saved.value(key).toString();
        QCOMPARE(values, (none ? typed : fieldTexts(window)) + QStringList{scheme});
    }

    void deleteAsksAndKeepsTheSearch_data()
    {
        QTest::addColumn<QString>("searched");
        QTest::addColumn<QString>("tip");
        QTest::addColumn<int>("answer");
        QTest::addColumn<int>("stored"); // devices in storage after
        QTest::newRow("yes deletes the device named in the question and keeps the search")
            << "oiler"
            << "Delete device" << int(QMessageBox::Yes) << 2;
        QTest::newRow("no keeps every device") << "oiler"
                                               << "Delete device" << int(QMessageBox::No) << 3;
        QTest::newRow("delete while the search matches nothing removes nothing") << "no such name"
                                                                                 << "Delete device" << 0 << 3;
        QTest::newRow("edit while the search matches nothing opens no dialog")
            << "no such name"
            << "Edit device parametrs" << 0 << 3;
    }

    void deleteAsksAndKeepsTheSearch()
    {
        QFETCH(QString, searched);
        QFETCH(QString, tip);
        QFETCH(int, answer);
        QFETCH(int, stored);
        QVERIFY(fixture->start(3));
        const quint16 ports[] = {CGatewayFixture::freePort(), CGatewayFixture::freePort()};
        QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Boiler B", 20, ports[1]));
        QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler A", 10, ports[0]));
        QVERIFY(CGatewayFixture::storeDevice("70B3000000000003", "Cold store", 30, ports[1]));
        harness::core()->openStoredDevices(); // as at start, had they been stored before
        makeWindow();
        QListView* view = viewPaintedBy<CDeviceDelegat>(window);
        auto* line = window->findChild<CSearchEditWidget*>()->findChild<QLineEdit*>();
        QTest::keyClicks(line, searched);
        QTest::keyClick(line, Qt::Key_Return);
        const int shown = view->model()->rowCount();
        QCOMPARE(shown, answer ? 2 : 0);
        if (shown)
            clickRow(view, 1);
        const QString name = currentCell(view, DB::DEV_COL_NAME);
        const QString eui = currentCell(view, DB::DEV_COL_DEVEUI);
        const QString port = currentCell(view, DB::DEV_COL_PORT);
        QSignalSpy disconnects(window, &MainWindow::disconnectDevice);
        QString question;
        CModalWatcher modals([&](QWidget* modal) {
            auto* box = qobject_cast<QMessageBox*>(modal);
            question = box->text();
            QTest::mouseClick(box->button(QMessageBox::StandardButton(answer)), Qt::LeftButton);
        });

        QTest::mouseClick(child<QPushButton>(window, "toolTip", tip), Qt::LeftButton);

        QCOMPARE(modals.seen, shown ? 1 : 0);
        QVERIFY2(question.contains(name) && question.contains(eui) && question.contains(port),
                 qPrintable(question));
        QCOMPARE(CGatewayFixture::deviceCount(), stored);
        QCOMPARE(disconnects.count(), 3 - stored);
        QCOMPARE(view->model()->rowCount(), shown ? stored - 1 : 0);
        QCOMPARE(window->findChild<CSearchEditWidget*>()->text(), searched);
        const QString logged =
            QStringLiteral(
                "INFO: [MainWindow::deleteItemSlot] Device [%1] \"%2\" deleted, it left TCP port %3")
                .arg(eui, name, port);
        QCOMPARE(CGatewayFixture::log().contains(logged), stored == 2);
        if (shown)
            QTRY_COMPARE(CAllDeviceHandler::getInstance()->isRegistered(eui), stored == 3);
    }

    void addedDeviceBecomesCurrent()
    {
        const QString newEui = QStringLiteral("70B3D50000000ABC");
        fixture->fake.offer({QJsonObject{
            {API::API_JSON_KEY_DEVEUI, newEui},
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
            QTest::keyClicks(child<QLineEdit>(form, "accessibleName", "Start address"),
                             QStringLiteral("200"));
            QTest::mouseClick(child<QPushButton>(form, "text", "OK"), Qt::LeftButton);
        });
        driver.start(20);
        QTimer::singleShot(5000, &driver, [] { CAddNewDeviceForm::getInstance()->reject(); });

        QTest::mouseClick(child<QPushButton>(window, "toolTip", "Add new device from server"),
                          Qt::LeftButton);

        QCOMPARE(CGatewayFixture::deviceCount(), 3);
        QListView* view = viewPaintedBy<CDeviceDelegat>(window);
        QCOMPARE(currentCell(view, DB::DEV_COL_DEVEUI), newEui);
        // The dialog's own refresh request arrives later and must not move the selection.
        QCoreApplication::processEvents();
        QCOMPARE(currentCell(view, DB::DEV_COL_DEVEUI), newEui);
    }

    void connectFromTheKeyboard_data()
    {
        QTest::addColumn<QString>("returnIn");
        QTest::addColumn<QString>("login");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("expected"); // in the status line
        QTest::newRow("Return in the password field connects") << "Password"
                                                               << "operator" << true << "SUCCESS";
        QTest::newRow("Return in the address field connects") << "Server address"
                                                              << "operator" << true << "SUCCESS";
        QTest::newRow("an empty login is named in the status line") << "Password"
                                                                    << "" << true << "Enter the login";
        QTest::newRow("with nobody listening the next try and the error show under the status")
            << "Password"
            << "operator" << false << QString();
    }

    void connectFromTheKeyboard()
    {
        QFETCH(QString, returnIn);
        QFETCH(QString, login);
        QFETCH(bool, listening);
        QFETCH(QString, expected);
        QVERIFY(fixture->start(3));
        makeWindow();
        QSignalSpy errors(CServerHandler::getInstance(), &CServerHandler::lastErrorChanged);
        const quint16 port = listening ? fixture->fake.port() : CGatewayFixture::freePort();
        const QStringList typed = {"127.0.0.1", QString::number(port), login, "secret"};
        for (int i = 0; i < FIELDS.size(); ++i)
            QTest::keyClicks(field(window, FIELDS.at(i)), typed.at(i));

        QTest::keyClick(field(window, returnIn), Qt::Key_Return);

        if (listening) {
            QTRY_COMPARE(status->text(), expected);
            QCOMPARE(fixture->fake.sent("cmd").size(), login.isEmpty() ? 0 : 1);
            return;
        }
        QTRY_VERIFY(!errors.isEmpty());
        auto* detail = child<QLabel>(window, "objectName", "linkStateLab");
        QVERIFY(detail);
        QTRY_VERIFY2(detail->isVisible() &&
                         detail->text().contains(QRegularExpression("next try in [0-9]+ s")) &&
                         detail->text().contains(errors.last().first().toString()),
                     qPrintable(detail->text()));
    }

    void addressField_data()
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
    void addressField()
    {
        QFETCH(QString, typed);
        QFETCH(bool, accepted);
        QVERIFY(fixture->start(3));
        makeWindow();
        QLineEdit* address = field(window, "Server address");
        QTest::keyClicks(address, typed);
        QCOMPARE(address->text() == typed && address->hasAcceptableInput(), accepted);
    }

    // Six hundred devices, one of a type named wider than any window.
    void longListAndLongTypeKeepTheWindow()
    {
        QDir().mkdir(COMM::DEVICE_FOLDER);
        QFile in(QStringLiteral(TW_SOURCE_DIR "/templates/temp_humidity.json"));
        QFile out(COMM::DEVICE_FOLDER + QStringLiteral("/long.json"));
        QVERIFY(in.open(QIODevice::ReadOnly) && out.open(QIODevice::WriteOnly));
        out.write(in.readAll()
                      .replace("7A52000000000002", LONG_APP.toLatin1())
                      .replace("Temperature and humidity", LONG_TYPE.toUtf8()));
        out.close();
        QVERIFY(fixture->start(3));
        const quint16 port = CGatewayFixture::freePort();
        QVERIFY(CGatewayFixture::storeDevice("70B3100000000001", "Alpha", 0, port, false));
        QVERIFY(CGatewayFixture::storeDevice("70B3100000000002", "Beta", 0, port, false, LONG_APP));
        for (int i = 0; i < 600; ++i)
            QVERIFY(CGatewayFixture::storeDevice(QStringLiteral("70B30000000%1").arg(i, 5, 10, QChar('0')),
                                                 QStringLiteral("Device %1").arg(i, 3, 10, QChar('0')), 0,
                                                 port, false));
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
        // The scroll bar's own End key, as a drag of its thumb to the bottom ends.
        QTest::keyClick(view->verticalScrollBar(), Qt::Key_End);
        const QModelIndex last = view->model()->index(view->model()->rowCount() - 1, DB::DEV_COL_NAME);
        QCOMPARE(last.data().toString(), QStringLiteral("Device 599"));
        QVERIFY(view->viewport()->rect().contains(view->visualRect(last.siblingAtColumn(0))));
    }

    void logPaneShowsFiltersAndOpensFolder()
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

    void registerTableShowsEveryCommittedUplink_data()
    {
        QTest::addColumn<QString>("sentTo");
        QTest::addColumn<bool>("follows");

        QTest::newRow("each uplink of the device on view shows once stored, never an older value")
            << "70B300000000000A" << true;
        QTest::newRow("uplinks of another device leave the table alone") << "70B300000000000B" << false;
    }

    // Through the link, decoding and storage: every refresh of the table must
    // show the newest uplink as storage holds it, not the one before.
    void registerTableShowsEveryCommittedUplink()
    {
        QFETCH(QString, sentTo);
        QFETCH(bool, follows);
        const quint16 port = CGatewayFixture::freePort();
        QVERIFY(fixture->start(3, true));
        QVERIFY(CGatewayFixture::storeDevice("70B300000000000A", "Alpha", 0, port));
        QVERIFY(CGatewayFixture::storeDevice("70B300000000000B", "Beta", 100, port));
        harness::core()->openStoredDevices();
        makeWindow();
        QTRY_COMPARE(status->text(), QStringLiteral("SUCCESS"));
        QAbstractItemModel* registers = viewPaintedBy<CRegisterDelegat>(window)->model();
        const auto shown = [registers] { return registers->index(0, DB::DATA_COL_VALUE).data().toString(); };
        QSignalSpy notices(CAllDeviceHandler::getInstance(), &CAllDeviceHandler::newDataForDevice);
        QString latest;
        QStringList stale; // refreshes that showed anything but the newest uplink, stored
        QObject scope;
        connect(registers, &QAbstractItemModel::modelReset, &scope, [&] {
            QVector<unsigned short> words;
            CDataBaseHandler::getInstance()->readRegisterWords(port, 0, 1, words);
            const QString stored = QStringLiteral("%1").arg(words.value(0), 4, 16, QLatin1Char('0'));
            if (shown() != latest || stored != latest)
                stale << QStringLiteral("%1 shown, %2 stored, %3 sent").arg(shown(), stored, latest);
        });
        for (int n = 0; n < 300; ++n) {
            latest = QStringLiteral("%1").arg(1000 + n, 4, 16, QLatin1Char('0'));
            // The temperature, little-endian in bytes 1-2.
            fixture->fake.send(
                QStringLiteral(R"({"cmd":"rx","type":"UNCONF_UP","devEui":"%1","data":"01%2%3"})")
                    .arg(sentTo, latest.mid(2), latest.left(2) + "32e40c"));
            QVERIFY2(notices.wait(5000), qPrintable(latest));
            QCoreApplication::processEvents(); // the window's queued refresh
            QCOMPARE(shown(), follows ? latest : QString());
        }
        QVERIFY2(stale.isEmpty(), qPrintable(stale.mid(0, 5).join("; ")));
    }
};

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
