// Storage throughput: packets stored and Modbus ranges read through
// CDataBaseHandler, against the same work done with the plain sqlite3 API;
// then the memory a sweep of many ports' registers takes, and Modbus reads
// while another program holds server.db's write lock.
//   bench_storage [--ports N] [--lock-seconds S]   (defaults 100 and 10)

#include <algorithm>
#include <cstdio>
#include <functional>

#include <QFile>
#include <QThread>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QMap>
#include <QTemporaryDir>

#include <sqlite3.h>

#include "app/CLogFile.h"
#include "app/global.h"
#include "storage/CDataBaseHandler.h"
#include "storage/CRegisterImage.h"

namespace {
const int PORT = 502;
const int DEVICES = 50;
const int REGISTERS = 10; // per device, 16 bits each
const double SECONDS = 0.2;
const int SWEEP_PORT = 1000; // first of the swept ports
const int POST_EVERY_MS = 5;

using Words = QMap<unsigned short, unsigned short>;

QString deviceEui(int device)
{
    return QStringLiteral("70B3D5%1").arg(device, 10, 16, QLatin1Char('0')).toUpper();
}

DB::SDbDeviceRegDataSet packet(int n)
{
    DB::SDbDeviceRegDataSet set;
    set.devEui = deviceEui(n % DEVICES);
    set.startAddr = (n % DEVICES) * REGISTERS;
    for (int i = 0; i < REGISTERS; ++i) {
        const QString word = QStringLiteral("%1").arg((n + i) & 0xffff, 4, 16, QLatin1Char('0'));
        set.appendRewriteData(word, i, word);
    }
    return set;
}

// Operations per second of work(n), n counting up, run for about SECONDS.
double rate(const std::function<void(int)>& work)
{
    QElapsedTimer timer;
    timer.start();
    int n = 0;
    while (timer.nsecsElapsed() < qint64(SECONDS * 1e9)) {
        for (int i = 0; i < 50; ++i)
            work(n++);
    }
    return n / (timer.nsecsElapsed() / 1e9);
}

int readStart(int n, int count)
{
    return (n * 37) % (DEVICES * REGISTERS - count + 1);
}

class CRawStore
{
public:
    CRawStore(const char* file, const char* journal, const char* synchronous);
    ~CRawStore();
    void registerDevices();
    void save(const DB::SDbDeviceRegDataSet& set);
    Words read(int port, int first, int count);

private:
    void exec(const QString& sql);
    sqlite3_stmt* prepare(const char* sql);

    sqlite3* db = nullptr;
    sqlite3_stmt* selectId = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* range = nullptr;
};

CRawStore::CRawStore(const char* file, const char* journal, const char* synchronous)
{
    sqlite3_open(file, &db);
    exec(QStringLiteral("PRAGMA journal_mode=%1;").arg(QLatin1String(journal)));
    exec(QStringLiteral("PRAGMA synchronous=%1;").arg(QLatin1String(synchronous)));
    exec(QStringLiteral("CREATE TABLE devices ( device INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL UNIQUE, "
                        "name TEXT, app_eui TEXT, dev_eui TEXT, port INTEGER, start_addr INTEGER );"));
    exec(QStringLiteral(
        "CREATE TABLE dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, "
        "start_value INTEGER, grating_period REAL, bit_size REAL, data_type TEXT, value TEXT, "
        "full_value TEXT, time INTEGER, name TEXT, unit TEXT, parent INTEGER, source INTEGER );"));
    exec(QStringLiteral(
        "CREATE INDEX idx_eui ON devices ( dev_eui ); CREATE INDEX idx_device ON devices ( device );"
        "CREATE INDEX idx_dev_parent ON dev_data ( device, parent );"
        "CREATE INDEX idx_dev_regaddr ON dev_data ( device, reg_addr );"
        "CREATE INDEX idx_port_regaddr ON dev_data ( port, reg_addr );"));
    selectId = prepare("SELECT device FROM devices WHERE dev_eui=?;");
    update = prepare("UPDATE dev_data SET value=?, full_value=?, time=? WHERE device=? AND reg_addr=?;");
    range = prepare(
        "SELECT reg_addr, bit_size, full_value FROM dev_data WHERE port=? AND reg_addr BETWEEN ? AND ? "
        "ORDER BY reg_addr ASC;");
}

CRawStore::~CRawStore()
{
    sqlite3_finalize(selectId);
    sqlite3_finalize(update);
    sqlite3_finalize(range);
    sqlite3_close(db);
}

void CRawStore::exec(const QString& sql)
{
    sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr);
}

