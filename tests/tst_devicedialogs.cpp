#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QStackedLayout>
#include <QStyleOptionViewItem>

#include "GatewayFixture.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString HUMIDITY_APP = QStringLiteral("7A52000000000002");
const QString NEW_EUI = QStringLiteral("70b3d50000000abc");
const QString PORT_WARNING = QStringLiteral("Invalid TCP port (is used or unsupported)");
const QString START_WARNING = QStringLiteral("Empty start address");
const QString NO_TYPES = QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES");

// The widgets of one device dialog that the tests drive.
struct SFormParts
{
    explicit SFormParts(QWidget* form)
    {
        for (QLineEdit* edit : form->findChildren<QLineEdit*>()) {
            if (edit->accessibleName() == QLatin1String("TCP port"))
                port = edit;
            else if (edit->accessibleName() == QLatin1String("Start address"))
                start = edit;
        }
        for (QPushButton* button : form->findChildren<QPushButton*>()) {
            if (button->toolTip() == PORT_WARNING)
                portWarning = button;
            else if (button->toolTip() == START_WARNING)
                startWarning = button;
        }
        for (QListView* view : form->findChildren<QListView*>()) {
            if (qobject_cast<CDeviceDelegat*>(view->itemDelegate()))
                devices = view;
            else if (qobject_cast<CSimpleRegisterDelegat*>(view->itemDelegate()))
                registers = view;
        }
        stack = form->findChild<QStackedLayout*>();
        message = qobject_cast<QLabel*>(stack->widget(0));
        grid = form->findChild<QGridLayout*>();
        search = form->findChild<CSearchEditWidget*>()->findChild<QLineEdit*>();
    }

    QAbstractItemModel* registerModel() const { return registers->model(); }

    // Labels per row of the device type grid.
    QList<int> gridRows() const
    {
        QList<int> rows;
        for (int i = 0; i < grid->count(); ++i) {
            int row = 0, column = 0, rowSpan = 0, columnSpan = 0;
            grid->getItemPosition(i, &row, &column, &rowSpan, &columnSpan);
            while (rows.size() <= row)
                rows.append(0);
            ++rows[row];
        }
        return rows;
    }

    QLineEdit* port = nullptr;
    QLineEdit* start = nullptr;
    QPushButton* portWarning = nullptr;
    QPushButton* startWarning = nullptr;
    QListView* devices = nullptr;
    QListView* registers = nullptr;
    QStackedLayout* stack = nullptr;
    QLabel* message = nullptr;
    QGridLayout* grid = nullptr;
    QLineEdit* search = nullptr;
};

QList<API::SServerDeviceInfo> offer(const QString& devEui, const QString& appEui = HUMIDITY_APP)
{
    return {API::SServerDeviceInfo{devEui, appEui, QStringLiteral("Greenhouse")}};
}

unsigned int storedDeviceId(const QString& devEui)
{
    QSqlQuery query = CDataBaseHandler::getInstance()->getDevices(QString());
    while (query.next())
        if (query.value(DB::DEV_COL_DEVEUI).toString().compare(devEui, Qt::CaseInsensitive) == 0)
            return query.value(DB::DEV_COL_DEVICE).toUInt();
    return 0;
}

QList<unsigned int> storedAddresses(unsigned int deviceId)
{
    QList<unsigned int> addresses;
    QSqlQuery query = CDataBaseHandler::getInstance()->getRegisters(deviceId);
    while (query.next())
        addresses << query.value(DB::DATA_COL_REGADDR).toUInt();
    return addresses;
}

