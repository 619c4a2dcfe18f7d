// Modbus TCP reads from the gateway's core (listeners on their thread, reads
// from the committed register images) side by side with a libmodbus server
// answering from memory: throughput and latency, many clients connecting at
// once, the latency while a burst of uplinks is decoded and stored, and both
// servers' latency while a network server pushes a steady stream of uplinks
// the whole way through the gateway (WebSocket, JSON, decoding, storage).
//
//   bench_modbus [--ports LOW-HIGH] [--rounds N] [--burst N] [--rate UPLINKS_PER_S]
// TARNWICK_BENCH_PORTS=LOW-HIGH does the same as --ports.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWebSocket>
#include <QWebSocketServer>

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <modbus.h>

#include "app/CLogFile.h"
#include "app/global.h"
#include "bench/BenchRx.h"
#include "core/CGatewayCore.h"
#include "devices/CAllDeviceHandler.h"
#include "server/ApiMessages.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"

namespace {
constexpr int DEVICE_COUNT = 50;
constexpr int DEVICE_STRIDE = 20; // registers between two devices' start addresses
constexpr int REGISTER_SPAN = DEVICE_COUNT * DEVICE_STRIDE;
constexpr int RUN_LIMIT_MS = 1500;
constexpr int CONNECT_STORM = 64;
constexpr long STREAM_FIRST = 10000000; // uplinks of the stream are newer than the burst's

using Clock = std::chrono::steady_clock;

// Counter (32 bits), temperature, voltage; rssi and fcnt from the server.
const char* TEMPLATE_JSON = R"({"app_eui": "70B3D5E75E000001", "dev_type": "Meter", "device_packets": [
  {"packet_type": 1, "packet_size": 9, "packet_fields": [
    {"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "uinteger", "endianness": "be",
     "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Counter"},
    {"packet_bias": 5, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
     "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Temperature"},
    {"packet_bias": 7, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "uinteger",
     "reg_map_bias": 3, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Voltage"}]}],
  "server_data": [
    {"data_code": "rssi", "reg_map_bias": 10, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "RSSI"},
    {"data_code": "fcnt", "reg_map_bias": 11, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "FCnt"}]})";

struct SLatencies
{
    double requestsPerSecond = 0;
    double p50 = 0, p99 = 0, p999 = 0, max = 0; // microseconds
    int failures = 0;
    double requests = 0;
    double cpuPerRequest = 0; // microseconds the serving thread ran per answer
};

// Ports from a range the caller gives, or any the system hands out.
class CPortSource
{
public:
    bool parse(const QString& range)
    {
        const QStringList parts = range.split(QLatin1Char('-'));
        bool lowOk = false, highOk = false;
        if (parts.size() == 2) {
            next = parts.at(0).toInt(&lowOk);
            high = parts.at(1).toInt(&highOk);
        }
        return lowOk && highOk && next >= 1 && next <= high && high <= 65535;
    }

    quint16 take()
    {
        for (; high && next <= high; ++next) {
            QTcpServer probe;
            if (probe.listen(QHostAddress::Any, quint16(next)))
                return quint16(next++);
        }
        if (high)
            return 0;
        QTcpServer probe;
        probe.listen(QHostAddress::Any, 0);
        return probe.serverPort();
    }

private:
    int next = 0;
    int high = 0;
};

QString deviceEui(int i)
{
    return QStringLiteral("70B3D5E75E10%1").arg(i, 4, 16, QLatin1Char('0')).toUpper();
}

QList<REGS::SRegisterInfo> registerList(const REGS::SDeviceTemplate& t)
{
    QList<REGS::SRegisterInfo> list;
    for (const auto& d : t.serverData)
        list.append({d.dataName, 0, d.regMapBias, d.regBitSize, d.dataType, 0.0, 1.0, QString(), {}});
    for (const auto& f : t.devicePackets.first().packetFields)
        list.append({f.dataName, 1, f.regMapBias, f.regBitSize, f.dataType, 0.0, 1.0, QString(), {}});
    return list;
}

QByteArray rxMessage(int n)
{
    const QString payload =
        QStringLiteral("01%1%2%3")
            .arg(QString::number(quint32(n) * 7u, 16).rightJustified(8, '0'),
                 QString::number(0x8a02 + n % 50, 16).rightJustified(4, '0'), QStringLiteral("30e2"));
    return benchRxMessage(deviceEui(n % DEVICE_COUNT), payload, n);
}

// The devices in server.db and their template in deviceFolder, before the core starts.
bool prepareWorkDir(quint16 port)
{
    QDir().mkdir(COMM::DEVICE_FOLDER);
    QFile file(COMM::DEVICE_FOLDER + QStringLiteral("/meter.json"));
    if (!file.open(QIODevice::WriteOnly) || file.write(TEMPLATE_JSON) < 0)
        return false;
    file.close();
    const REGS::SDeviceTemplate meter(QJsonDocument::fromJson(TEMPLATE_JSON).object());
    CDataBaseHandler* store = CDataBaseHandler::getInstance();
    for (int i = 0; store && i < DEVICE_COUNT; ++i)
        if (!store->registerNewDevice({deviceEui(i), meter.appEui, QStringLiteral("bench %1").arg(i),
                                       i * DEVICE_STRIDE, registerList(meter)},
                                      port))
            return false;
    return store != nullptr;
}

// One blocking libmodbus client reading until the deadline or until told to stop.
void runClient(quint16 port, int quantity, int seed, Clock::time_point deadline,
               const std::atomic<bool>& stop, std::vector<double>& latencies, std::atomic<int>& failures)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(ctx, 3, 0);
    if (!ctx || modbus_connect(ctx) != 0) {
        ++failures;
        if (ctx)
            modbus_free(ctx);
        return;
    }
    std::vector<uint16_t> words(quantity);
    for (int i = 0; !stop && Clock::now() < deadline; ++i) {
        const int start = (seed * 97 + i * 13) % (REGISTER_SPAN - quantity);
        const auto t0 = Clock::now();
        const int got = (i & 1) ? modbus_read_registers(ctx, start, quantity, words.data())
                                : modbus_read_input_registers(ctx, start, quantity, words.data());
        if (got != quantity)
            ++failures;
        else
            latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

// Nanoseconds a thread of this process has run, from the scheduler's statistics.
qint64 threadCpuNs(pid_t tid)
{
    QFile file(QStringLiteral("/proc/self/task/%1/schedstat").arg(tid));
    return file.open(QIODevice::ReadOnly) ? file.readAll().split(' ').value(0).toLongLong() : 0;
}

pid_t threadNamed(const QByteArray& name)
{
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().trimmed() == name)
            return tid.toInt();
    }
    return 0;
}

SLatencies summarise(std::vector<std::vector<double>>& perClient, double seconds, int failures)
{
    std::vector<double> all;
    for (const auto& l : perClient)
        all.insert(all.end(), l.begin(), l.end());
    SLatencies r;
    r.failures = failures;
    if (all.empty())
        return r;
    std::sort(all.begin(), all.end());
    const auto at = [&all](size_t permille) {
        return all[std::min(all.size() - 1, all.size() * permille / 1000)];
    };
    r.requests = all.size();
    r.requestsPerSecond = all.size() / seconds;
    r.p50 = at(500);
    r.p99 = at(990);
    r.p999 = at(999);
    r.max = all.back();
    return r;
}

// Clients in threads; the calling thread turns its event loop meanwhile and
// runs `during` once, so that uplinks can be decoded while the clients read.
SLatencies runClients(quint16 port, int clients, int quantity, const std::function<void()>& during = {})
{
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> failures{0}, finished{0};
    std::atomic<bool> stop{false};
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(during ? 60000 : RUN_LIMIT_MS);
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            runClient(port, quantity, c + 1, deadline, stop, latencies[c], failures);
            ++finished;
        });
    if (during) {
        QThread::msleep(100); // the clients are connected and reading before the burst
        during();
        stop = true;
    }
    // The gateway's own thread takes the link and decoding: it waits in its
    // event loop, not in a sleep, so that the bench delays none of it.
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (finished == clients)
            loop.quit();
    });
    poll.start(5);
    loop.exec();
    const double seconds = wall.nsecsElapsed() / 1e9;
    for (auto& t : threads)
        t.join();
    return summarise(latencies, seconds, failures);
}

