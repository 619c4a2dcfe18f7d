#include "loadtest/CModbusPoller.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <modbus.h>

namespace {
const int MAX_FAULTS = 10;
// Long enough that only a stuck gateway runs into it under full load.
const uint32_t RESPONSE_TIMEOUT_S = 5;
} // namespace

CModbusPoller::CModbusPoller(int _id, const QList<SLoadDevice>& _devices, const QList<quint16>& _ports,
                             const SLoadShared& _shared)
    : id(_id), devices(_devices), ports(_ports), shared(_shared), contexts(size_t(_ports.size()), nullptr),
      lastSeen(size_t(_devices.size()), -1)
{
    // About 1.5 kHz per client for a minute, reserved up front so the
    // measuring does not reallocate while it measures.
    result.latencyUs.reserve(100000);
}

CModbusPoller::~CModbusPoller()
{
    for (modbus_t* ctx : contexts) {
        if (!ctx)
            continue;
        modbus_close(ctx);
        modbus_free(ctx);
    }
}

bool CModbusPoller::connectAll()
{
    for (int i = 0; i < ports.size(); ++i) {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", ports.at(i));
        if (!ctx) {
            fault(QStringLiteral("no libmodbus context for port %1").arg(ports.at(i)));
            return false;
        }
        contexts[size_t(i)] = ctx;
        modbus_set_response_timeout(ctx, RESPONSE_TIMEOUT_S, 0);
        if (modbus_connect(ctx) != 0) {
            fault(QStringLiteral("port %1 refused: %2").arg(ports.at(i)).arg(modbus_strerror(errno)));
            return false;
        }
    }
    return true;
}

void CModbusPoller::run()
{
    // Clients start at different devices so that they do not move in lockstep.
    int next = (id * 7) % devices.size();
    bool inputRegisters = id % 2 == 1;
    while (!shared.stop.load(std::memory_order_relaxed)) {
        pollOnce(devices.at(next), inputRegisters);
        next = (next + 1) % devices.size();
        // Alternate per full round too, so each device is read both ways.
        if (next == 0 && devices.size() % 2 == 0)
            inputRegisters = !inputRegisters;
        inputRegisters = !inputRegisters;
    }
}

void CModbusPoller::pollOnce(const SLoadDevice& device, bool inputRegisters)
{
    modbus_t* ctx = contexts[size_t(device.portIndex)];
    uint16_t words[LOAD::LOAD_REG_COUNT] = {};
    const auto start = std::chrono::steady_clock::now();
    const int got = inputRegisters
                        ? modbus_read_input_registers(ctx, device.startAddr, LOAD::LOAD_REG_COUNT, words)
                        : modbus_read_registers(ctx, device.startAddr, LOAD::LOAD_REG_COUNT, words);
    const auto took = std::chrono::steady_clock::now() - start;
    if (got != LOAD::LOAD_REG_COUNT) {
        ++result.errors;
        fault(QStringLiteral("client %1, device %2, function %3: %4")
                  .arg(id)
                  .arg(device.index)
                  .arg(inputRegisters ? 4 : 3)
                  .arg(got < 0 ? QString::fromLatin1(modbus_strerror(errno))
                               : QStringLiteral("%1 registers").arg(got)));
        reconnect(device.portIndex);
        return;
    }
    ++result.answered;
    ++(inputRegisters ? result.function4 : result.function3);
    result.latencyUs.push_back(uint32_t(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));

    // Read after the answer: what was sent by now bounds what may be stored.
    const int64_t sentUpTo = shared.sentUpTo[device.index].load();
    int64_t& seen = lastSeen[size_t(device.index)];
    const int64_t seenBefore = seen;
    const EAnswerVerdict verdict = judgeAnswer(device, words, sentUpTo, seen);
    if (verdict == ANSWER_OK)
        return;
    if (verdict == ANSWER_NOT_STORED_YET) {
        ++result.notStoredYet;
        return;
    }
    ++result.wrong;
    const SDecodedAnswer answer = decodeAnswer(words);
    fault(QStringLiteral("client %1, device %2, function %3: %4 (counter %5, number %6, signature %7, "
                         "fcnt %8; last seen %9, sent up to %10)")
              .arg(id)
              .arg(device.index)
              .arg(inputRegisters ? 4 : 3)
              .arg(QString::fromLatin1(verdictText(verdict)))
              .arg(answer.counter)
              .arg(answer.index)
              .arg(answer.signature, 8, 16, QLatin1Char('0'))
              .arg(answer.fcnt)
              .arg(seenBefore)
              .arg(sentUpTo));
}

bool CModbusPoller::reconnect(int portIndex)
{
    modbus_t* ctx = contexts[size_t(portIndex)];
    modbus_close(ctx);
    ++result.reconnects;
    if (modbus_connect(ctx) == 0)
        return true;
    fault(QStringLiteral("client %1: port %2 refused a new connection: %3")
              .arg(id)
              .arg(ports.at(portIndex))
              .arg(modbus_strerror(errno)));
    // Do not spin against a port that is gone.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return false;
}

void CModbusPoller::fault(const QString& text)
{
    if (result.faults.size() < MAX_FAULTS)
        result.faults.append(text);
}