// Edits one register row the operator's way, through the list's own editor.
void editScaling(QListView* view, int row, const QString& extra, const QString& multiplier,
                 const QString& units)
{
    const QModelIndex index = view->model()->index(row, 0);
    QAbstractItemDelegate* delegate = view->itemDelegate();
    QWidget* editor = delegate->createEditor(view->viewport(), QStyleOptionViewItem(), index);
    QVERIFY(editor);
    delegate->setEditorData(editor, index);
    const QList<QLineEdit*> edits = editor->findChildren<QLineEdit*>();
    QCOMPARE(edits.size(), 3);
    edits.at(0)->setText(extra);
    edits.at(1)->setText(multiplier);
    edits.at(2)->setText(units);
    delegate->setModelData(editor, view->model(), index);
    delete editor;
}
} // namespace

class TestDeviceDialogs : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void addDialogPages_data();
    void addDialogPages();
    void typeGridHasFiveLabelsPerRow_data();
    void typeGridHasFiveLabelsPerRow();
    void okRefusedWhileMessagePageShows();
    void portAndStartAddressChecks_data();
    void portAndStartAddressChecks();
    void registrationReachesStorageRegistryAndServer();
    void duplicateRefusedWithMessageBox();
    void editDialogShowsStoredDevice();
    void editOkUpdatesEveryRegister_data();
    void editOkUpdatesEveryRegister();
    void editSearchChangesNothing();

private:
    void start(int templates);
    void logIn();
    void invoke(QObject* form, const char* slot);

    CGatewayFixture* fixture = nullptr;
};

void TestDeviceDialogs::initTestCase()
{
    CGatewayFixture::registerTypes();
}

void TestDeviceDialogs::init()
{
    fixture = new CGatewayFixture;
    QVERIFY(fixture->enter());
}

void TestDeviceDialogs::cleanup()
{
    fixture->leave();
    delete fixture;
}

void TestDeviceDialogs::start(int templates)
{
    fixture->copyTemplates(templates);
    QVERIFY(fixture->startServices());
}

void TestDeviceDialogs::logIn()
{
    CServerHandler* link = CServerHandler::getInstance();
    QSignalSpy statuses(link, &CServerHandler::changeServerStatus);
    link->connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(fixture->fake.port()),
                      QStringLiteral("operator"), QStringLiteral("secret"));
    QTRY_VERIFY(!statuses.isEmpty() && statuses.last().first().value<COMM::EServerStatus>() == COMM::SUCCESS);
}

void TestDeviceDialogs::invoke(QObject* form, const char* slot)
{
    QVERIFY2(QMetaObject::invokeMethod(form, slot), slot);
}

void TestDeviceDialogs::addDialogPages_data()
{
    QTest::addColumn<int>("templates");
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QJsonArray>("serverList");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("offered");

    const QJsonObject stored = CFakeNetworkServer::device("70b3000000000001", "Stored", HUMIDITY_APP);
    const QJsonObject unknownType = CFakeNetworkServer::device("70B3000000000009", "Odd", "FFFF000000000000");
    const QJsonObject fresh = CFakeNetworkServer::device(NEW_EUI, "Greenhouse", "7a52000000000002");

    QTest::newRow("no templates loaded: nothing is asked and no type is known")
        << 0 << true << true << QJsonArray{fresh} << NO_TYPES << QString();
    QTest::newRow("a link not logged in gives the same message")
        << 3 << false << true << QJsonArray{fresh} << NO_TYPES << QString();
    QTest::newRow("a server that never answers times out")
        << 3 << true << false << QJsonArray{fresh} << "SERVER TIMEOUT" << QString();
    QTest::newRow("a server without devices")
        << 3 << true << true << QJsonArray{} << "EMPTY DEVICE LIST\nFROM SERVER" << QString();
    QTest::newRow("stored devices in lower case and unknown types leave nothing new")
        << 3 << true << true << QJsonArray{stored, unknownType}
        << "NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED" << QString();
    QTest::newRow("a new device whose application EUI is in lower case is offered")
        << 3 << true << true << QJsonArray{stored, fresh, unknownType} << QString() << NEW_EUI;
}