// The reference: libmodbus answering from a memory mapping, one select loop.
class CReferenceServer
{
public:
    explicit CReferenceServer(quint16 port) : port(port) {}
    ~CReferenceServer() { stop(); }

    bool start()
    {
        ctx = modbus_new_tcp("127.0.0.1", port);
        mapping = modbus_mapping_new(0, 0, REGISTER_SPAN, REGISTER_SPAN);
        if (!ctx || !mapping)
            return false;
        for (int i = 0; i < REGISTER_SPAN; ++i)
            mapping->tab_registers[i] = mapping->tab_input_registers[i] = uint16_t(i * 31);
        listenSocket = modbus_tcp_listen(ctx, 128); // the gateway's backlog
        if (listenSocket < 0)
            return false;
        worker = std::thread([this] { serve(); });
        return true;
    }

    void stop()
    {
        running = false;
        if (worker.joinable())
            worker.join();
        if (listenSocket >= 0)
            ::close(listenSocket);
        listenSocket = -1;
        if (mapping)
            modbus_mapping_free(mapping);
        mapping = nullptr;
        if (ctx)
            modbus_free(ctx);
        ctx = nullptr;
    }

private:
    void serve()
    {
        tid = ::gettid();
        fd_set clients;
        FD_ZERO(&clients);
        FD_SET(listenSocket, &clients);
        int maxFd = listenSocket;
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        while (running) {
            fd_set ready = clients;
            timeval timeout{0, 50000};
            if (select(maxFd + 1, &ready, nullptr, nullptr, &timeout) <= 0)
                continue;
            for (int fd = 0; fd <= maxFd; ++fd) {
                if (!FD_ISSET(fd, &ready))
                    continue;
                if (fd == listenSocket) {
                    int accepted = listenSocket;
                    const int client = modbus_tcp_accept(ctx, &accepted);
                    if (client >= 0) {
                        FD_SET(client, &clients);
                        maxFd = std::max(maxFd, client);
                    }
                    continue;
                }
                modbus_set_socket(ctx, fd);
                const int length = modbus_receive(ctx, query);
                if (length > 0) {
                    modbus_reply(ctx, query, length, mapping);
                } else if (length == -1) {
                    ::close(fd);
                    FD_CLR(fd, &clients);
                }
            }
        }
        for (int fd = 0; fd <= maxFd; ++fd)
            if (fd != listenSocket && FD_ISSET(fd, &clients))
                ::close(fd);
    }

