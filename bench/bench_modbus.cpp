// Modbus TCP read throughput and latency of the gateway's listener against a
// reference server answering from memory, idle and while uplinks are stored.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHostAddress>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include <modbus.h>

#include "app/CLogFile.h"
#include "modbus/CDeviceHandler.h"
#include "storage/CDataBaseHandler.h"

namespace {
constexpr int DEVICE_COUNT = 50;
constexpr int REGS_PER_DEVICE = 10;
constexpr int REQUESTS_PER_CLIENT = 3000;
constexpr int RUN_LIMIT_MS = 8000;
constexpr int STORE_INTERVAL_MS = 5; // 200 data sets per second
constexpr int ROUNDS = 3;

struct SRunResult
{
    double requestsPerSecond = 0;
    double p50us = 0;
    double p99us = 0;
    int failures = 0;
};

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString deviceEui(int i)
{
    return QStringLiteral("70B3D5E75E%1").arg(i, 6, 16, QLatin1Char('0')).toUpper();
}

DB::SDbDeviceRegDataSet dataSet(int device, int round)
{
    DB::SDbDeviceRegDataSet set;
    set.devEui = deviceEui(device);
    set.startAddr = device * REGS_PER_DEVICE;
    for (int r = 0; r < REGS_PER_DEVICE; ++r) {
        const QString word = QStringLiteral("%1").arg((round * 31 + r) & 0xFFFF, 4, 16, QLatin1Char('0'));
        set.appendRewriteData(word, r, word);
    }
    return set;
}

bool registerDevices(quint16 port)
{
    CDataBaseHandler* store = CDataBaseHandler::getInstance();
    for (int i = 0; i < DEVICE_COUNT; ++i) {
        DB::SDeviceRegMapDescription desc;
        desc.devEui = deviceEui(i);
        desc.appEui = QStringLiteral("70B3D5E75E000001");
        desc.name = QStringLiteral("bench %1").arg(i);
        desc.startAddr = i * REGS_PER_DEVICE;
        for (int r = 0; r < REGS_PER_DEVICE; ++r) {
            REGS::SRegisterInfo info;
            info.dataName = QStringLiteral("r%1").arg(r);
            info.source = 1;
            info.regMapBias = r;
            info.regBitSize = 16;
            info.dataType = QStringLiteral("uinteger");
            desc.registers.append(info);
        }
        if (!store->registerNewDevice(desc, port))
            return false;
        store->saveRegisterData(dataSet(i, 0));
    }
    return true;
}

// One blocking libmodbus client: a bounded number of reads, each timed.
void runClient(quint16 port, int quantity, int seed, std::vector<double>* latencies,
               std::atomic<int>* failures)
{
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    if (!ctx || modbus_connect(ctx) != 0) {
        *failures += REQUESTS_PER_CLIENT;
        if (ctx)
            modbus_free(ctx);
        return;
    }
    std::vector<uint16_t> words(quantity);
    const int span = DEVICE_COUNT * REGS_PER_DEVICE - quantity;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(RUN_LIMIT_MS);
    for (int i = 0; i < REQUESTS_PER_CLIENT && std::chrono::steady_clock::now() < deadline; ++i) {
        const int start = (seed * 97 + i * 13) % span;
        const auto t0 = std::chrono::steady_clock::now();
        const int got = (i & 1) ? modbus_read_registers(ctx, start, quantity, words.data())
                                : modbus_read_input_registers(ctx, start, quantity, words.data());
        const auto t1 = std::chrono::steady_clock::now();
        if (got != quantity)
            ++*failures;
        else
            latencies->push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

// Runs the clients in threads; while they run, the calling thread keeps its
// event loop turning so that a listener living there can answer.
SRunResult runClients(quint16 port, int clients, int quantity, bool spinEventLoop)
{
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> failures{0};
    std::atomic<int> finished{0};
    std::vector<std::thread> threads;
    QElapsedTimer wall;
    wall.start();
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&, c] {
            runClient(port, quantity, c + 1, &latencies[c], &failures);
            ++finished;
        });
    if (spinEventLoop) {
        // Sleep in the event loop (as the program does) and look at the clients now and then.
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            if (finished == clients || wall.elapsed() > RUN_LIMIT_MS + 5000)
                loop.quit();
        });
        poll.start(2);
        loop.exec();
    } else {
        while (finished < clients && wall.elapsed() < RUN_LIMIT_MS + 5000)
            QThread::msleep(2);
    }
    const double seconds = wall.nsecsElapsed() / 1e9;
    for (auto& t : threads)
        t.join();
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    SRunResult result;
    result.failures = failures;
    if (all.empty())
        return result;
    std::sort(all.begin(), all.end());
    result.requestsPerSecond = all.size() / seconds;
    result.p50us = all[all.size() / 2];
    result.p99us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return result;
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
        mapping = modbus_mapping_new(0, 0, DEVICE_COUNT * REGS_PER_DEVICE, DEVICE_COUNT * REGS_PER_DEVICE);
        if (!ctx || !mapping)
            return false;
        for (int i = 0; i < DEVICE_COUNT * REGS_PER_DEVICE; ++i)
            mapping->tab_registers[i] = mapping->tab_input_registers[i] = uint16_t(i * 31);
        listenSocket = modbus_tcp_listen(ctx, 16);
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
    std::thread worker;
};

