#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSqlQuery>
#include <QStackedLayout>

#include "GatewayFixture.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const QString NEW_EUI = QStringLiteral("70b3d50000000abc");
const QString NO_TYPES = QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES");

// The widgets of one device dialog that the tests drive.
struct SFormParts
{
    explicit SFormParts(QWidget* form)
        : port(child<QLineEdit>(form, "accessibleName", "TCP port")),
          start(child<QLineEdit>(form, "accessibleName", "Start address")),
          devices(viewPaintedBy<CDeviceDelegat>(form)),
          registers(viewPaintedBy<CSimpleRegisterDelegat>(form)), stack(form->findChild<QStackedLayout*>())
    {
        form->show();
    }

    QString message() const { return qobject_cast<QLabel*>(stack->widget(0))->text(); }
    QString currentEui() const
    {
        return devices->currentIndex().siblingAtColumn(DB::DEV_COL_DEVEUI).data().toString();
    }

    QLineEdit *port, *start;
    QListView *devices, *registers;
    QStackedLayout* stack;
};

QList<API::SServerDeviceInfo> offer(const QString& devEui)
{
    return {API::SServerDeviceInfo{devEui, HUMIDITY_APP, QStringLiteral("Greenhouse")}};
}

QJsonObject serverDevice(const QString& devEui, const QString& appEui)
{
    return {{API::API_JSON_KEY_DEVEUI, devEui},
            {API::API_JSON_KEY_DEVNAME, "Greenhouse"},
            {API::API_JSON_KEY_OTAA, QJsonObject{{API::API_JSON_KEY_OTAA_APPEUI, appEui}}}};
}

unsigned int storedDeviceId(const QString& devEui)
{
    QSqlQuery query = CDataBaseHandler::getInstance()->getDevices(QString());
    while (query.next())
        if (query.value(DB::DEV_COL_DEVEUI).toString().compare(devEui, Qt::CaseInsensitive) == 0)
            return query.value(DB::DEV_COL_DEVICE).toUInt();
    return 0;
}

// Opens a register's editor with a double click.
QWidget* openEditor(QListView* view, int row)
{
    const QModelIndex index = view->model()->index(row, 0);
    view->scrollTo(index);
    // A widget gets no press from mouseDClick, and a view opens its editor only on the card pressed.
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
    return view->indexWidget(index);
}

// Types the scaling into a register's editor, leaving it open, as an operator
// who goes straight to OK does.
void typeScaling(QListView* view, int row, const QStringList& texts)
{
    QWidget* editor = openEditor(view, row);
    QVERIFY(editor);
    const QList<QLineEdit*> edits = editor->findChildren<QLineEdit*>();
    QCOMPARE(edits.size(), texts.size());
    for (int i = 0; i < texts.size(); ++i) {
        QTest::mouseClick(edits.at(i), Qt::LeftButton);
        QTest::keyClick(edits.at(i), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(edits.at(i), texts.at(i));
    }
}

int firstScalableRow(QAbstractItemModel* registers)
{
    for (int r = 0; r < registers->rowCount(); ++r)
        if (CSimpleRegisterDelegat::isScalable(registers->index(r, DB::DATA_COL_DATATYPE).data().toString()))
            return r;
    return -1;
}

void clickOk(QWidget* form)
{
    QTest::mouseClick(child<QPushButton>(form, "text", "OK"), Qt::LeftButton);
}
} // namespace

class TestDeviceDialogs : public QObject
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
        fixture->leave();
        delete fixture;
    }

    void addDialogPages_data();
    void addDialogPages();
    void typeGridHasFiveLabelsPerRow();
    void portAndStartAddressChecks_data();
    void portAndStartAddressChecks();
    void registrationReachesStorageRegistryAndServer();
    void duplicateRefusedWithMessageBox();
    void editDialogShowsAndUpdatesStoredDevice_data();
    void editDialogShowsAndUpdatesStoredDevice();
    void editorSetsFloatAndWordOrderOfWideNumbersOnly();