sqlite3_stmt* CRawStore::prepare(const char* sql)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr);
    return stmt;
}

void CRawStore::registerDevices()
{
    exec(QStringLiteral("BEGIN;"));
    for (int d = 0; d < DEVICES; ++d) {
        exec(QStringLiteral("INSERT INTO devices (name, app_eui, dev_eui, port, start_addr) "
                            "VALUES ('dev%1', 'APP', '%2', %3, %4);")
                 .arg(d)
                 .arg(deviceEui(d))
                 .arg(PORT)
                 .arg(d * REGISTERS));
        for (int i = 0; i < REGISTERS; ++i)
            exec(QStringLiteral("INSERT INTO dev_data (device, port, reg_addr, start_value, grating_period, "
                                "bit_size, data_type, name, parent, source, unit) "
                                "VALUES (%1, %2, %3, 0.0, 1.0, 16, 'uinteger', 'r', 1, 1, '');")
                     .arg(d + 1)
                     .arg(PORT)
                     .arg(d * REGISTERS + i));
    }
    exec(QStringLiteral("COMMIT;"));
}

void CRawStore::save(const DB::SDbDeviceRegDataSet& set)
{
    sqlite3_bind_text16(selectId, 1, set.devEui.utf16(), set.devEui.size() * 2, SQLITE_STATIC);
    const sqlite3_int64 id = sqlite3_step(selectId) == SQLITE_ROW ? sqlite3_column_int64(selectId, 0) : 0;
    sqlite3_reset(selectId);
    if (id == 0)
        return;
    // One transaction per packet, as the handler stores it.
    exec(QStringLiteral("BEGIN;"));
    for (const DB::SDbDeviceRegDataRewrite& entry : set.rewriteList) {
        sqlite3_bind_text16(update, 1, entry.value.utf16(), entry.value.size() * 2, SQLITE_STATIC);
        if (entry.fullValue.isEmpty())
            sqlite3_bind_null(update, 2);
        else
            sqlite3_bind_text16(update, 2, entry.fullValue.utf16(), entry.fullValue.size() * 2,
                                SQLITE_STATIC);
        sqlite3_bind_int64(update, 3, QDateTime::currentMSecsSinceEpoch());
        sqlite3_bind_int64(update, 4, id);
        sqlite3_bind_int(update, 5, set.startAddr + entry.regOffset);
        sqlite3_step(update);
        sqlite3_reset(update);
    }
    exec(QStringLiteral("COMMIT;"));
}

Words CRawStore::read(int port, int first, int count)
{
    Words words;
    for (int i = 0; i < count; ++i)
        words.insert(words.constEnd(), static_cast<unsigned short>(first + i), 0);
    sqlite3_bind_int(range, 1, port);
    sqlite3_bind_int(range, 2, first);
    sqlite3_bind_int(range, 3, first + count - 1);
    // The same decoding as the handler's, so only the database access differs.
    while (sqlite3_step(range) == SQLITE_ROW)
        CRegisterImage::put(words, sqlite3_column_int(range, 0), sqlite3_column_int(range, 1),
                            reinterpret_cast<const char*>(sqlite3_column_text(range, 2)),
                            sqlite3_column_bytes(range, 2), first, first + count - 1);
    sqlite3_reset(range);
    return words;
}

void registerDevices(CDataBaseHandler* storage)
{
    for (int d = 0; d < DEVICES; ++d) {
        DB::SDeviceRegMapDescription desc{
            deviceEui(d), QStringLiteral("APP"), QStringLiteral("dev%1").arg(d), d * REGISTERS, {}};
        for (int i = 0; i < REGISTERS; ++i)
            desc.registers << REGS::SRegisterInfo{
                QStringLiteral("r"), 1, i, 16, QStringLiteral("uinteger"), 0.0, 1.0, QString(), {}};
        storage->registerNewDevice(desc, PORT);
    }
}

