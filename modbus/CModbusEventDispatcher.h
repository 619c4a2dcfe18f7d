#pragma once

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QHash>
#include <QVector>

#include <atomic>

class QSocketNotifier;

// The event loop of the Modbus thread, waiting in epoll: a wake-up costs the
// same with five connections or five thousand, where a poll-based loop walks
// every connection's descriptor on every request. Posted events, timers and
// socket notifiers behave as in Qt's own dispatchers.
class CModbusEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit CModbusEventDispatcher(QObject* parent = nullptr);
    ~CModbusEventDispatcher() override;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;
    bool hasPendingEvents() override;

    void registerSocketNotifier(QSocketNotifier* notifier) override;
    void unregisterSocketNotifier(QSocketNotifier* notifier) override;

    void registerTimer(int timerId, int interval, Qt::TimerType timerType, QObject* object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject* object) override;
    QList<TimerInfo> registeredTimers(QObject* object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;
    void flush() override {}

private:
    struct SSocket
    {
        QSocketNotifier* notifiers[3] = {nullptr, nullptr, nullptr}; // by QSocketNotifier::Type
    };
    struct STimer
    {
        int interval = 0;
        Qt::TimerType type = Qt::CoarseTimer;
        QObject* object = nullptr;
        qint64 dueMs = 0;
        bool firing = false; // not fired again from a nested loop of its own handler
    };

    int waitMs(bool mayWait) const;
    void markReady(int fd, quint32 events);
    int activateSocketNotifiers();
    int activateTimers();

    int epollFd = -1;
    int wakeFd = -1;
    std::atomic<bool> wakePending{false};
    std::atomic<bool> interrupted{false};
    QHash<int, SSocket> sockets;
    QVector<QSocketNotifier*> readyNotifiers;
    QHash<int, STimer> timers;
    QElapsedTimer clock;
};
