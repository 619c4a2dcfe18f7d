#include "freshness/CDeviceFreshness.h"

#include <QDateTime>
#include <QMutexLocker>

#include "app/CLogFile.h"
#include "storage/CRegisterImage.h"

namespace {
const QString LOG_LOAD_FAILED =
    QStringLiteral("ERROR: [CDeviceFreshness::loadStored] Device options and uplink times of [%1] cannot be "
                   "read: %2. Status blocks start empty and no device answers exception 0x0B");

CDeviceFreshness* instance = nullptr;

constexpr qint64 ADDRESS_SPACE = 0x10000;

// The addresses of a read as at most two intervals [first, end): a read past
// 0xFFFF goes on at 0, as the framer answers it.
int readIntervals(int start, int count, qint64 (&intervals)[2][2])
{
    const qint64 end = qint64(start) + count;
    intervals[0][0] = start;
    intervals[0][1] = qMin(end, ADDRESS_SPACE);
    if (end <= ADDRESS_SPACE)
        return 1;
    intervals[1][0] = 0;
    intervals[1][1] = end - ADDRESS_SPACE;
    return 2;
}

bool touches(int start, int count, qint64 first, qint64 end)
{
    qint64 intervals[2][2];
    const int n = readIntervals(start, count, intervals);
    for (int i = 0; i < n; ++i)
        if (first < intervals[i][1] && intervals[i][0] < end)
            return true;
    return false;
}
} // namespace

CDeviceFreshness* CDeviceFreshness::getInstance()
{
    if (!instance)
        instance = new CDeviceFreshness();
    return instance;
}

void CDeviceFreshness::resetInstance()
{
    delete instance;
    instance = nullptr;
}

CDeviceFreshness::CDeviceFreshness(QObject* parent) : QObject(parent) {}

void CDeviceFreshness::setClock(const Clock& _clock)
{
    clock = _clock;
}