private:
    void logIn()
    {
        QSignalSpy statuses(CServerHandler::getInstance(), &CServerHandler::changeServerStatus);
        CServerHandler::getInstance()->connectSlot(
            QStringLiteral("ws://127.0.0.1:%1").arg(fixture->fake.port()), "operator", "secret");
        QTRY_VERIFY(!statuses.isEmpty() &&
                    statuses.last().first().value<COMM::EServerStatus>() == COMM::SUCCESS);
    }

    CGatewayFixture* fixture = nullptr;
};

void TestDeviceDialogs::addDialogPages_data()
{
    QTest::addColumn<int>("templates");
    QTest::addColumn<bool>("loggedIn");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QJsonArray>("serverList");
    QTest::addColumn<QString>("message");

    const QJsonObject stored = serverDevice("70b3000000000001", HUMIDITY_APP);
    const QJsonObject unknownType = serverDevice("70B3000000000009", "FFFF000000000000");
    const QJsonObject fresh = serverDevice(NEW_EUI, HUMIDITY_APP.toLower());

    QTest::newRow("no templates loaded: nothing is asked and no type is known")
        << 0 << true << true << QJsonArray{fresh} << NO_TYPES;
    QTest::newRow("a link not logged in gives the same message")
        << 3 << false << true << QJsonArray{fresh} << NO_TYPES;
    QTest::newRow("a server that never answers times out")
        << 3 << true << false << QJsonArray{fresh} << "SERVER TIMEOUT";
    QTest::newRow("a server without devices")
        << 3 << true << true << QJsonArray{} << "EMPTY DEVICE LIST\nFROM SERVER";
    QTest::newRow("stored devices in lower case and unknown types leave nothing new")
        << 3 << true << true << QJsonArray{stored, unknownType}
        << "NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED";
    QTest::newRow("a new device whose application EUI is in lower case is offered")
        << 3 << true << true << QJsonArray{stored, fresh, unknownType} << QString();
}

void TestDeviceDialogs::addDialogPages()
{
    QFETCH(int, templates);
    QFETCH(bool, loggedIn);
    QFETCH(bool, answered);
    QFETCH(QJsonArray, serverList);
    QFETCH(QString, message);
    QVERIFY(fixture->start(templates));
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Stored", 0, CGatewayFixture::freePort()));
    if (loggedIn)
        logIn();
    if (answered)
        fixture->fake.offer(serverList);
    SFormParts parts(CAddNewDeviceForm::getInstance());

    QVERIFY(QMetaObject::invokeMethod(CAddNewDeviceForm::getInstance(), "refresh"));

    const bool asked = templates > 0 && loggedIn;
    QCOMPARE(parts.message(), asked ? QStringLiteral("WAITING...") : NO_TYPES);
    QCOMPARE(parts.stack->currentIndex(), 0);
    QTRY_COMPARE(fixture->fake.sent(API::API_JSON_CMD_GETDEVREGINFOREQ).size(), asked ? 1 : 0);
    if (!message.isEmpty()) {
        QTRY_COMPARE(parts.message(), message);
        QCOMPARE(parts.stack->currentIndex(), 0);
        return;
    }
    QTRY_COMPARE(parts.stack->currentIndex(), 1);
    QCOMPARE(parts.devices->model()->rowCount(), 1);
    QCOMPARE(parts.currentEui(), NEW_EUI);
    QVERIFY(parts.registers->model()->rowCount() > 0);
}

void TestDeviceDialogs::typeGridHasFiveLabelsPerRow()
{
    QVERIFY(fixture->start(7));
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    auto* grid = form->findChild<QGridLayout*>();

    // A second showing must replace the labels, not add to them.
    QVERIFY(QMetaObject::invokeMethod(form, "refresh"));
    QVERIFY(QMetaObject::invokeMethod(form, "refresh"));

    const QList<REGS::SDeviceTemplateInfo> types = CAllDeviceHandler::getInstance()->getTemplateInfo();
    QCOMPARE(types.size(), 7);
    QCOMPARE(grid->count(), 7);
    for (int i = 0; i < types.size(); ++i) {
        QLayoutItem* item = grid->itemAtPosition(i / 5, i % 5);
        QVERIFY(item);
        auto* label = qobject_cast<QLabel*>(item->widget());
        QCOMPARE(label->text(), types.at(i).devType);
        QVERIFY(label->styleSheet().contains(types.at(i).color.name()));
    }
}