void report(const char* what, double handler, double raw)
{
    std::printf("%-34s handler %10.0f/s   raw sqlite3 %10.0f/s   raw/handler %5.2f\n", what, handler, raw,
                raw / handler);
}

// The machine is shared: each side is measured ten times, alternately, and
// its best run counts.
void compare(const char* what, const std::function<void(int)>& handler, const std::function<void(int)>& raw)
{
    double bestHandler = 0;
    double bestRaw = 0;
    for (int round = 0; round < 10; ++round) {
        bestHandler = qMax(bestHandler, rate(handler));
        bestRaw = qMax(bestRaw, rate(raw));
    }
    report(what, bestHandler, bestRaw);
}
long rssKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    status.open(QIODevice::ReadOnly);
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return 0;
}

// Every 125-register block of the 16-bit range on each of `ports` ports: no
// read may leave memory behind.
void sweepPorts(CDataBaseHandler* storage, int ports)
{
    for (int p = 0; p < ports; ++p) {
        DB::SDeviceRegMapDescription desc{QStringLiteral("5EE9%1").arg(p, 12, 16, QLatin1Char('0')),
                                          QStringLiteral("APP"),
                                          QStringLiteral("sweep%1").arg(p),
                                          0,
                                          {}};
        for (int i = 0; i < REGISTERS; ++i)
            desc.registers << REGS::SRegisterInfo{
                QStringLiteral("r"), 1, i, 16, QStringLiteral("uinteger"), 0.0, 1.0, QString(), {}};
        storage->registerNewDevice(desc, static_cast<unsigned short>(SWEEP_PORT + p));
    }
    const long before = rssKiB();
    QVector<unsigned short> words;
    long reads = 0;
    for (int p = 0; p < ports; ++p) {
        for (int start = 0; start + 125 <= 0x10000; start += 125, ++reads)
            storage->readRegisterWords(SWEEP_PORT + p, start, 125, words);
    }
    words.clear();
    const long after = rssKiB();
    std::printf("RSS around a sweep of every 125-register block of %d ports (%ld reads): %.1f MiB before, "
                "%.1f MiB after, %+.1f MiB (target at most +64)\n",
                ports, reads, before / 1024.0, after / 1024.0, (after - before) / 1024.0);
}

// Devices whose registers all hold their last packet, read on another connection.
int devicesStoredWhole(sqlite3* db, const QVector<int>& lastPacket)
{
    sqlite3_stmt* stmt = nullptr;
    sqlite3_prepare_v2(db, "SELECT reg_addr, full_value FROM dev_data WHERE port = ? ORDER BY reg_addr;", -1,
                       &stmt, nullptr);
    sqlite3_bind_int(stmt, 1, PORT);
    QVector<int> wrong(DEVICES, 0);
    while (sqlite3_step(stmt) == SQLITE_ROW) {
        const int address = sqlite3_column_int(stmt, 0);
        const int device = address / REGISTERS;
        const QString stored = QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)));
        const DB::SDbDeviceRegDataSet expected = packet(lastPacket.at(device));
        wrong[device] += stored != expected.rewriteList.at(address % REGISTERS).fullValue;
    }
    sqlite3_finalize(stmt);
    return int(std::count(wrong.cbegin(), wrong.cend(), 0));
}