SRunResult median(std::vector<SRunResult> runs)
{
    SRunResult result;
    const auto middle = [&runs](auto field) {
        std::sort(runs.begin(), runs.end(),
                  [field](const SRunResult& a, const SRunResult& b) { return a.*field < b.*field; });
        return runs[runs.size() / 2].*field;
    };
    result.requestsPerSecond = middle(&SRunResult::requestsPerSecond);
    result.p50us = middle(&SRunResult::p50us);
    result.p99us = middle(&SRunResult::p99us);
    for (const SRunResult& run : runs)
        result.failures += run.failures;
    return result;
}

// The direct cost of one store lookup, the part of an answer the gateway
// spends outside its own code. The blocks repeat, as a polling client's do,
// so most lookups are answered from kept answers.
double storeLookupMicros(quint16 port, int quantity)
{
    constexpr int rounds = 2000;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < rounds; ++i)
        CDataBaseHandler::getInstance()->getRegisterData(
            port, (i * 13) % (DEVICE_COUNT * REGS_PER_DEVICE - quantity), quantity);
    return timer.nsecsElapsed() / 1e3 / rounds;
}

void printRow(const char* name, int clients, int quantity, const SRunResult& r)
{
    std::printf("%-26s clients=%d regs=%3d  %9.0f req/s  p50 %7.1f us  p99 %7.1f us  failures %d\n", name,
                clients, quantity, r.requestsPerSecond, r.p50us, r.p99us, r.failures);
}
} // namespace

// Posts one data set every STORE_INTERVAL_MS to the storage thread, queued,
// as the uplink decoder does.
class CStorageLoad
{
public:
    void start()
    {
        QObject::connect(&timer, &QTimer::timeout, &timer, [this] {
            QMetaObject::invokeMethod(CDataBaseHandler::getInstance(), "saveRegisterData",
                                      Qt::QueuedConnection,
                                      Q_ARG(DB::SDbDeviceRegDataSet, dataSet(round % DEVICE_COUNT, round)));
            ++round;
        });
        timer.setTimerType(Qt::PreciseTimer);
        timer.start(STORE_INTERVAL_MS);
        clock.start();
    }
    double stop()
    {
        timer.stop();
        return round / (clock.nsecsElapsed() / 1e9);
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    int round = 1;
};

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qRegisterMetaType<DB::SDbDeviceRegDataSet>("DB::SDbDeviceRegDataSet");
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    CLogFile::getInstance(QStringLiteral("history.log"), QStringLiteral("bench_modbus"));
    const quint16 gatewayPort = freePort();
    if (!CDataBaseHandler::getInstance() || !registerDevices(gatewayPort)) {
        std::printf("storage setup failed\n");
        return 1;
    }
    // Storage runs in a thread of its own, as in the program.
    QThread storageThread;
    CDataBaseHandler::getInstance()->moveToThread(&storageThread);
    storageThread.start();
    CDeviceHandler gateway(gatewayPort);
    const quint16 referencePort = freePort();
    CReferenceServer reference(referencePort);
    if (!gateway.isListening() || !reference.start()) {
        std::printf("listener setup failed\n");
        return 1;
    }
    std::printf("%d devices x %d registers in server.db, %d requests per client (capped at %d ms), median of "
                "%d rounds\n\n",
                DEVICE_COUNT, REGS_PER_DEVICE, REQUESTS_PER_CLIENT, RUN_LIMIT_MS, ROUNDS);
    std::printf("store lookup alone: %.1f us for 10 registers, %.1f us for 125 registers\n\n",
                storeLookupMicros(gatewayPort, 10), storeLookupMicros(gatewayPort, 125));
    if (app.arguments().contains(QStringLiteral("--profile"))) {
        // One idle run of the slowest case alone, short enough for callgrind;
        // with "reference", the same run against the reference server.
        if (app.arguments().contains(QStringLiteral("reference")))
            printRow("reference (profile)", 1, 125, runClients(referencePort, 1, 125, false));
        else
            printRow("gateway idle (profile)", 1, 125, runClients(gatewayPort, 1, 125, true));
        reference.stop();
        storageThread.quit();
        storageThread.wait();
        return 0;
    }
    for (int clients : {1, 8}) {
        for (int quantity : {10, 125}) {
            // Three interleaved rounds, medians reported: the machine is shared.
            std::vector<SRunResult> refRuns, idleRuns, loadedRuns;
            double setsPerSecond = 0;
            for (int round = 0; round < ROUNDS; ++round) {
                refRuns.push_back(runClients(referencePort, clients, quantity, false));
                idleRuns.push_back(runClients(gatewayPort, clients, quantity, true));
                CStorageLoad load;
                load.start();
                loadedRuns.push_back(runClients(gatewayPort, clients, quantity, true));
                setsPerSecond += load.stop() / ROUNDS;
            }
            const SRunResult ref = median(refRuns);
            const SRunResult idle = median(idleRuns);
            const SRunResult loaded = median(loadedRuns);
            printRow("reference (memory)", clients, quantity, ref);
            printRow("gateway idle", clients, quantity, idle);
            printRow("gateway storing", clients, quantity, loaded);
            std::printf("  throughput ratio gateway/reference %.2f (target >= 0.70); p99 storing/idle %.2f "
                        "(target <= 2.00); %.0f data sets/s stored\n\n",
                        ref.requestsPerSecond > 0 ? idle.requestsPerSecond / ref.requestsPerSecond : 0.0,
                        idle.p99us > 0 ? loaded.p99us / idle.p99us : 0.0, setsPerSecond);
        }
    }
    reference.stop();
    storageThread.quit();
    storageThread.wait();
    return 0;
}
