// The whole road of a value: the stand-in network server pushes uplinks, the
// gateway logs in, the operator registers a device with scaling, and a Modbus
// client reads the scaled values -- then again from a restarted gateway.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QtTest>

#include "GatewayHarness.h"
#include "ui/CSimpleRegisterDelegat.h"

using namespace harness;

namespace {
const int START_ADDR = 100;
const QString DEV_EUI = QStringLiteral("7a52000000010001"); // the server writes it in lower case
const int CONST_RAW = 60;                                   // report interval, constant in every uplink

quint32 counterOf(const QVector<quint16>& words)
{
    return (quint32(words.at(0)) << 16) | words.at(1);
}

// Sets the report interval's extra value and multiplier in a dialog's register editor.
void scaleInEditor(QWidget* dialog, const QString& extra, const QString& multiplier)
{
    QListView* registerView = nullptr;
    for (QListView* view : dialog->findChildren<QListView*>())
        if (qobject_cast<CSimpleRegisterDelegat*>(view->itemDelegate()))
            registerView = view;
    QVERIFY(registerView);
    QAbstractItemModel* registers = registerView->model();
    QModelIndex index;
    for (int r = 0; r < registers->rowCount(); ++r)
        if (registers->index(r, DB::DATA_COL_NAME).data().toString() == QLatin1String("Report interval"))
            index = registers->index(r, 0);
    QVERIFY(index.isValid());
    auto* delegate = static_cast<CSimpleRegisterDelegat*>(registerView->itemDelegate());
    QWidget* editor = delegate->createEditor(registerView->viewport(), QStyleOptionViewItem(), index);
    QVERIFY(editor);
    delegate->setEditorData(editor, index);
    const QList<QLineEdit*> fields = editor->findChildren<QLineEdit*>();
    QCOMPARE(fields.size(), 3); // extra value, multiplier, units, in this order
    fields.at(0)->setText(extra);
    fields.at(1)->setText(multiplier);
    fields.at(2)->setText(QStringLiteral("s"));
    delegate->setModelData(editor, registers, index);
    delete editor;
}

QJsonObject standinConfig()
{
    const QJsonArray fields = {
        QJsonObject{{"offset", 1},
                    {"size", 4},
                    {"order", "be"},
                    {"generator", "counter"},
                    {"start", 1000},
                    {"step", 1}},
        QJsonObject{{"offset", 5}, {"size", 2}, {"order", "le"}, {"generator", "const"}, {"value", 3300}},
        QJsonObject{{"offset", 7}, {"size", 1}, {"generator", "const"}, {"value", CONST_RAW}},
    };
    const QJsonObject device{{"dev_eui", DEV_EUI},
                             {"dev_name", "Boiler room"},
                             {"app_eui", "7a52000000000001"},
                             {"period_ms", 150},
                             {"port", 2},
                             {"freq", 868100000},
                             {"dr", 5},
                             {"rssi", -71},
                             {"snr", 9.5},
                             {"packet_type", 1},
                             {"packet_size", 8},
                             {"fields", fields}};
    return QJsonObject{{"host", "127.0.0.1"},    {"port", 0},         {"login", "operator"},
                       {"password", "tarnwick"}, {"history_size", 5}, {"devices", QJsonArray{device}}};
}
} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void registerReadRestartRead();
    void startupFailsWithoutStorage();

private:
    void startStandin();
    void startGatewayInProcess();
    void registerOfferedDevice(int modbusPort);
    QLabel* statusLabel() const;

    QTemporaryDir* dir = nullptr;
    QString oldCwd;
    QProcess standin;
    int standinPort = 0;
    CInProcessGateway inProcess;
};

void TestEndToEnd::init()
{
    oldCwd = QDir::currentPath();
    dir = new QTemporaryDir();
    QVERIFY(dir->isValid());
    QDir::setCurrent(dir->path());
    copySampleTemplates();
}

void TestEndToEnd::cleanup()
{
    inProcess.stop();
    if (standin.state() != QProcess::NotRunning) {
        standin.kill();
        standin.waitForFinished();
    }
    QDir::setCurrent(oldCwd);
    delete dir;
}