// Another connection holds the write lock while packets keep coming and
// Modbus reads are polled; then every device's last packet must land whole.
void lockedWrites(CDataBaseHandler* storage, int lockSeconds)
{
    QThread storageThread;
    storage->moveToThread(&storageThread);
    storageThread.start();
    sqlite3* holder = nullptr;
    sqlite3_open(DB::DB_FILENAME.toUtf8().constData(), &holder);
    sqlite3_exec(holder, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr);
    QVector<int> lastPacket(DEVICES); // every device gets packets while the lock is held
    QElapsedTimer clock;
    clock.start();
    QVector<unsigned short> words;
    qint64 slowest = 0;
    long reads = 0;
    int posted = 0;
    while (clock.elapsed() < lockSeconds * 1000) {
        if (qint64(posted) * POST_EVERY_MS < clock.elapsed()) {
            const int n = 2000 + posted++;
            lastPacket[n % DEVICES] = n;
            QMetaObject::invokeMethod(storage, "saveRegisterData", Qt::QueuedConnection,
                                      Q_ARG(DB::SDbDeviceRegDataSet, packet(n)));
        }
        QElapsedTimer read;
        read.start();
        storage->readRegisterWords(PORT, readStart(int(reads), 125), 125, words);
        slowest = qMax(slowest, read.nsecsElapsed());
        ++reads;
    }
    const int wholeUnderLock = devicesStoredWhole(holder, lastPacket);
    sqlite3_exec(holder, "ROLLBACK;", nullptr, nullptr, nullptr);
    QElapsedTimer drain;
    drain.start();
    int whole = 0;
    while ((whole = devicesStoredWhole(holder, lastPacket)) < DEVICES && drain.elapsed() < 30000)
        QThread::msleep(20);
    std::printf("write lock held %d s by another connection, %d packets posted meanwhile: %ld Modbus reads, "
                "slowest %.3f ms (target < 50); devices with their last packet stored whole: %d of %d "
                "(%d while locked), %.1f s after the lock was let go\n",
                lockSeconds, posted, reads, slowest / 1e6, whole, DEVICES, wholeUnderLock,
                drain.elapsed() / 1000.0);
    sqlite3_close(holder);
    QMetaObject::invokeMethod(storage, "shutdown", Qt::BlockingQueuedConnection);
    storageThread.quit();
    storageThread.wait();
}

int option(const QString& name, int fallback)
{
    const QStringList args = QCoreApplication::arguments();
    const int at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toInt() : fallback;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    if (!storage)
        return 1;
    registerDevices(storage);
    CRawStore raw("raw.db", "WAL", "NORMAL");
    raw.registerDevices();

    std::printf("%d devices of %d registers on port %d; WAL journal, synchronous NORMAL on both sides\n",
                DEVICES, REGISTERS, PORT);
    QVector<DB::SDbDeviceRegDataSet> packets;
    for (int n = 0; n < 1000; ++n)
        packets << packet(n);
    compare(
        "packets stored (10 registers)",
        [&](int n) { storage->saveRegisterData(packets.at(n % packets.size())); },
        [&](int n) { raw.save(packets.at(n % packets.size())); });
    // Reads are served from the port's image in memory; the same reads through
    // SQL show what the image saves.
    const QList<QPair<const char*, bool>> readModes = {{"Modbus reads of %1 registers", true},
                                                       {"Modbus reads of %1 registers, SQL", false}};
    for (const auto& mode : readModes) {
        storage->setRegisterImagesEnabled(mode.second);
        for (const int count : {10, 125}) {
            volatile int sink = 0;
            QVector<unsigned short> words;
            compare(
                QString::fromLatin1(mode.first).arg(count).toLatin1().constData(),
                [&](int n) {
                    storage->readRegisterWords(PORT, readStart(n, count), count, words);
                    sink = sink + words.size();
                },
                [&](int n) { sink = sink + raw.read(PORT, readStart(n, count), count).size(); });
        }
    }
    storage->setRegisterImagesEnabled(true);
    // The reads above repeat their blocks, as polling clients do; these hardly ever repeat.
    volatile int sink = 0;
    QVector<unsigned short> words;
    const auto blockCount = [](int n) { return 26 + (n * 7) % 100; };
    compare(
        "reads of 26-125, blocks all new",
        [&](int n) {
            storage->readRegisterWords(PORT, readStart(n, 125), blockCount(n), words);
            sink = sink + words.size();
        },
        [&](int n) { sink = sink + raw.read(PORT, readStart(n, 125), blockCount(n)).size(); });
    // Why the journal settings matter: the same raw packet work with the defaults.
    CRawStore safest("raw-full.db", "DELETE", "FULL");
    safest.registerDevices();
    const double savedFull = rate([&](int n) { safest.save(packets.at(n % packets.size())); });
    std::printf("%-34s raw sqlite3 %10.0f/s (rollback journal, synchronous FULL)\n",
                "packets stored, defaults", savedFull);
    sweepPorts(storage, option(QStringLiteral("--ports"), 100));
    lockedWrites(storage, option(QStringLiteral("--lock-seconds"), 10));
    QCoreApplication::processEvents();
    return 0;
}
