#include "loadtest/CLoadRun.h"

#include <algorithm>
#include <cstdio>
#include <future>
#include <thread>

#include <modbus.h>
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonObject>
#include <QTcpServer>
#include <QTimer>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "standin/CStandinServer.h"
#include "storage/CDataBaseHandler.h"

namespace {
const QString LOGIN = QStringLiteral("load");
const QString PASSWORD = QStringLiteral("load-run");
const QString TOOL_LOG = QStringLiteral("loadtest.log");
const QString GATEWAY_OUTPUT = QStringLiteral("gateway.out");
const int START_TIMEOUT_MS = 20000;
const int LOGIN_TIMEOUT_MS = 30000;
const int PROBE_PERIOD_MS = 200;
const int DRAIN_TIMEOUT_MS = 30000;
const int STOP_TIMEOUT_MS = 15000;
const int UPLINK_TICK_MS = 5;
const int RSS_PERIOD_MS = 1000;
// Memory is judged on runs long enough for the caches to have filled.
const int MEMORY_JUDGED_FROM_S = 30;
const qint64 MAX_SECOND_HALF_GROWTH_KIB = 4096;
const int MAX_FAULTS_SHOWN = 12;

// Runs work in a thread of its own while this thread's event loop keeps
// turning: the stand-in lives here and must go on serving the gateway.
template <typename F> auto whileServing(F work) -> decltype(work())
{
    auto result = std::async(std::launch::async, work);
    while (result.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return result.get();
}

void serveFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// TARNWICK_BENCH_PORTS=LOW-HIGH keeps the Modbus ports in a range, as the benchmarks do.
quint16 freeLoopbackPort(const QList<quint16>& taken)
{
    const QStringList range = qEnvironmentVariable("TARNWICK_BENCH_PORTS").split(QLatin1Char('-'));
    for (int port = range.value(0).toInt();
         range.size() == 2 && port >= 1 && port <= range.at(1).toInt() && port <= 65535; ++port)
        if (!taken.contains(quint16(port)) && QTcpServer().listen(QHostAddress::Any, quint16(port)))
            return quint16(port);
    if (range.size() == 2)
        return 0;
    for (;;) {
        QTcpServer probe;
        if (!probe.listen(QHostAddress::LocalHost, 0))
            return 0;
        if (!taken.contains(probe.serverPort()))
            return probe.serverPort();
    }
}

qint64 readRssKib(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

QString mib(qint64 kib)
{
    return QStringLiteral("%1 MiB").arg(double(kib) / 1024.0, 0, 'f', 1);
}

QString ms(uint32_t us)
{
    return QStringLiteral("%1 ms").arg(double(us) / 1000.0, 0, 'f', 2);
}

void printLine(const QString& label, const QString& value)
{
    std::printf("  %-34s %s\n", qPrintable(label), qPrintable(value));
}
} // namespace

CLoadRun::CLoadRun(const SLoadOptions& _options)
    : options(_options), devices(makeLoadDevices(_options.devices, _options.ports)), shared(_options.devices),
      nextFcnt(size_t(_options.devices), 0)
{
}

CLoadRun::~CLoadRun()
{
    if (gateway.state() != QProcess::NotRunning) {
        gateway.kill();
        gateway.waitForFinished(STOP_TIMEOUT_MS);
    }
}

void CLoadRun::fail(const QString& text)
{
    failures.append(text);
    std::fprintf(stderr, "load: %s\n", qPrintable(text));
}

int CLoadRun::exec()
{
    std::printf("Tarnwick load run: %d devices on %d ports, uplink every %d ms per device (%.0f/s), "
                "%d Modbus clients, %d s\n",
                options.devices, options.ports, options.periodMs, 1000.0 * options.devices / options.periodMs,
                options.clients, options.seconds);
    std::fflush(stdout);
    if (prepareWorkDir() && registerDevices() && startStandin() && startGateway() && waitForListeners() &&
        waitForLogin()) {
        runLoad();
        drain();
        checkDatabase();
    }
    stopGateway();
    return report();
}

bool CLoadRun::prepareWorkDir()
{
    if (options.workDir.isEmpty()) {
        tempDir.reset(new QTemporaryDir(QDir::tempPath() + QStringLiteral("/tarnwick-load-XXXXXX")));
        if (!tempDir->isValid()) {
            fail(QStringLiteral("no temporary directory: %1").arg(tempDir->errorString()));
            return false;
        }
        dir = tempDir->path();
    } else {
        dir = QDir(options.workDir).absolutePath();
        if (QDir(dir).exists() && !QDir(dir).isEmpty()) {
            fail(QStringLiteral("working directory %1 is not empty").arg(dir));
            return false;
        }
        QDir().mkpath(dir);
    }
    std::printf("  working directory %s\n", qPrintable(dir));
    const QString folder = dir + QStringLiteral("/") + COMM::DEVICE_FOLDER;
    if (!QDir().mkpath(folder) ||
        !QFile::copy(options.templateFile, folder + QStringLiteral("/load_template.json"))) {
        fail(QStringLiteral("cannot seed %1 with %2").arg(folder, options.templateFile));
        return false;
    }
    for (int i = 0; i < options.ports; ++i) {
        const quint16 port = freeLoopbackPort(modbusPorts);
        if (port == 0) {
            fail(QStringLiteral("no free loopback port"));
            return false;
        }
        modbusPorts.append(port);
    }
    return true;
}

// With the gateway's own storage and registry code, in the working
// directory, before the gateway opens the database.
bool CLoadRun::registerDevices()
{
    const QString startDir = QDir::currentPath();
    QDir::setCurrent(dir);
    CLogFile::getInstance(TOOL_LOG, QStringLiteral("load run registration"));
    bool ok = true;
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage) {
        fail(QStringLiteral("server.db cannot be created in %1").arg(dir));
        ok = false;
    }
    const REGS::SDeviceRegisterInfo info =
        CAllDeviceHandler::getInstance()->getRegisterInfo(LOAD::LOAD_APP_EUI);
    // The checks below rely on this register map.
    QMap<int, int> map;
    for (const REGS::SRegisterInfo& reg : info.registers)
        map.insert(reg.regMapBias, reg.regBitSize);
    const QMap<int, int> expected = {{LOAD::LOAD_REG_COUNTER, 32},
                                     {LOAD::LOAD_REG_INDEX, 16},
                                     {LOAD::LOAD_REG_SIGNATURE, 32},
                                     {LOAD::LOAD_REG_FCNT, 32}};
    if (ok && map != expected) {
        fail(QStringLiteral("template %1 does not give the load register map").arg(options.templateFile));
        ok = false;
    }
    for (int i = 0; ok && i < devices.size(); ++i) {
        const SLoadDevice& device = devices.at(i);
        DB::SDeviceRegMapDescription desc;
        desc.devEui = device.devEui;
        desc.appEui = LOAD::LOAD_APP_EUI;
        desc.name = QStringLiteral("Load meter %1").arg(device.index);
        desc.startAddr = device.startAddr;
        desc.registers = info.registers;
        if (!storage->registerNewDevice(desc, modbusPorts.at(device.portIndex))) {
            fail(QStringLiteral("device %1 was not registered (see %2)").arg(device.devEui, TOOL_LOG));
            ok = false;
        }
    }
    CAllDeviceHandler::resetInstance();
    CDataBaseHandler::resetInstance();
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
    QDir::setCurrent(startDir);
    return ok;
}

bool CLoadRun::startStandin()
{
    SStandinConfig config;
    config.host = QStringLiteral("127.0.0.1");
    config.port = 0;
    config.login = LOGIN;
    config.password = PASSWORD;
    config.historySize = 2;
    config.seed = 1;
    for (const SLoadDevice& device : qAsConst(devices))
        config.devices.append(makeStandinDevice(device));
    standin.reset(new CStandinServer(config));
    if (!standin->start()) {
        fail(QStringLiteral("stand-in server does not listen: %1").arg(standin->errorString()));
        return false;
    }
    QFile settings(dir + QStringLiteral("/") + SETT::SETT_FILENAME);
    if (!settings.open(QIODevice::WriteOnly)) {
        fail(QStringLiteral("cannot write %1").arg(settings.fileName()));
        return false;
    }
    settings.write(QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=%2\npassword=%3\n")
                       .arg(standin->serverPort())
                       .arg(LOGIN, PASSWORD)
                       .toUtf8());
    return true;
}

bool CLoadRun::startGateway()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    gateway.setProcessEnvironment(env);
    gateway.setWorkingDirectory(dir);
    // To a file: a pipe nobody reads would stall the gateway's debug output.
    gateway.setStandardOutputFile(dir + QStringLiteral("/") + GATEWAY_OUTPUT);
    gateway.setStandardErrorFile(dir + QStringLiteral("/") + GATEWAY_OUTPUT, QIODevice::Append);
    gateway.start(options.gatewayBin, {});
    if (!gateway.waitForStarted(START_TIMEOUT_MS)) {
        fail(QStringLiteral("gateway %1 does not start: %2").arg(options.gatewayBin, gateway.errorString()));
        return false;
    }
    gatewayPid = gateway.processId();
    return true;
}

