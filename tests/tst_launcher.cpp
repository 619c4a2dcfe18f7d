#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

// tarnwick-launch with a stand-in gateway that reports what it found: its
// arguments and whether the stand-in network server was listening.
class TestLauncher : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void firstStartRunsStandin();
    void realServerKept();
    void removedTemplatesStayRemoved();
    void signalReachesGateway();

private:
    int runLauncher(bool stubWaits = false);
    QString report(const QString& name) const;
    bool standinListening() const;

    QTemporaryDir tmp;
    QString workDir;
    quint16 standinPort = 0;
};

namespace {
const char stubGateway[] = "#!/bin/bash\n"
                           "printf '%s\\n' \"$@\" > \"$REPORT_DIR/args\"\n"
                           "if (exec 3<>/dev/tcp/127.0.0.1/$STANDIN_PORT) 2>/dev/null; then echo up; "
                           "else echo down; fi > \"$REPORT_DIR/standin\"\n"
                           "[ -n \"$STUB_WAIT\" ] || exit 0\n"
                           "trap 'echo quit > \"$REPORT_DIR/signal\"; exit 0' TERM\n"
                           "sleep 30 & wait $!\n";

quint16 freePort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}
} // namespace

void TestLauncher::init()
{
    QVERIFY(tmp.isValid());
    workDir = tmp.filePath(QStringLiteral("work-%1").arg(QTest::currentTestFunction()));
    standinPort = freePort();
    for (const char* name : {"args", "standin", "signal"})
        QFile::remove(tmp.filePath(name));
    QFile stub(tmp.filePath("gateway"));
    QVERIFY(stub.open(QIODevice::WriteOnly));
    stub.write(stubGateway);
    stub.close();
    QVERIFY(stub.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
}

int TestLauncher::runLauncher(bool stubWaits)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TARNWICK_GATEWAY", tmp.filePath("gateway"));
    env.insert("TARNWICK_STANDIN", TW_STANDIN_BIN);
    env.insert("TARNWICK_TEMPLATES", TW_SOURCE_DIR "/templates");
    env.insert("TARNWICK_STANDIN_CONFIG", TW_SOURCE_DIR "/standin/standin.json");
    env.insert("TARNWICK_STANDIN_PORT", QString::number(standinPort));
    env.insert("STANDIN_PORT", QString::number(standinPort));
    env.insert("REPORT_DIR", tmp.path());
    if (stubWaits)
        env.insert("STUB_WAIT", "1");
    QProcess launcher;
    launcher.setProcessEnvironment(env);
    launcher.start(TW_SOURCE_DIR "/packaging/tarnwick-launch", {"--workdir", workDir});
    if (stubWaits) {
        // Only the launcher is signalled, as a desktop session or a service manager would.
        for (int i = 0; i < 200 && !QFile::exists(tmp.filePath("standin")); ++i)
            QTest::qWait(100);
        launcher.terminate();
    }
    if (!launcher.waitForFinished(30000))
        return -1;
    return launcher.exitCode();
}

QString TestLauncher::report(const QString& name) const
{
    return readAll(tmp.filePath(name)).trimmed();
}

bool TestLauncher::standinListening() const
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, standinPort);
    return socket.waitForConnected(1000);
}

void TestLauncher::firstStartRunsStandin()
{
    QCOMPARE(runLauncher(), 0);
    QCOMPARE(report("args"), QStringLiteral("--workdir\n") + workDir);
    QCOMPARE(report("standin"), QStringLiteral("up"));
    // The stand-in goes away with the gateway.
    QTRY_VERIFY_WITH_TIMEOUT(!standinListening(), 10000);

    const QString settings = readAll(workDir + "/settings.conf");
    QVERIFY(settings.contains(QStringLiteral("port=%1\n").arg(standinPort)));
    QVERIFY(settings.contains("ip=127.0.0.1\n"));
    QCOMPARE(QFileInfo(workDir + "/settings.conf").permissions() & (QFile::ReadOther | QFile::ReadGroup),
             QFileDevice::Permissions());
    QCOMPARE(QDir(workDir + "/deviceFolder").entryList({"*.json"}),
             QDir(TW_SOURCE_DIR "/templates").entryList({"*.json"}));
}

void TestLauncher::realServerKept()
{
    QVERIFY(QDir().mkpath(workDir));
    const QByteArray real = "[server]\nip=10.20.30.40\nlogin=plant\npassword=secret\nport=8002\n";
    QFile settings(workDir + "/settings.conf");
    QVERIFY(settings.open(QIODevice::WriteOnly));
    settings.write(real);
    settings.close();

    QCOMPARE(runLauncher(), 0);
    QCOMPARE(report("standin"), QStringLiteral("down"));
    QCOMPARE(readAll(workDir + "/settings.conf").toUtf8(), real);
}

void TestLauncher::removedTemplatesStayRemoved()
{
    QVERIFY(QDir().mkpath(workDir + "/deviceFolder"));
    QCOMPARE(runLauncher(), 0);
    QVERIFY(QDir(workDir + "/deviceFolder").entryList({"*.json"}).isEmpty());
}

void TestLauncher::signalReachesGateway()
{
    QCOMPARE(runLauncher(true), 0);
    QCOMPARE(report("signal"), QStringLiteral("quit"));
    QTRY_VERIFY_WITH_TIMEOUT(!standinListening(), 10000);
}

QTEST_GUILESS_MAIN(TestLauncher)
#include "tst_launcher.moc"