    quint16 port;
    modbus_t* ctx = nullptr;
    modbus_mapping_t* mapping = nullptr;
    int listenSocket = -1;
    std::atomic<bool> running{true};

public:
    std::atomic<pid_t> tid{0};

private:
    std::thread worker;
};

SLatencies median(std::vector<SLatencies> runs)
{
    SLatencies result;
    const auto middle = [&runs](double SLatencies::*field) {
        std::sort(runs.begin(), runs.end(),
                  [field](const SLatencies& a, const SLatencies& b) { return a.*field < b.*field; });
        return runs[runs.size() / 2].*field;
    };
    for (double SLatencies::*field : {&SLatencies::requestsPerSecond, &SLatencies::p50, &SLatencies::p99,
                                      &SLatencies::p999, &SLatencies::max, &SLatencies::cpuPerRequest})
        result.*field = middle(field);
    for (const SLatencies& run : runs)
        result.failures += run.failures;
    return result;
}

void printRow(const char* name, const SLatencies& r)
{
    std::printf("  %-10s %8.0f req/s  p50 %7.0f  p99 %7.0f  p999 %7.0f  max %7.0f us  failures %d  cpu %.2f "
                "us/req\n",
                name, r.requestsPerSecond, r.p50, r.p99, r.p999, r.max, r.failures, r.cpuPerRequest);
}