bool CLoadRun::gatewayAlive()
{
    if (gateway.state() == QProcess::Running)
        return true;
    if (failures.isEmpty() || !failures.last().startsWith(QLatin1String("gateway ended")))
        fail(QStringLiteral("gateway ended during the run, exit code %1 (see %2)")
                 .arg(gateway.exitCode())
                 .arg(GATEWAY_OUTPUT));
    return false;
}

bool CLoadRun::waitForListeners()
{
    QElapsedTimer clock;
    clock.start();
    const QList<quint16> ports = modbusPorts;
    while (gatewayAlive()) {
        const bool all = whileServing([ports] {
            for (quint16 port : ports) {
                modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
                const bool open = ctx && modbus_connect(ctx) == 0;
                if (ctx) {
                    modbus_close(ctx);
                    modbus_free(ctx);
                }
                if (!open)
                    return false;
            }
            return true;
        });
        if (all)
            return true;
        if (clock.elapsed() > START_TIMEOUT_MS) {
            fail(QStringLiteral("the gateway did not open its %1 Modbus ports").arg(ports.size()));
            return false;
        }
        serveFor(100);
    }
    return false;
}

// The stand-in pushes only to a logged-in client, so device 0 sends until one
// of its uplinks shows over Modbus: from then on every uplink reaches the gateway.
bool CLoadRun::waitForLogin()
{
    QElapsedTimer clock;
    clock.start();
    while (gatewayAlive()) {
        sendUplink(0);
        ++probes;
        serveFor(PROBE_PERIOD_MS);
        std::vector<SDecodedAnswer> answers;
        const std::vector<bool> read = readAllDevices(answers);
        if (read.at(0) && answers.at(0).signature == devices.at(0).signature)
            return true;
        if (clock.elapsed() > LOGIN_TIMEOUT_MS) {
            fail(QStringLiteral("no uplink reached the gateway within %1 s; did it log in?")
                     .arg(LOGIN_TIMEOUT_MS / 1000));
            return false;
        }
    }
    return false;
}