void TestDeviceDialogs::portAndStartAddressChecks_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("portWarned");
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("startTip"); // of the start address warning; empty when it stays hidden

    // "held": another program listens there; "ours": the device "Stored" of this gateway does, with
    // registers 0..11; "free": nobody; "hidden": free, but a message page covers the list.
    const QString overlap =
        "Registers %1..%2 overlap registers 0..11 of device Stored [70B3000000000001] on port ";
    QTest::newRow("a port held by another program is refused") << "held" << true << "0"
                                                               << "";
    QTest::newRow("a port serving a device of this gateway is shared after its registers")
        << "ours" << false << "12"
        << "";
    QTest::newRow("registers overlapping a device on the same port are refused, naming it")
        << "ours" << false << "11" << overlap.arg(11).arg(22);
    QTest::newRow("registers ending inside a device on the same port are refused")
        << "ours" << false << "0" << overlap.arg(0).arg(11);
    QTest::newRow("the same registers on a free port are accepted") << "free" << false << "0"
                                                                    << "";
    QTest::newRow("port 0 is refused") << "0" << true << "0"
                                       << "";
    QTest::newRow("port 70000 is refused") << "70000" << true << "0"
                                           << "";
    QTest::newRow("a negative port is refused") << "-1" << true << "0"
                                                << "";
    QTest::newRow("an empty port is refused") << "" << true << "0"
                                              << "";
    QTest::newRow("an empty start address is refused") << "free" << false << ""
                                                       << "Empty start address";
    QTest::newRow("a negative start address is refused") << "free" << false << "-1"
                                                         << "Start address must be 0 to 65535";
    QTest::newRow("a start address past 65535 is refused") << "free" << false << "65536"
                                                           << "Start address must be 0 to 65535";
    QTest::newRow("the last register address is accepted") << "free" << false << "65535"
                                                           << "";
    QTest::newRow("both fields empty warn together") << "" << true << ""
                                                     << "Empty start address";
    QTest::newRow("OK is refused while the message page shows") << "hidden" << false << "0"
                                                                << "";
}

void TestDeviceDialogs::portAndStartAddressChecks()
{
    QFETCH(QString, port);
    QFETCH(QString, start);
    QFETCH(bool, portWarned);
    QFETCH(QString, startTip);
    const bool registered = !portWarned && startTip.isEmpty() && port != "hidden";
    QVERIFY(fixture->start(3));
    const quint16 ours = CGatewayFixture::freePort();
    DB::SDeviceRegMapDescription existing;
    existing.devEui = QStringLiteral("70B3000000000001");
    existing.appEui = HUMIDITY_APP;
    QVERIFY(CGatewayFixture::storeDevice(existing.devEui, "Stored", 0, ours));
    CAllDeviceHandler::getInstance()->addNewDevice(existing, ours);
    QTcpServer otherProgram;
    QVERIFY(otherProgram.listen(QHostAddress::LocalHost, 0));
    const QString free = QString::number(CGatewayFixture::freePort());
    const QMap<QString, QString> ports = {{"held", QString::number(otherProgram.serverPort())},
                                          {"ours", QString::number(ours)},
                                          {"free", free},
                                          {"hidden", free}};
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    if (port == "hidden") {
        // The next showing cannot reach the server; the old list stays behind the message.
        QVERIFY(QMetaObject::invokeMethod(form, "refresh"));
        QCOMPARE(parts.message(), NO_TYPES);
    }
    auto* portWarning = child<QPushButton>(form, "toolTip", "Invalid TCP port (is used or unsupported)");
    auto* startWarning = child<QPushButton>(form, "toolTip", "Empty start address");
    QTest::keyClicks(parts.port, ports.value(port, port));
    QTest::keyClicks(parts.start, start);

    clickOk(form);

    QCOMPARE(!portWarning->isHidden(), portWarned);
    QCOMPARE(startWarning->isHidden() ? QString() : startWarning->toolTip(),
             startTip.endsWith(' ') ? startTip + QString::number(ours) : startTip);
    QCOMPARE(CGatewayFixture::deviceCount(), registered ? 2 : 1);
    QCOMPARE(CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI), registered);
    QCOMPARE(CAllDeviceHandler::getInstance()->listenerPorts().size(), registered && port == "free" ? 2 : 1);
    QCOMPARE(CAllDeviceHandler::getInstance()->listenerDevices(ours).size(),
             registered && port == "ours" ? 2 : 1);
}