// Clients connecting all at once, each reading once: how many get through.
int connectStorm(quint16 port)
{
    std::atomic<int> served{0}, ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < CONNECT_STORM; ++c)
        threads.emplace_back([&] {
            modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
            modbus_set_response_timeout(ctx, 3, 0);
            uint16_t word = 0;
            ++ready;
            while (!go)
                std::this_thread::yield();
            if (modbus_connect(ctx) == 0 && modbus_read_registers(ctx, 0, 1, &word) == 1)
                ++served;
            modbus_close(ctx);
            modbus_free(ctx);
        });
    while (ready < CONNECT_STORM)
        QThread::msleep(1);
    go = true;
    for (auto& t : threads)
        t.join();
    return served;
}

// Uplinks as the link hands them to the registry, parsed from their text;
// returns once every one is decoded and its packet committed.
void uplinkBurst(int count, double& uplinksPerSecond)
{
    QElapsedTimer timer;
    timer.start();
    CAllDeviceHandler* registry = CAllDeviceHandler::getInstance();
    for (int n = 0; n < count; ++n) {
        API::SApiDeviceData packet;
        if (API::readRxMessage(QJsonDocument::fromJson(rxMessage(n)).object(), packet))
            QMetaObject::invokeMethod(registry, "newPacketReceivedSlot", Qt::QueuedConnection,
                                      Q_ARG(API::SApiDeviceData, packet));
    }
    bool decoded = false;
    QObject marker;
    QMetaObject::invokeMethod(
        &marker, [&decoded] { decoded = true; }, Qt::QueuedConnection);
    while (!decoded)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    // The storage thread takes its queue in order: this runs after the last save.
    QMetaObject::invokeMethod(
        CDataBaseHandler::getInstance(), [] {}, Qt::BlockingQueuedConnection);
    uplinksPerSecond = count * 1e9 / timer.nsecsElapsed();
}

// The network server, on a thread of its own: answers the log-in and the
// catch-up requests, and while pushing sends uplinks at a steady rate.
class CUplinkPusher
{
public:
    CUplinkPusher()
    {
        anchor.moveToThread(&thread);
        thread.start();
        run([this] {
            server.reset(new QWebSocketServer(QStringLiteral("bench"), QWebSocketServer::NonSecureMode));
            pace.reset(new QTimer);
            pace->setTimerType(Qt::PreciseTimer);
            QObject::connect(pace.get(), &QTimer::timeout, [this] { pushDue(); });
            QObject::connect(server.get(), &QWebSocketServer::newConnection, [this] { take(); });
            server->listen(QHostAddress::LocalHost, 0);
        });
    }
    ~CUplinkPusher()
    {
        run([this] {
            pace.reset();
            server.reset(); // closes the connection with it
        });
        thread.quit();
        thread.wait();
    }

    quint16 port() const { return server->serverPort(); }
    void start(int perSecond)
    {
        run([this, perSecond] {
            rate = perSecond;
            pushedBefore = sent;
            clock.start();
            pace->start(2);
        });
    }
    void stop()
    {
        run([this] { pace->stop(); });
    }

    std::atomic<long> sent{0};

private:
    void run(const std::function<void()>& job)
    {
        QMetaObject::invokeMethod(&anchor, job, Qt::BlockingQueuedConnection);
    }