void CLoadRun::sendUplink(int index)
{
    // Published before the send, so no client can read an fcnt it does not know.
    const int64_t fcnt = nextFcnt[size_t(index)]++;
    shared.sentUpTo[index].store(fcnt);
    const QJsonObject rx = standin->generateUplink(index);
    if (rx.value(API::API_JSON_KEY_FCNT).toVariant().toLongLong() != fcnt)
        fail(QStringLiteral("the stand-in sent fcnt %1 for device %2, expected %3")
                 .arg(rx.value(API::API_JSON_KEY_FCNT).toVariant().toLongLong())
                 .arg(index)
                 .arg(fcnt));
}

void CLoadRun::sampleRss(qint64 atMs)
{
    const qint64 kib = readRssKib(gatewayPid);
    if (kib > 0)
        rss.push_back({atMs, kib});
}

void CLoadRun::runLoad()
{
    std::vector<std::unique_ptr<CModbusPoller>> clients;
    for (int i = 0; i < options.clients; ++i) {
        clients.emplace_back(new CModbusPoller(i, devices, modbusPorts, shared));
        if (!whileServing([&] { return clients.back()->connectAll(); }))
            faults.append(clients.back()->stats().faults);
    }
    if (!faults.isEmpty()) {
        fail(QStringLiteral("Modbus clients could not connect"));
        return;
    }
    pollers = options.clients;

    QElapsedTimer clock;
    clock.start();
    sampleRss(0);
    std::vector<std::thread> threads;
    for (auto& client : clients)
        threads.emplace_back([&client] { client->run(); });

    // Uplinks are due at a fixed rate from the start, devices in turn, so a
    // late tick catches up and each device sends every periodMs.
    qint64 sent = 0;
    const qint64 durationMs = qint64(options.seconds) * 1000;
    QTimer uplinkTimer;
    uplinkTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&uplinkTimer, &QTimer::timeout, &uplinkTimer, [&] {
        const qint64 due = std::min(clock.elapsed(), durationMs) * options.devices / options.periodMs;
        for (; sent < due; ++sent)
            sendUplink(int(sent % options.devices));
    });
    QTimer rssTimer;
    QObject::connect(&rssTimer, &QTimer::timeout, &rssTimer, [&] {
        const qint64 at = clock.elapsed();
        sampleRss(at);
        if (rssAtHalf == 0 && at >= durationMs / 2)
            rssAtHalf = rss.back().kib;
    });
    QEventLoop loop;
    QTimer endTimer;
    endTimer.setSingleShot(true);
    endTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&endTimer, &QTimer::timeout, &loop, &QEventLoop::quit);
    QObject::connect(&gateway, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
                     &QEventLoop::quit);
    uplinkTimer.start(UPLINK_TICK_MS);
    rssTimer.start(RSS_PERIOD_MS);
    endTimer.start(int(durationMs));
    loop.exec();

    uplinkTimer.stop();
    // The last tick may have missed a few of the final due uplinks.
    const qint64 due = std::min(clock.elapsed(), durationMs) * options.devices / options.periodMs;
    for (; sent < due && gateway.state() == QProcess::Running; ++sent)
        sendUplink(int(sent % options.devices));
    loadMs = clock.elapsed();
    uplinksSent = sent;
    sampleRss(loadMs);
    rssTimer.stop();

    shared.stop = true;
    whileServing([&threads] {
        for (std::thread& thread : threads)
            thread.join();
        return true;
    });
    for (auto& client : clients) {
        const SPollerStats& stats = client->stats();
        total.answered += stats.answered;
        total.function3 += stats.function3;
        total.function4 += stats.function4;
        total.notStoredYet += stats.notStoredYet;
        total.wrong += stats.wrong;
        total.errors += stats.errors;
        total.reconnects += stats.reconnects;
        total.latencyUs.insert(total.latencyUs.end(), stats.latencyUs.begin(), stats.latencyUs.end());
        faults.append(stats.faults);
    }
    std::sort(total.latencyUs.begin(), total.latencyUs.end());
    gatewayAlive();
}