void TestDeviceDialogs::addDialogPages()
{
    QFETCH(int, templates);
    QFETCH(bool, loggedIn);
    QFETCH(bool, answered);
    QFETCH(QJsonArray, serverList);
    QFETCH(QString, message);
    QFETCH(QString, offered);
    start(templates);
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Stored", HUMIDITY_APP, 0,
                                         CGatewayFixture::freePort()));
    if (loggedIn)
        logIn();
    fixture->fake.devices = serverList;
    fixture->fake.answerDeviceList = answered;
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);

    invoke(form, "refresh");

    const bool asked = templates > 0 && loggedIn;
    QCOMPARE(parts.message->text(), asked ? QStringLiteral("WAITING...") : NO_TYPES);
    QCOMPARE(parts.stack->currentIndex(), 0);
    QTRY_COMPARE(fixture->fake.count(API::API_JSON_CMD_GETDEVREGINFOREQ), asked ? 1 : 0);
    if (offered.isEmpty()) {
        QTRY_COMPARE(parts.message->text(), message);
        QCOMPARE(parts.stack->currentIndex(), 0);
        return;
    }
    QTRY_COMPARE(parts.stack->currentIndex(), 1);
    QCOMPARE(parts.devices->model()->rowCount(), 1);
    QCOMPARE(parts.devices->currentIndex().siblingAtColumn(DB::DEV_COL_DEVEUI).data().toString(), offered);
    QCOMPARE(parts.registerModel()->rowCount(),
             CAllDeviceHandler::getInstance()->getRegisterInfo(HUMIDITY_APP).registers.size());
    QVERIFY(parts.registerModel()->rowCount() > 0);
}

void TestDeviceDialogs::typeGridHasFiveLabelsPerRow_data()
{
    QTest::addColumn<int>("templates");
    QTest::addColumn<QList<int>>("rows");

    QTest::newRow("no templates leave the grid empty") << 0 << QList<int>{};
    QTest::newRow("three templates fill part of one row") << 3 << QList<int>{3};
    QTest::newRow("seven templates give a row of five and a row of two") << 7 << QList<int>{5, 2};
}

void TestDeviceDialogs::typeGridHasFiveLabelsPerRow()
{
    QFETCH(int, templates);
    QFETCH(QList<int>, rows);
    start(templates);
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);

    // A second showing must replace the labels, not add to them.
    invoke(form, "refresh");
    invoke(form, "refresh");

    const QList<REGS::SDeviceTemplateInfo> types = CAllDeviceHandler::getInstance()->getTemplateInfo();
    QCOMPARE(types.size(), templates);
    QCOMPARE(parts.gridRows(), rows);
    for (int i = 0; i < types.size(); ++i) {
        auto* label = qobject_cast<QLabel*>(parts.grid->itemAtPosition(i / 5, i % 5)->widget());
        QCOMPARE(label->text(), types.at(i).devType);
        QVERIFY(label->styleSheet().contains(types.at(i).color.name()));
    }
}

void TestDeviceDialogs::okRefusedWhileMessagePageShows()
{
    start(3);
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    QCOMPARE(parts.stack->currentIndex(), 1);
    // The next showing cannot reach the server; the old list stays behind the message.
    invoke(form, "refresh");
    QCOMPARE(parts.message->text(), NO_TYPES);
    const quint16 port = CGatewayFixture::freePort();
    parts.port->setText(QString::number(port));
    parts.start->setText(QStringLiteral("0"));

    invoke(form, "addDeviceSlot");

    QCOMPARE(CGatewayFixture::deviceCount(), 0);
    QVERIFY(!CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI));
    QVERIFY(CGatewayFixture::portIsFree(port));
}

