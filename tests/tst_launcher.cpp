#include <csignal>

#include <QTcpSocket>
#include <QtTest>

#include "GatewayHarness.h"

// tarnwick-launch with a stub gateway that reports what it found, and with the
// real gateway, which reaps no child of its own.
class TestLauncher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void standinOnlyWhileNeeded_data();
    void standinOnlyWhileNeeded();
    void killedStandinReapedAndLogged();

private:
    void startLauncher(QProcess& launcher, const QString& gateway, const QString& standin = TW_STANDIN_BIN);

    QTemporaryDir tmp;
    QString workDir;
    quint16 standinPort = 0;
};

namespace {
const char stubGateway[] = "#!/bin/bash\n"
                           "{ printf '%s ' \"$@\"; echo; (exec 3<>/dev/tcp/127.0.0.1/$TARNWICK_STANDIN_PORT) "
                           "2>/dev/null && echo up || echo down; echo \"$TARNWICK_STANDIN_PROBLEM\"; } "
                           "> \"$REPORT\"\n";

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// The stand-in among the children of a process, 0 if none.
qint64 standinChild(qint64 parent)
{
    const QString children = readAll(QStringLiteral("/proc/%1/task/%1/children").arg(parent));
    for (const QString& pid : children.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        if (readAll(QStringLiteral("/proc/%1/comm").arg(pid)).startsWith("tarnwick-standi"))
            return pid.toLongLong();
    return 0;
}
} // namespace

void TestLauncher::initTestCase()
{
    QFile stub(tmp.filePath("gateway"));
    QVERIFY(stub.open(QIODevice::WriteOnly) && stub.write(stubGateway) > 0);
    stub.close();
    QVERIFY(stub.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

void TestLauncher::init()
{
    static int run = 0;
    workDir = tmp.filePath(QStringLiteral("work-%1").arg(++run));
    standinPort = quint16(harness::freePort());
}

void TestLauncher::startLauncher(QProcess& launcher, const QString& gateway, const QString& standin)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_GATEWAY", gateway);
    env.insert("TARNWICK_STANDIN", standin);
    env.insert("TARNWICK_TEMPLATES", TW_SOURCE_DIR "/templates");
    env.insert("TARNWICK_STANDIN_CONFIG", TW_SOURCE_DIR "/standin/standin.json");
    env.insert("TARNWICK_STANDIN_PORT", QString::number(standinPort));
    env.insert("REPORT", workDir + ".report");
    launcher.setProcessEnvironment(env);
    launcher.start(TW_SOURCE_DIR "/packaging/tarnwick-launch", {"--workdir", workDir});
}

void TestLauncher::standinOnlyWhileNeeded_data()
{
    QTest::addColumn<QByteArray>("settings"); // empty: none yet
    QTest::addColumn<bool>("portTaken");
    QTest::addColumn<QString>("standin");
    QTest::addColumn<QString>("found"); // by the gateway: the port's state, why the stand-in is missing
    const QString bin = TW_STANDIN_BIN;
    const QByteArray real = "[server]\nip=10.20.30.40\nlogin=plant\npassword=secret\nport=8002\n";
    QTest::newRow("a first start seeds the templates and runs the stand-in") //
        << QByteArray() << false << bin << "up\n\n";
    QTest::newRow("a real server's settings and removed templates stay as they are")
        << real << false << bin << "down\n\n";
    QTest::newRow("another program holds the stand-in's port")
        << QByteArray() << true << bin << "up\ncannot listen on 127.0.0.1:%1: ";
    QTest::newRow("the stand-in program is not there")
        << QByteArray() << false << tmp.filePath("none") << "down\ntarnwick-standin is not installed";
}

// The gateway gets the reason for a missing stand-in for its status line; history.log keeps it.
void TestLauncher::standinOnlyWhileNeeded()
{
    QFETCH(QByteArray, settings);
    QFETCH(bool, portTaken);
    QFETCH(QString, standin);
    QFETCH(QString, found);
    QTcpServer holder;
    QVERIFY(!portTaken || holder.listen(QHostAddress::LocalHost, standinPort));
    found.replace("%1", QString::number(standinPort));
    QFile file(workDir + "/settings.conf");
    if (!settings.isEmpty()) {
        QVERIFY(QDir().mkpath(workDir + "/deviceFolder"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(settings) == settings.size());
        file.close();
    }

    QProcess launcher;
    startLauncher(launcher, tmp.filePath("gateway"), standin);
    QVERIFY(launcher.waitForFinished(30000));
    const QString report = readAll(workDir + ".report");
    QVERIFY2(report.startsWith(QStringLiteral("--workdir %1 \n").arg(workDir) + found), qPrintable(report));
    const QString reason = found.section(QLatin1Char('\n'), 1, 1);
    QCOMPARE(readAll(workDir + "/history.log").contains("Stand-in network server not running: " + reason),
             !reason.isEmpty());
    // The stand-in goes away with the gateway.
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, standinPort);
    QVERIFY(portTaken || !probe.waitForConnected(1000));

    QCOMPARE(QDir(workDir + "/deviceFolder").entryList({"*.json"}),
             settings.isEmpty() ? QDir(TW_SOURCE_DIR "/templates").entryList({"*.json"}) : QStringList());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray written = QStringLiteral("ip=127.0.0.1\nport=%1\n").arg(standinPort).toUtf8();
    const bool privateFile = !(file.permissions() & (QFile::ReadOther | QFile::ReadGroup));
    QVERIFY(settings.isEmpty() ? file.readAll().contains(written) && privateFile
                               : file.readAll() == settings);
}

void TestLauncher::killedStandinReapedAndLogged()
{
    QProcess launcher;
    startLauncher(launcher, TW_GATEWAY_BIN);
    qint64 standin = 0;
    QTRY_VERIFY_WITH_TIMEOUT((standin = standinChild(launcher.processId())) != 0 &&
                                 readAll(workDir + "/history.log").contains("New session"),
                             20000);
    QCOMPARE(::kill(pid_t(standin), SIGKILL), 0);
    // A zombie keeps its /proc entry until its parent waits for it.
    const QString procEntry = QStringLiteral("/proc/%1").arg(standin);
    QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(procEntry), 10000);
    QTRY_VERIFY_WITH_TIMEOUT(readAll(workDir + "/history.log")
                                 .contains("WARNING: [tarnwick-launch] Stand-in network server ended "
                                           "(killed by signal KILL)"),
                             10000);
    QCOMPARE(launcher.state(), QProcess::Running);
    // Only the launcher is signalled, as a desktop session would; the gateway ends cleanly.
    launcher.terminate();
    QVERIFY(launcher.waitForFinished(30000));
    QCOMPARE(launcher.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