std::vector<bool> CLoadRun::readAllDevices(std::vector<SDecodedAnswer>& answers)
{
    answers.assign(size_t(devices.size()), SDecodedAnswer());
    const QList<SLoadDevice> list = devices;
    const QList<quint16> ports = modbusPorts;
    return whileServing([&answers, list, ports] {
        std::vector<bool> read(size_t(list.size()), false);
        std::vector<modbus_t*> contexts;
        for (quint16 port : ports) {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            if (ctx && modbus_connect(ctx) != 0) {
                modbus_free(ctx);
                ctx = nullptr;
            }
            contexts.push_back(ctx);
        }
        for (const SLoadDevice& device : list) {
            modbus_t* ctx = contexts.at(size_t(device.portIndex));
            uint16_t words[LOAD::LOAD_REG_COUNT] = {};
            if (ctx && modbus_read_registers(ctx, device.startAddr, LOAD::LOAD_REG_COUNT, words) ==
                           LOAD::LOAD_REG_COUNT) {
                read[size_t(device.index)] = true;
                answers[size_t(device.index)] = decodeAnswer(words);
            }
        }
        for (modbus_t* ctx : contexts) {
            if (ctx) {
                modbus_close(ctx);
                modbus_free(ctx);
            }
        }
        return read;
    });
}

// The gateway stores uplinks behind a queue; done when every device shows the
// last fcnt it was sent, with the counter of that same uplink.
void CLoadRun::drain()
{
    if (loadMs == 0)
        return;
    QElapsedTimer clock;
    clock.start();
    while (gatewayAlive()) {
        std::vector<SDecodedAnswer> answers;
        const std::vector<bool> read = readAllDevices(answers);
        drainedModbus = 0;
        for (const SLoadDevice& device : qAsConst(devices)) {
            const SDecodedAnswer& answer = answers.at(size_t(device.index));
            const int64_t last = shared.sentUpTo[device.index].load();
            if (read.at(size_t(device.index)) && int64_t(answer.fcnt) == last &&
                answer.counter == device.counterStart + uint32_t(last) &&
                answer.signature == device.signature && answer.index == device.index)
                ++drainedModbus;
        }
        drainMs = clock.elapsed();
        if (drainedModbus == devices.size())
            return;
        if (drainMs > DRAIN_TIMEOUT_MS) {
            fail(QStringLiteral("after %1 s only %2 of %3 devices show their last fcnt over Modbus")
                     .arg(DRAIN_TIMEOUT_MS / 1000)
                     .arg(drainedModbus)
                     .arg(devices.size()));
            return;
        }
        serveFor(100);
    }
}