void TestDeviceDialogs::registrationReachesStorageRegistryAndServer()
{
    QVERIFY(fixture->start(3));
    logIn();
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    QAbstractItemModel* registers = parts.registers->model();
    const int scaled = firstScalableRow(registers);
    QVERIFY(scaled >= 0 && registers->rowCount() > 1);
    const uint scaledAddr = 200 + registers->index(scaled, DB::DATA_COL_REGADDR).data().toUInt();
    const uint otherAddr = 200 + registers->index(scaled == 0 ? 1 : 0, DB::DATA_COL_REGADDR).data().toUInt();
    const quint16 port = CGatewayFixture::freePort();
    QTest::keyClicks(parts.port, QString::number(port));
    QTest::keyClicks(parts.start, QStringLiteral("200"));
    typeScaling(parts.registers, scaled, {"2.5", "0.1", "C"});

    clickOk(form);

    const DB::SDbRegParamInfo edited = CDataBaseHandler::getInstance()->getRegisterParam(NEW_EUI, scaledAddr);
    QCOMPARE(QVariantList({edited.startValue, edited.gratingPeriod, edited.unit}),
             QVariantList({2.5, 0.1, "C"}));
    const DB::SDbRegParamInfo other = CDataBaseHandler::getInstance()->getRegisterParam(NEW_EUI, otherAddr);
    QCOMPARE(QVariantList({other.gratingPeriod, other.unit}), QVariantList({1.0, QString()}));
    QVERIFY(CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI));
    QVERIFY(!CGatewayFixture::portIsFree(port));
    QCOMPARE(refreshes.count(), 1);
    QVERIFY(CGatewayFixture::log().contains(
        "INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully"));
    QTRY_COMPARE(fixture->fake.sent(API::API_JSON_CMD_GETDEVDATAREQ), QStringList{NEW_EUI.toUpper()});
}

void TestDeviceDialogs::duplicateRefusedWithMessageBox()
{
    QVERIFY(fixture->start(3));
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    form->getDevicesListRespSlot(true, offer(NEW_EUI));
    // Someone registered it while the list was on show.
    QVERIFY(CGatewayFixture::storeDevice(NEW_EUI, "Greenhouse", 0, CGatewayFixture::freePort()));
    const quint16 port = CGatewayFixture::freePort();
    QTest::keyClicks(parts.port, QString::number(port));
    QTest::keyClicks(parts.start, QStringLiteral("0"));
    QStringList shown;
    CModalWatcher boxes([&shown](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        shown << box->text() << box->informativeText() << QString::number(box->icon());
    });

    clickOk(form);

    QCOMPARE(boxes.seen, 1);
    QCOMPARE(shown,
             QStringList({"Add new device status", "Device is not added! See LOG-file for more details",
                          QString::number(QMessageBox::Critical)}));
    QVERIFY(
        CGatewayFixture::log().contains("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!"));
    QVERIFY(!CAllDeviceHandler::getInstance()->isRegistered(NEW_EUI));
    QVERIFY(CGatewayFixture::portIsFree(port));
    QCOMPARE(refreshes.count(), 0);
}

void TestDeviceDialogs::editDialogShowsAndUpdatesStoredDevice_data()
{
    QTest::addColumn<bool>("withRegisters");

    QTest::newRow("stored registers are shown by address and every row is written back") << true;
    QTest::newRow("a device without registers still reports the update") << false;
}