void TestDeviceDialogs::portAndStartAddressChecks_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("start");
    QTest::addColumn<bool>("portWarned");
    QTest::addColumn<bool>("startWarned");
    QTest::addColumn<bool>("registered");

    // "held": another program listens there; "ours": a device of this gateway does; "free": nobody.
    QTest::newRow("a port held by another program is refused") << "held"
                                                               << "0" << true << false << false;
    QTest::newRow("a port serving a device of this gateway is shared") << "ours"
                                                                       << "10" << false << false << true;
    QTest::newRow("a free port with start address 0 is accepted") << "free"
                                                                  << "0" << false << false << true;
    QTest::newRow("port 0 is refused") << "0"
                                       << "0" << true << false << false;
    QTest::newRow("port 70000 is refused like 0") << "70000"
                                                  << "0" << true << false << false;
    QTest::newRow("a negative port is refused") << "-1"
                                                << "0" << true << false << false;
    QTest::newRow("an empty port is refused") << ""
                                              << "0" << true << false << false;
    QTest::newRow("an empty start address is refused") << "free"
                                                       << "" << false << true << false;
    QTest::newRow("a negative start address is refused") << "free"
                                                         << "-1" << false << true << false;
    QTest::newRow("a start address past 65535 is refused") << "free"
                                                           << "65536" << false << true << false;
    QTest::newRow("the last register address is accepted") << "free"
                                                           << "65535" << false << false << true;
    QTest::newRow("both fields empty warn together") << ""
                                                     << "" << true << true << false;
}

void TestDeviceDialogs::portAndStartAddressChecks()
{
    QFETCH(QString, port);
    QFETCH(QString, start);
    QFETCH(bool, portWarned);
    QFETCH(bool, startWarned);
    QFETCH(bool, registered);
    this->start(3);
    const quint16 ours = CGatewayFixture::freePort();
    DB::SDeviceRegMapDescription existing;
    existing.devEui = QStringLiteral("70B3000000000001");
    existing.appEui = HUMIDITY_APP;
    QVERIFY(CGatewayFixture::storeDevice(existing.devEui, "Stored", HUMIDITY_APP, 0, ours));
    CAllDeviceHandler::getInstance()->addNewDevice(existing, ours);
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 0));
    const QMap<QString, QString> ports = {{"held", QString::number(otherProgram.serverPort())},
                                          {"ours", QString::number(ours)},
                                          {"free", QString::number(CGatewayFixture::freePort())}};
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    parts.port->setText(ports.value(port, port));
    parts.start->setText(start);

    invoke(form, "addDeviceSlot");

    QCOMPARE(!parts.portWarning->isHidden(), portWarned);
    QCOMPARE(!parts.startWarning->isHidden(), startWarned);
    QCOMPARE(CDataBaseHandler::getInstance()->getRegisteredDevices().contains(NEW_EUI.toUpper()), registered);
    QCOMPARE(CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI), registered);
    QCOMPARE(CAllDeviceHandler::getInstance()->listenerPorts().size(), registered && port == "free" ? 2 : 1);
    if (port == "ours")
        QCOMPARE(CAllDeviceHandler::getInstance()->listenerDevices(ours).size(), 2);
}