// Straight from the file, read-only, beside the running gateway.
void CLoadRun::checkDatabase()
{
    if (loadMs == 0)
        return;
    const QByteArray path = (dir + QStringLiteral("/") + DB::DB_FILENAME).toUtf8();
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.constData(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        fail(QStringLiteral("cannot open %1 read-only: %2")
                 .arg(QString::fromUtf8(path), QString::fromUtf8(sqlite3_errmsg(db))));
        sqlite3_close(db);
        return;
    }
    sqlite3_busy_timeout(db, 5000);
    const char* sql = "SELECT d.dev_eui, r.reg_addr - d.start_addr, r.full_value "
                      "FROM devices d JOIN dev_data r ON r.device = d.device;";
    sqlite3_stmt* stmt = nullptr;
    QHash<QString, QHash<int, quint64>> stored; // EUI, offset, value
    int rc = sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    while (rc == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
        const QString eui = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
        if (text)
            stored[eui].insert(sqlite3_column_int(stmt, 1), QByteArray(text).toULongLong(nullptr, 16));
    }
    if (rc != SQLITE_OK)
        fail(QStringLiteral("cannot read server.db: %1").arg(QString::fromUtf8(sqlite3_errmsg(db))));
    sqlite3_finalize(stmt);
    sqlite3_close(db);

    for (const SLoadDevice& device : qAsConst(devices)) {
        const QHash<int, quint64> values = stored.value(device.devEui);
        const quint64 last = quint64(shared.sentUpTo[device.index].load());
        const bool ok =
            values.contains(LOAD::LOAD_REG_FCNT) && values.value(LOAD::LOAD_REG_FCNT) == last &&
            values.value(LOAD::LOAD_REG_COUNTER) == quint64(device.counterStart + uint32_t(last)) &&
            values.value(LOAD::LOAD_REG_INDEX) == quint64(device.index) &&
            values.value(LOAD::LOAD_REG_SIGNATURE) == device.signature;
        if (ok)
            ++storedInDb;
        else
            faults.append(QStringLiteral("server.db, device %1: fcnt %2, counter %3 (last sent fcnt %4)")
                              .arg(device.index)
                              .arg(values.value(LOAD::LOAD_REG_FCNT))
                              .arg(values.value(LOAD::LOAD_REG_COUNTER))
                              .arg(last));
    }
}

void CLoadRun::stopGateway()
{
    if (gateway.state() == QProcess::NotRunning) {
        exitCode = gateway.exitCode();
        exitNormal = false;
    } else {
        gateway.terminate();
        if (!gateway.waitForFinished(STOP_TIMEOUT_MS)) {
            fail(QStringLiteral("gateway did not end within %1 s of SIGTERM").arg(STOP_TIMEOUT_MS / 1000));
            return;
        }
        exitCode = gateway.exitCode();
        exitNormal = gateway.exitStatus() == QProcess::NormalExit;
    }
    QFile log(dir + QStringLiteral("/") + COMM::LOG_FILENAME);
    if (log.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : log.readAll().split('\n')) {
            if (line.contains("ERROR")) {
                ++gatewayLogErrors;
                faults.append(QStringLiteral("history.log: ") + QString::fromUtf8(line.trimmed()));
            }
        }
    }
}