    void take()
    {
        client = server->nextPendingConnection();
        client->setParent(server.get());
        QObject::connect(client, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject msg = QJsonDocument::fromJson(text.toUtf8()).object();
            const QString cmd = msg.value(API::API_JSON_KEY_CMD).toString();
            QJsonObject reply{{API::API_JSON_KEY_ERRSTRING, API::API_JSON_ERR_UNKNOWNCMD}};
            if (cmd == API::API_JSON_CMD_AUTHREQ)
                reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_AUTHRESP},
                         {API::API_JSON_KEY_STATUS, true},
                         {API::API_JSON_KEY_TOKEN, QStringLiteral("bench")}};
            else if (cmd == API::API_JSON_CMD_GETDEVDATAREQ)
                reply = {{API::API_JSON_KEY_CMD, API::API_JSON_CMD_GETDEVDATARESP},
                         {API::API_JSON_KEY_STATUS, true},
                         {API::API_JSON_KEY_DEVEUI, msg.value(API::API_JSON_KEY_DEVEUI)},
                         {API::API_JSON_KEY_DATALIST, QJsonArray()}};
            client->sendTextMessage(QString::fromUtf8(QJsonDocument(reply).toJson(QJsonDocument::Compact)));
        });
    }

    // As many uplinks as are due by now; a stalled tick is made up, 50 at a time.
    void pushDue()
    {
        const long due = pushedBefore + clock.elapsed() * rate / 1000;
        for (int burst = 0; client && sent < due && burst < 50; ++burst)
            client->sendTextMessage(QString::fromUtf8(rxMessage(int(STREAM_FIRST + sent++))));
    }

    QThread thread;
    QObject anchor; // jobs run in the thread through it
    std::unique_ptr<QWebSocketServer> server;
    std::unique_ptr<QTimer> pace;
    QWebSocket* client = nullptr;
    QElapsedTimer clock;
    int rate = 0;
    long pushedBefore = 0;
};

// The link of the core logs in to the pusher; false if it does not within 5 s.
bool logIn(quint16 serverPort)
{
    CServerHandler* link = CServerHandler::getInstance();
    QEventLoop loop;
    bool verified = false;
    QObject::connect(link, &CServerHandler::changeServerStatus, &loop, [&](COMM::EServerStatus status) {
        verified = status == COMM::SUCCESS;
        if (verified)
            loop.quit();
    });
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    link->connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(serverPort), QStringLiteral("bench"),
                      QStringLiteral("bench"));
    loop.exec();
    return verified;
}

// The serving thread's own time per answer: the same work measured where
// the machine's scheduling noise, which moves throughput, hardly reaches.
SLatencies withCpu(pid_t tid, const std::function<SLatencies()>& run)
{
    const qint64 before = threadCpuNs(tid);
    SLatencies r = run();
    r.cpuPerRequest = r.requests > 0 ? (threadCpuNs(tid) - before) / 1000.0 / r.requests : 0.0;
    return r;
}