void TestDeviceDialogs::editDialogShowsAndUpdatesStoredDevice()
{
    QFETCH(bool, withRegisters);
    QVERIFY(fixture->start(3));
    const quint16 port = CGatewayFixture::freePort();
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000001", "Boiler", 40, port, withRegisters));
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    SFormParts parts(form);
    QSignalSpy refreshes(form, &CAbstractDeviceForm::refreshDeviceList);
    form->setOriginal(storedDeviceId("70B3000000000001"), "70B3000000000001", "Boiler", HUMIDITY_APP, port,
                      40);
    // Its search field has nothing to narrow.
    QLineEdit* search = form->findChild<CSearchEditWidget*>()->findChild<QLineEdit*>();
    QTest::keyClicks(search, "no such device");
    QTest::keyClick(search, Qt::Key_Return);

    QCOMPARE(QStringList({parts.port->text(), parts.start->text()}),
             QStringList({QString::number(port), "40"}));
    QVERIFY(!parts.port->isEnabled() && !parts.start->isEnabled());
    QCOMPARE(parts.devices->model()->rowCount(), 1);
    QCOMPARE(parts.currentEui(), QStringLiteral("70B3000000000001"));
    // The template lists its server data first; storage gives them back by address.
    QAbstractItemModel* registers = parts.registers->model();
    QCOMPARE(registers->rowCount(),
             withRegisters ? CAllDeviceHandler::getInstance()->getRegisterInfo(HUMIDITY_APP).registers.size()
                           : 0);
    auto addr = [registers](int r) { return registers->index(r, DB::DATA_COL_REGADDR).data().toUInt(); };
    for (int r = 1; r < registers->rowCount(); ++r)
        QVERIFY(addr(r - 1) < addr(r));
    const int scaled = firstScalableRow(registers);
    if (withRegisters)
        typeScaling(parts.registers, scaled, {"1.5", "2.0", "hPa"});

    clickOk(form);

    for (int r = 0; r < registers->rowCount(); ++r) {
        const DB::SDbRegParamInfo stored =
            CDataBaseHandler::getInstance()->getRegisterParam("70B3000000000001", addr(r));
        QCOMPARE(QVariantList({stored.startValue, stored.gratingPeriod, stored.unit}),
                 r == scaled ? QVariantList({1.5, 2.0, "hPa"}) : QVariantList({0.0, 1.0, QString()}));
    }
    QVERIFY(CGatewayFixture::log().contains(
        "INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
    QCOMPARE(refreshes.count(), 1);
}

// A 16-bit datum has no second register for a float: its editor offers no
// format. The 32-bit count's choice is stored with the register.
void TestDeviceDialogs::editorSetsFloatAndWordOrderOfWideNumbersOnly()
{
    QVERIFY(fixture->start(3));
    const quint16 port = CGatewayFixture::freePort();
    const QString counter = QStringLiteral("7A52000000000001");
    QVERIFY(CGatewayFixture::storeDevice("70B3000000000002", "Counter", 0, port, true, counter));
    CEditDeviceForm* form = CEditDeviceForm::getInstance();
    SFormParts parts(form);
    form->setOriginal(storedDeviceId("70B3000000000002"), "70B3000000000002", "Counter", counter, port, 0);
    // Row 0 is the 32-bit pulse count at 0, row 1 the 16-bit battery voltage at 2.
    QWidget* narrow = openEditor(parts.registers, 1);
    QVERIFY(narrow);
    QVERIFY(!narrow->findChild<QComboBox*>()->isVisible());
    QTest::keyClick(narrow->findChild<QLineEdit*>(), Qt::Key_Escape);
    QWidget* wide = openEditor(parts.registers, 0);
    QVERIFY(wide);
    QComboBox* servedAs = child<QComboBox>(wide, "accessibleName", "Served as");
    QComboBox* order = child<QComboBox>(wide, "accessibleName", "Word order");
    QVERIFY(servedAs->isVisible());
    QTest::keyClick(servedAs, Qt::Key_Down);
    QTest::keyClick(order, Qt::Key_Down);
    QStringList texts;
    for (const QLabel* label : wide->findChildren<QLabel*>())
        texts << label->text();
    QVERIFY2(texts.contains("1234.5 as CDAB: 0x5000 0x449A"), qPrintable(texts.join('|')));
    clickOk(form);
    const auto stored = [](unsigned int addr) {
        return CDataBaseHandler::getInstance()->getRegisterParam("70B3000000000002", addr).format;
    };
    QVERIFY(stored(0) == (FMT::SRegisterFormat{true, FMT::ORDER_CDAB}));
    QVERIFY(stored(2).isDefault());
}

QTEST_MAIN(TestDeviceDialogs)
#include "tst_devicedialogs.moc"