int CLoadRun::report()
{
    const double seconds = loadMs > 0 ? double(loadMs) / 1000.0 : 1.0;
    const int n = devices.size();
    qint64 rssStart = 0, rssMax = 0, rssEnd = 0;
    if (!rss.empty()) {
        rssStart = rss.front().kib;
        rssEnd = rss.back().kib;
        for (const SRssSample& sample : rss)
            rssMax = std::max(rssMax, sample.kib);
    }
    const qint64 halfGrowth = rssAtHalf > 0 ? rssEnd - rssAtHalf : 0;
    const bool memoryJudged = options.seconds >= MEMORY_JUDGED_FROM_S && rssAtHalf > 0;
    const bool memoryOk = !memoryJudged || halfGrowth <= MAX_SECOND_HALF_GROWTH_KIB;

    std::printf("Figures\n");
    printLine(QStringLiteral("load duration"), QStringLiteral("%1 s").arg(seconds, 0, 'f', 1));
    printLine(QStringLiteral("uplinks sent"), QStringLiteral("%1 (%2/s), after %3 log-in probes")
                                                  .arg(uplinksSent)
                                                  .arg(double(uplinksSent) / seconds, 0, 'f', 1)
                                                  .arg(probes));
    printLine(QStringLiteral("last fcnt stored, over Modbus"),
              QStringLiteral("%1 of %2 devices (drained in %3 ms)").arg(drainedModbus).arg(n).arg(drainMs));
    printLine(QStringLiteral("last fcnt stored, in server.db"),
              QStringLiteral("%1 of %2 devices").arg(storedInDb).arg(n));
    printLine(QStringLiteral("Modbus requests answered"),
              QStringLiteral("%1 (function 3: %2, function 4: %3)")
                  .arg(total.answered)
                  .arg(total.function3)
                  .arg(total.function4));
    printLine(
        QStringLiteral("answers per second"),
        QStringLiteral("%1 by %2 clients").arg(double(total.answered) / seconds, 0, 'f', 0).arg(pollers));
    printLine(QStringLiteral("answers before a first uplink"), QString::number(total.notStoredYet));
    printLine(QStringLiteral("wrong answers"), QString::number(total.wrong));
    printLine(QStringLiteral("failed requests / reconnects"),
              QStringLiteral("%1 / %2").arg(total.errors).arg(total.reconnects));
    printLine(QStringLiteral("latency p50 / p99 / max"),
              QStringLiteral("%1 / %2 / %3")
                  .arg(ms(percentile(total.latencyUs, 0.50)), ms(percentile(total.latencyUs, 0.99)),
                       ms(total.latencyUs.empty() ? 0 : total.latencyUs.back())));
    printLine(QStringLiteral("gateway RSS start / max / end"),
              QStringLiteral("%1 / %2 / %3").arg(mib(rssStart), mib(rssMax), mib(rssEnd)));
    printLine(QStringLiteral("gateway RSS growth"),
              QStringLiteral("%1 KiB whole run, %2 KiB second half").arg(rssEnd - rssStart).arg(halfGrowth));
    printLine(QStringLiteral("memory steady"),
              memoryJudged ? QStringLiteral("%1 (second-half growth <= %2 KiB)")
                                 .arg(memoryOk ? QStringLiteral("yes") : QStringLiteral("NO"))
                                 .arg(MAX_SECOND_HALF_GROWTH_KIB)
                           : QStringLiteral("not judged (runs under %1 s)").arg(MEMORY_JUDGED_FROM_S));
    printLine(QStringLiteral("ERROR lines in history.log"), QString::number(gatewayLogErrors));
    printLine(QStringLiteral("gateway exit after SIGTERM"),
              exitCode < 0 ? QStringLiteral("none")
                           : QStringLiteral("code %1%2")
                                 .arg(exitCode)
                                 .arg(exitNormal ? QString() : QStringLiteral(", crashed")));
    for (int i = 0; i < faults.size() && i < MAX_FAULTS_SHOWN; ++i)
        std::printf("  fault: %s\n", qPrintable(faults.at(i)));
    if (faults.size() > MAX_FAULTS_SHOWN)
        std::printf("  (%d more faults)\n", int(faults.size()) - MAX_FAULTS_SHOWN);

    QStringList broken = failures;
    if (uplinksSent == 0)
        broken << QStringLiteral("no uplinks sent");
    if (total.answered == 0)
        broken << QStringLiteral("no Modbus answers");
    if (total.wrong > 0)
        broken << QStringLiteral("wrong answers");
    if (total.errors > 0 || total.reconnects > 0)
        broken << QStringLiteral("failed requests or dropped connections");
    if (drainedModbus != n || storedInDb != n)
        broken << QStringLiteral("lost uplinks");
    if (!memoryOk)
        broken << QStringLiteral("memory grows");
    if (gatewayLogErrors > 0)
        broken << QStringLiteral("errors in the gateway's log");
    if (exitCode != 0 || !exitNormal)
        broken << QStringLiteral("gateway did not exit cleanly");
    broken.removeDuplicates();
    if (broken.isEmpty()) {
        std::printf("RESULT: PASS\n");
        return 0;
    }
    // Kept for a look at history.log, gateway.out and server.db.
    if (tempDir)
        tempDir->setAutoRemove(false);
    std::printf("RESULT: FAIL (%s); files kept in %s\n", qPrintable(broken.join(QStringLiteral("; "))),
                qPrintable(dir));
    return 1;
}