void TestEndToEnd::startStandin()
{
    QFile config(QStringLiteral("standin.json"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QJsonDocument(standinConfig()).toJson());
    config.close();
    harness::startStandin(standin, config.fileName(), 0, standinPort);
}

void TestEndToEnd::startGatewayInProcess()
{
    writeSettings(standinPort);
    inProcess.start();
}

QLabel* TestEndToEnd::statusLabel() const
{
    for (QLabel* label : inProcess.window()->findChildren<QLabel*>())
        if (label->text() == QLatin1String("Connection state...") ||
            label->text().contains(QLatin1String("WAIT")) || label->text() == QLatin1String("SUCCESS"))
            return label;
    return nullptr;
}

// What an operator does: open the add dialog, take the offered device, set the
// scaling of one register in the register editor, choose port and address, OK.
void TestEndToEnd::registerOfferedDevice(int modbusPort)
{
    CAddNewDeviceForm* form = CAddNewDeviceForm::getInstance();
    QVERIFY(QMetaObject::invokeMethod(form, "refresh"));
    auto* stack = form->findChild<QStackedLayout*>();
    QTRY_COMPARE_WITH_TIMEOUT(stack->currentIndex(), 1, 15000);

    scaleInEditor(form, QStringLiteral("7.0"), QStringLiteral("2.5"));

    for (QLineEdit* edit : form->findChildren<QLineEdit*>()) {
        if (edit->accessibleName() == QLatin1String("TCP port"))
            edit->setText(QString::number(modbusPort));
        if (edit->accessibleName() == QLatin1String("Start address"))
            edit->setText(QString::number(START_ADDR));
    }
    QVERIFY(QMetaObject::invokeMethod(form, "addDeviceSlot"));
    QVERIFY(CAllDeviceHandler::getInstance()->isRegistered(DEV_EUI));
}

void TestEndToEnd::registerReadRestartRead()
{
    startStandin();
    startGatewayInProcess();
    QTRY_COMPARE_WITH_TIMEOUT(statusLabel() ? statusLabel()->text() : QString(), QStringLiteral("SUCCESS"),
                              15000);

    const int modbusPort = freePort();
    registerOfferedDevice(modbusPort);

    // Pulse count (32 bits at +0), battery (+2), report interval (+3, scaled).
    QVector<quint16> words;
    QTRY_VERIFY_WITH_TIMEOUT(
        (words = readWhileServing(modbusPort, START_ADDR, 4)).size() == 4 && words.at(3) != 0, 15000);
    QCOMPARE(int(words.at(3)), qRound(CONST_RAW * 2.5 + 7.0));
    QCOMPARE(int(words.at(2)), 3300);
    const quint32 first = counterOf(words);
    QVERIFY(first >= 1000);
    QTRY_VERIFY_WITH_TIMEOUT(counterOf(readWhileServing(modbusPort, START_ADDR, 2)) > first, 10000);

    // New scaling from the edit dialog applies to the uplinks decoded afterwards.
    CEditDeviceForm* edit = CEditDeviceForm::getInstance();
    edit->setOriginal(1, DEV_EUI, QStringLiteral("Boiler room"), QStringLiteral("7a52000000000001"),
                      modbusPort, START_ADDR);
    scaleInEditor(edit, QStringLiteral("1.0"), QStringLiteral("4.0"));
    QVERIFY(QMetaObject::invokeMethod(edit, "addDeviceSlot"));
    QTRY_COMPARE_WITH_TIMEOUT(int(readWhileServing(modbusPort, START_ADDR + 3, 1).value(0)),
                              CONST_RAW * 4 + 1, 10000);

    // The low word alone reads the same as within the whole datum.
    standin.kill();
    standin.waitForFinished();
    QTest::qWait(300); // let the last queued writes reach the storage thread
    const QVector<quint16> settled = readWhileServing(modbusPort, START_ADDR, 4);
    QCOMPARE(settled.size(), 4);
    QCOMPARE(readWhileServing(modbusPort, START_ADDR + 1, 1), QVector<quint16>{settled.at(1)});
    inProcess.stop();

    // The real executable, started again in the same folder, serves the stored values.
    QProcess gateway;
    startGatewayProcess(gateway, dir->path());
    QVERIFY(gateway.waitForStarted());
    QVector<quint16> again;
    QTRY_VERIFY_WITH_TIMEOUT((again = readRegisters(modbusPort, START_ADDR, 4)).size() == 4, 15000);
    QCOMPARE(again, settled);

    terminateCleanly(gateway);
}

void TestEndToEnd::startupFailsWithoutStorage()
{
    QVERIFY(QDir().mkdir(DB::DB_FILENAME)); // a folder where the database file should be
    QProcess gateway;
    startGatewayProcess(gateway, dir->path());
    QVERIFY(gateway.waitForFinished(15000));
    QCOMPARE(gateway.exitCode(), 1);
    QVERIFY(gateway.readAllStandardError().contains(
        "CRITICAL_ERROR! [main] Data base [server.db] cannot be opened"));
    QFile log(QStringLiteral("history.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QByteArray text = log.readAll();
    QVERIFY(text.contains("CRITICAL_ERROR! Data base hasn't been created/opened!"));
    QVERIFY(text.contains("CRITICAL_ERROR! [main] Data base [server.db] cannot be opened"));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