// 8 clients x 10 registers on each server in turn while the network server
// streams `rate` uplinks per second through the link; false if it cannot log in.
bool uplinkStream(quint16 gatewayPort, pid_t gatewayTid, quint16 referencePort, pid_t referenceTid,
                  int rounds, int rate)
{
    CUplinkPusher pusher;
    if (!logIn(pusher.port())) {
        std::fprintf(stderr, "bench_modbus: the link did not log in to the network server\n");
        return false;
    }
    static std::atomic<long> stored{0}; // counted on the storage thread, to the end of the run
    QObject::connect(CDataBaseHandler::getInstance(), &CDataBaseHandler::registerDataCommitted,
                     [] { ++stored; });
    QElapsedTimer streamed;
    streamed.start();
    pusher.start(rate);
    QEventLoop flowing; // the stream runs before the first client reads, and the link takes it
    QTimer::singleShot(200, &flowing, &QEventLoop::quit);
    flowing.exec();
    std::vector<SLatencies> refRuns, gwRuns;
    for (int round = 0; round < rounds; ++round) {
        refRuns.push_back(withCpu(referenceTid, [&] { return runClients(referencePort, 8, 10); }));
        gwRuns.push_back(withCpu(gatewayTid, [&] { return runClients(gatewayPort, 8, 10); }));
    }
    pusher.stop();
    const double seconds = streamed.nsecsElapsed() / 1e9;
    const SLatencies ref = median(refRuns), gw = median(gwRuns);
    std::printf("\n%d uplinks/s through WebSocket, JSON, decoding and storage: %.0f sent/s, %.0f stored/s; 8 "
                "clients x 10 registers meanwhile\n",
                rate, pusher.sent / seconds, stored / seconds);
    printRow("reference", ref);
    printRow("gateway", gw);
    std::printf("  gateway/reference: req/s %.2f, p999 %.2f, max %.2f\n",
                ref.requestsPerSecond > 0 ? gw.requestsPerSecond / ref.requestsPerSecond : 0.0,
                ref.p999 > 0 ? gw.p999 / ref.p999 : 0.0, ref.max > 0 ? gw.max / ref.max : 0.0);
    return true;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false")); // the link's trace, not the table
    const QStringList args = app.arguments();
    const auto option = [&args](const QString& name, const QString& fallback) {
        const int at = args.indexOf(name);
        return at >= 0 && at + 1 < args.size() ? args.at(at + 1) : fallback;
    };
    CPortSource ports;
    const QString range = option(QStringLiteral("--ports"), qEnvironmentVariable("TARNWICK_BENCH_PORTS"));
    if (!range.isEmpty() && !ports.parse(range)) {
        std::fprintf(stderr, "bench_modbus: --ports wants LOW-HIGH within 1-65535\n");
        return 2;
    }
    const int rounds = qMax(1, option(QStringLiteral("--rounds"), QStringLiteral("3")).toInt());
    const int burst = qMax(1, option(QStringLiteral("--burst"), QStringLiteral("10000")).toInt());

    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    const quint16 gatewayPort = ports.take();
    const quint16 referencePort = ports.take();
    CLogFile::getInstance(COMM::LOG_FILENAME, QStringLiteral("bench_modbus"));
    CGatewayCore core;
    CReferenceServer reference(referencePort);
    if (!gatewayPort || !referencePort || !prepareWorkDir(gatewayPort) || !core.start() ||
        !reference.start()) {
        std::fprintf(stderr, "bench_modbus: set-up failed (ports %d and %d)\n", gatewayPort, referencePort);
        return 1;
    }
    std::printf(
        "%d devices over %d registers; gateway port %d, reference port %d; %d ms per run, median of %d "
        "interleaved rounds\n\n",
        DEVICE_COUNT, REGISTER_SPAN, gatewayPort, referencePort, RUN_LIMIT_MS, rounds);

    const pid_t modbusTid = threadNamed("modbus");
    const int cases[][2] = {{1, 10}, {1, 125}, {8, 10}, {8, 125}, {64, 10}};
    SLatencies idleEight;
    for (const auto& c : cases) {
        std::vector<SLatencies> refRuns, gwRuns;
        for (int round = 0; round < rounds; ++round) {
            refRuns.push_back(withCpu(reference.tid, [&] { return runClients(referencePort, c[0], c[1]); }));
            gwRuns.push_back(withCpu(modbusTid, [&] { return runClients(gatewayPort, c[0], c[1]); }));
        }
        const SLatencies ref = median(refRuns), gw = median(gwRuns);
        if (c[0] == 8 && c[1] == 10)
            idleEight = gw;
        std::printf("%d client(s) x %d registers: ratio gateway/reference %.2f, cpu per request %.2f\n", c[0],
                    c[1], ref.requestsPerSecond > 0 ? gw.requestsPerSecond / ref.requestsPerSecond : 0.0,
                    ref.cpuPerRequest > 0 ? gw.cpuPerRequest / ref.cpuPerRequest : 0.0);
        printRow("reference", ref);
        printRow("gateway", gw);
    }

    std::printf("\n%d clients connecting at once: reference %d served, gateway %d served\n", CONNECT_STORM,
                connectStorm(referencePort), connectStorm(gatewayPort));

    double uplinksPerSecond = 0;
    const SLatencies during = withCpu(modbusTid, [&] {
        return runClients(gatewayPort, 8, 10,
                          [burst, &uplinksPerSecond] { uplinkBurst(burst, uplinksPerSecond); });
    });
    std::printf(
        "\nburst of %d uplinks (parsed, decoded by the registry, committed): %.0f uplinks/s; 8 clients x "
        "10 registers meanwhile\n",
        burst, uplinksPerSecond);
    printRow("idle", idleEight);
    printRow("burst", during);
    std::printf("  p99 during burst / idle %.2f\n", idleEight.p99 > 0 ? during.p99 / idleEight.p99 : 0.0);

    const int rate = qMax(1, option(QStringLiteral("--rate"), QStringLiteral("2000")).toInt());
    if (!uplinkStream(gatewayPort, modbusTid, referencePort, reference.tid, rounds, rate))
        return 1;
    reference.stop();
    core.stop();
    return 0;
}