void TestDeviceDialogs::registrationReachesStorageRegistryAndServer()
{
    start(3);
    logIn();
    fixture->fake.devices = {CFakeNetworkServer::device(NEW_EUI, "Greenhouse", HUMIDITY_APP)};
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    invoke(form, "refresh");
    QTRY_COMPARE(parts.stack->currentIndex(), 1);
    QAbstractItemModel* registers = parts.registerModel();
    int scaled = -1;
    for (int r = 0; r < registers->rowCount() && scaled < 0; ++r)
        if (CSimpleRegisterDelegat::isScalable(registers->index(r, DB::DATA_COL_DATATYPE).data().toString()))
            scaled = r;
    QVERIFY(scaled >= 0 && registers->rowCount() > 1);
    editScaling(parts.registers, scaled, QStringLiteral("2.5"), QStringLiteral("0.1"), QStringLiteral("C"));
    const int other = scaled == 0 ? 1 : 0;
    const uint scaledAddr = 200 + registers->index(scaled, DB::DATA_COL_REGADDR).data().toUInt();
    const uint otherAddr = 200 + registers->index(other, DB::DATA_COL_REGADDR).data().toUInt();
    const quint16 port = CGatewayFixture::freePort();
    parts.port->setText(QString::number(port));
    parts.start->setText(QStringLiteral("200"));

    invoke(form, "addDeviceSlot");

    QCOMPARE(form->result(), int(QDialog::Accepted));
    QVERIFY(CDataBaseHandler::getInstance()->getRegisteredDevices().contains(NEW_EUI.toUpper()));
    const DB::SDbRegParamInfo edited = CDataBaseHandler::getInstance()->getRegisterParam(NEW_EUI, scaledAddr);
    QCOMPARE(edited.startValue, 2.5);
    QCOMPARE(edited.gratingPeriod, 0.1);
    QCOMPARE(edited.unit, QStringLiteral("C"));
    const DB::SDbRegParamInfo untouched =
        CDataBaseHandler::getInstance()->getRegisterParam(NEW_EUI, otherAddr);
    QCOMPARE(untouched.gratingPeriod, 1.0);
    QCOMPARE(untouched.unit, QString());
    QCOMPARE(storedAddresses(storedDeviceId(NEW_EUI)).size(), registers->rowCount());
    QVERIFY(CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI));
    QVERIFY(!CGatewayFixture::portIsFree(port));
    QCOMPARE(refreshes.count(), 1);
    QCOMPARE(refreshes.first().first().toString(), QString());
    QVERIFY(CGatewayFixture::log().contains(
        "INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully"));
    QTRY_COMPARE(fixture->fake.dataRequestEuis(), QStringList{NEW_EUI.toUpper()});
}

void TestDeviceDialogs::duplicateRefusedWithMessageBox()
{
    start(3);
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    // Someone registered it while the list was on show.
    QVERIFY(
        CGatewayFixture::storeDevice(NEW_EUI, "Greenhouse", HUMIDITY_APP, 0, CGatewayFixture::freePort()));
    const quint16 port = CGatewayFixture::freePort();
    parts.port->setText(QString::number(port));
    parts.start->setText(QStringLiteral("0"));
    QString text, informative;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    CModalWatcher boxes([&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        QVERIFY(box);
        text = box->text();
        informative = box->informativeText();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });

    invoke(form, "addDeviceSlot");

    QCOMPARE(boxes.seen, 1);
    QCOMPARE(text, QStringLiteral("Add new device status"));
    QCOMPARE(informative, QStringLiteral("Device is not added! See LOG-file for more details"));
    QCOMPARE(icon, QMessageBox::Critical);
    const QString log = CGatewayFixture::log();
    QVERIFY(log.contains("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!"));
    QVERIFY(log.contains("already exist!"));
    QVERIFY(!CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI));
    QVERIFY(CGatewayFixture::portIsFree(port));
    QCOMPARE(refreshes.count(), 0);
    QCOMPARE(CGatewayFixture::deviceCount(), 1);
}