qint64 CDeviceFreshness::now() const
{
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

void CDeviceFreshness::setDevice(const QString& devEui, int port, qint64 first, qint64 end)
{
    SDevice& device = devices[COMM::euiKey(devEui)];
    device.devEui = devEui;
    device.port = port;
    device.first = first;
    device.end = end;
    publish();
}

void CDeviceFreshness::removeDevice(const QString& devEui)
{
    const auto found = devices.find(COMM::euiKey(devEui));
    if (found == devices.end())
        return;
    // The options stay: they are stored and come back with the device.
    found->port = 0;
    publish();
}

void CDeviceFreshness::setOptions(const QString& devEui, const SDeviceOptions& options)
{
    SDevice& device = devices[COMM::euiKey(devEui)];
    device.options = options;
    device.state.staleMinutes = options.staleMinutes;
    publish();
}

SDeviceOptions CDeviceFreshness::options(const QString& devEui) const
{
    return devices.value(COMM::euiKey(devEui)).options;
}

void CDeviceFreshness::seedStored(const QString& devEui, qint64 storedMs)
{
    CStatusBlock::SState& state = devices[COMM::euiKey(devEui)].state;
    if (state.sinceStart)
        return;
    state.stored = true;
    state.lastStoredMs = storedMs;
    publish();
}

bool CDeviceFreshness::loadStored()
{
    QHash<QString, SDeviceOptions> options;
    QHash<QString, qint64> stored;
    QString error;
    if (!CDeviceOptionsStore::load(options, stored, error)) {
        addLog(LOG_LOAD_FAILED.arg(DB::DB_FILENAME, error));
        return false;
    }
    for (auto it = options.constBegin(); it != options.constEnd(); ++it)
        setOptions(it.key(), it.value());
    for (auto it = stored.constBegin(); it != stored.constEnd(); ++it)
        seedStored(it.key(), it.value());
    return true;
}

void CDeviceFreshness::noteUplink(const API::SApiDeviceData& data)
{
    const QString key = COMM::euiKey(data.devEui);
    const auto found = pending.constFind(key);
    if (found == pending.constEnd() || found->ts <= data.ts)
        pending.insert(key, data);
}

void CDeviceFreshness::committedSlot(const QString& devEui)
{
    // A registration commits too; only a noted uplink counts.
    const QString key = COMM::euiKey(devEui);
    const auto found = pending.constFind(key);
    if (found == pending.constEnd())
        return;
    CStatusBlock::SState& state = devices[key].state;
    const qint64 at = now();
    // The network's time stamp tells the age of a packet fetched late; one
    // from a clock ahead of ours counts as just now.
    const qint64 stamped = found->ts > 0 ? qMin<qint64>(qint64(found->ts), at) : at;
    state.lastStoredMs = state.stored ? qMax(state.lastStoredMs, stamped) : stamped;
    state.stored = true;
    state.sinceStart = true;
    state.fcnt = found->fcnt;
    state.rssi = found->rssi;
    state.snrTenths = CStatusBlock::snrTenths(found->snr);
    pending.erase(found);
    publish();
}

void CDeviceFreshness::linkStatusSlot(COMM::EServerStatus status)
{
    const bool loggedIn = status == COMM::SUCCESS;
    if (loggedIn == linkLoggedIn)
        return;
    linkLoggedIn = loggedIn;
    publish();
}

void CDeviceFreshness::publish()
{
    auto next = std::make_shared<Snapshot>();
    for (SDevice device : qAsConst(devices)) {
        // Every Modbus read walks its port's list: only devices that change an answer are in it.
        if (device.port <= 0 || (device.options.statusAddress < 0 && !device.options.staleException))
            continue;
        device.state.linkLoggedIn = linkLoggedIn;
        (*next)[device.port].append(device);
    }
    QMutexLocker locker(&snapshotMutex);
    published = std::move(next);
}

std::shared_ptr<const CDeviceFreshness::Snapshot> CDeviceFreshness::snapshot() const
{
    QMutexLocker locker(&snapshotMutex);
    return published;
}

QString CDeviceFreshness::occupant(int port, qint64 first, qint64 end, const QString& exceptEui) const
{
    const QString except = COMM::euiKey(exceptEui);
    for (auto it = devices.constBegin(); it != devices.constEnd(); ++it) {
        const SDevice& device = it.value();
        if (device.port != port || it.key() == except)
            continue;
        const qint64 status = device.options.statusAddress;
        if ((first < device.end && device.first < end) ||
            (status >= 0 && first < status + CStatusBlock::WORDS && status < end))
            return device.devEui;
    }
    return QString();
}

uint8_t CDeviceFreshness::refusal(int port, int start, int count) const
{
    const std::shared_ptr<const Snapshot> current = snapshot();
    const auto found = current->constFind(port);
    if (found == current->constEnd())
        return 0;
    const qint64 at = now();
    for (const SDevice& device : *found)
        if (device.options.staleException && touches(start, count, device.first, device.end) &&
            CStatusBlock::isStale(device.state, at))
            return EXCEPTION_TARGET_FAILED;
    return 0;
}

void CDeviceFreshness::overlay(int port, int start, int count, QVector<uint16_t>& words) const
{
    const std::shared_ptr<const Snapshot> current = snapshot();
    const auto found = current->constFind(port);
    if (found == current->constEnd())
        return;
    const qint64 at = now();
    words.resize(qMax(words.size(), count)); // a reader may leave out words that read 0
    for (const SDevice& device : *found) {
        const qint64 status = device.options.statusAddress;
        if (status < 0 || !touches(start, count, status, status + CStatusBlock::WORDS))
            continue;
        const std::array<quint16, CStatusBlock::WORDS> block = CStatusBlock::words(device.state, at);
        for (int i = 0; i < CStatusBlock::WORDS; ++i) {
            // Counted the way addresses wrap past 0xffff.
            const int index = uint16_t(status + i - start);
            if (status + i < ADDRESS_SPACE && index < count)
                words[index] = block[size_t(i)];
        }
    }
}

void CDeviceFreshness::templateSpan(const REGS::SDeviceRegisterInfo& info, qint64& first, qint64& end)
{
    first = end = 0;
    bool any = false;
    for (const REGS::SRegisterInfo& reg : info.registers) {
        const qint64 words = CRegisterImage::span(reg.regBitSize);
        first = any ? qMin<qint64>(first, reg.regMapBias) : reg.regMapBias;
        end = any ? qMax<qint64>(end, reg.regMapBias + words) : reg.regMapBias + words;
        any = true;
    }
}