void TestDeviceDialogs::editDialogShowsStoredDevice()
{
    start(3);
    const quint16 port = CGatewayFixture::freePort();
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler", HUMIDITY_APP, 40, port));
    const unsigned int id = storedDeviceId("70B3000000000001");
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    SFormParts parts(form);

    form->setOriginal(id, "70B3000000000001", "Boiler", HUMIDITY_APP, port, 40);

    QCOMPARE(parts.port->text(), QString::number(port));
    QCOMPARE(parts.start->text(), QStringLiteral("40"));
    QVERIFY(!parts.port->isEnabled());
    QVERIFY(!parts.start->isEnabled());
    QCOMPARE(parts.devices->model()->rowCount(), 1);
    // The template lists its server data first; storage gives them back by address.
    QList<unsigned int> expected;
    for (const REGS::SRegisterInfo& reg :
         CAllDeviceHandler::getInstance()->getRegisterInfo(HUMIDITY_APP).registers)
        expected << 40 + reg.regMapBias;
    std::sort(expected.begin(), expected.end());
    QAbstractItemModel* registers = parts.registerModel();
    QList<unsigned int> shown;
    for (int r = 0; r < registers->rowCount(); ++r) {
        shown << registers->index(r, DB::DATA_COL_REGADDR).data().toUInt();
        QCOMPARE(registers->index(r, DB::DATA_COL_DEVICE).data().toUInt(), id);
        QCOMPARE(registers->index(r, DB::DATA_COL_PORT).data().toUInt(), uint(port));
    }
    QCOMPARE(shown, expected);

    // Opening another device replaces the list rather than adding to it.
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Empty", HUMIDITY_APP, 0, port, false));
    form->setOriginal(storedDeviceId("70B3000000000002"), "70B3000000000002", "Empty", HUMIDITY_APP, port, 0);
    QCOMPARE(registers->rowCount(), 0);
}

void TestDeviceDialogs::editOkUpdatesEveryRegister_data()
{
    QTest::addColumn<bool>("withRegisters");

    QTest::newRow("every register row of the device is written back") << true;
    QTest::newRow("a device without registers still reports the update") << false;
}

void TestDeviceDialogs::editOkUpdatesEveryRegister()
{
    QFETCH(bool, withRegisters);
    start(3);
    const quint16 port = CGatewayFixture::freePort();
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler", HUMIDITY_APP, 0, port, withRegisters));
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    form->setOriginal(storedDeviceId("70B3000000000001"), "70B3000000000001", "Boiler", HUMIDITY_APP, port,
                      0);
    QAbstractItemModel* registers = parts.registerModel();
    QCOMPARE(registers->rowCount() > 0, withRegisters);
    for (int r = 0; r < registers->rowCount(); ++r) {
        registers->setData(registers->index(r, DB::DATA_COL_STARTVALUE), r + 1.5);
        registers->setData(registers->index(r, DB::DATA_COL_GRATINGPERIOD), 0.5 * (r + 1));
        registers->setData(registers->index(r, DB::DATA_COL_UNIT), QStringLiteral("u%1").arg(r));
    }

    invoke(form, "addDeviceSlot");

    for (int r = 0; r < registers->rowCount(); ++r) {
        const uint addr = registers->index(r, DB::DATA_COL_REGADDR).data().toUInt();
        const DB::SDbRegParamInfo stored =
            CDataBaseHandler::getInstance()->getRegisterParam("70B3000000000001", addr);
        QCOMPARE(stored.startValue, r + 1.5);
        QCOMPARE(stored.gratingPeriod, 0.5 * (r + 1));
        QCOMPARE(stored.unit, QStringLiteral("u%1").arg(r));
    }
    QVERIFY(CGatewayFixture::log().contains(
        "INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
    QCOMPARE(form->result(), int(QDialog::Accepted));
    QCOMPARE(refreshes.count(), 1);
}

void TestDeviceDialogs::editSearchChangesNothing()
{
    start(3);
    const quint16 port = CGatewayFixture::freePort();
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler", HUMIDITY_APP, 0, port));
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    SFormParts parts(form);
    form->setOriginal(storedDeviceId("70B3000000000001"), "70B3000000000001", "Boiler", HUMIDITY_APP, port,
                      0);
    const int registerRows = parts.registerModel()->rowCount();
    QVERIFY(registerRows > 0);

    QTest::keyClicks(parts.search, QStringLiteral("no such device"));
    QTest::keyClick(parts.search, Qt::Key_Return);

    QCOMPARE(parts.devices->model()->rowCount(), 1);
    QCOMPARE(parts.devices->currentIndex().row(), 0);
    QCOMPARE(parts.registerModel()->rowCount(), registerRows);
}

QTEST_MAIN(TestDeviceDialogs)
#include "tst_devicedialogs.moc"
