#include "modbus/CModbusEventDispatcher.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimerEvent>

namespace {
constexpr int MAX_EVENTS = 256; // per wait; the rest are taken by the next one

quint32 wantedEvents(QSocketNotifier* const (&notifiers)[3])
{
    return (notifiers[QSocketNotifier::Read] ? quint32(EPOLLIN) : 0u) |
           (notifiers[QSocketNotifier::Write] ? quint32(EPOLLOUT) : 0u) |
           (notifiers[QSocketNotifier::Exception] ? quint32(EPOLLPRI) : 0u);
}
} // namespace

CModbusEventDispatcher::CModbusEventDispatcher(QObject* parent)
    : QAbstractEventDispatcher(parent), epollFd(::epoll_create1(EPOLL_CLOEXEC)),
      wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = wakeFd;
    if (epollFd < 0 || wakeFd < 0 || ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0)
        qFatal("CModbusEventDispatcher: no epoll or eventfd (errno %d)", errno);
    clock.start();
}

CModbusEventDispatcher::~CModbusEventDispatcher()
{
    ::close(wakeFd);
    ::close(epollFd);
}

bool CModbusEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    interrupted = false;
    emit awake();
    QCoreApplication::sendPostedEvents();
    const bool mayWait = (flags & QEventLoop::WaitForMoreEvents) && !interrupted;
    if (mayWait)
        emit aboutToBlock();
    if (interrupted)
        return false;
    epoll_event events[MAX_EVENTS];
    const int count = ::epoll_wait(epollFd, events, MAX_EVENTS, waitMs(mayWait));
    emit awake();
    int handled = 0;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == wakeFd) {
            // Cleared after the read: a post in between finds the flag set and
            // does not write, and the next call sends it before it waits.
            // Cleared before, the read could swallow a write and leave the
            // flag set for good, and no post would wake the loop again.
            eventfd_t value = 0;
            ::eventfd_read(wakeFd, &value);
            wakePending = false;
            ++handled;
        } else if (!(flags & QEventLoop::ExcludeSocketNotifiers)) {
            markReady(events[i].data.fd, events[i].events);
        }
    }
    handled += activateSocketNotifiers();
    if (!(flags & QEventLoop::X11ExcludeTimers))
        handled += activateTimers();
    return handled > 0;
}

bool CModbusEventDispatcher::hasPendingEvents()
{
    return wakePending;
}

void CModbusEventDispatcher::registerSocketNotifier(QSocketNotifier* notifier)
{
    const int fd = int(notifier->socket());
    const auto found = sockets.find(fd);
    const bool known = found != sockets.end();
    SSocket& socket = known ? *found : sockets[fd];
    socket.notifiers[notifier->type()] = notifier;
    epoll_event event = {};
    event.events = wantedEvents(socket.notifiers);
    event.data.fd = fd;
    const int op = known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (::epoll_ctl(epollFd, op, fd, &event) != 0 && (errno == ENOENT || errno == EEXIST))
        ::epoll_ctl(epollFd, op == EPOLL_CTL_MOD ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &event);
}

void CModbusEventDispatcher::unregisterSocketNotifier(QSocketNotifier* notifier)
{
    readyNotifiers.removeAll(notifier);
    const int fd = int(notifier->socket());
    const auto found = sockets.find(fd);
    if (found == sockets.end() || found->notifiers[notifier->type()] != notifier)
        return;
    found->notifiers[notifier->type()] = nullptr;
    epoll_event event = {};
    event.events = wantedEvents(found->notifiers);
    event.data.fd = fd;
    // Qt lets go of a descriptor's notifiers before it closes it: removed
    // now, the number is free for the next socket that gets it.
    if (!event.events) {
        ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, &event);
        sockets.erase(found);
    } else {
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event);
    }
}

void CModbusEventDispatcher::markReady(int fd, quint32 events)
{
    const auto found = sockets.constFind(fd);
    if (found == sockets.constEnd())
        return;
    // As poll-based loops do: an error or hang-up wakes every kind of notifier.
    const quint32 failed = EPOLLERR | EPOLLHUP;
    const quint32 wakes[3] = {EPOLLIN | failed, EPOLLOUT | failed, EPOLLPRI | failed};
    for (int type = QSocketNotifier::Read; type <= QSocketNotifier::Exception; ++type)
        if (found->notifiers[type] && (events & wakes[type]))
            readyNotifiers.append(found->notifiers[type]);
}

// One at a time: a notifier's handler may delete or disable the others.
int CModbusEventDispatcher::activateSocketNotifiers()
{
    int activated = 0;
    while (!readyNotifiers.isEmpty()) {
        QSocketNotifier* notifier = readyNotifiers.takeFirst();
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(notifier, &event);
        ++activated;
    }
    return activated;
}

void CModbusEventDispatcher::registerTimer(int timerId, int interval, Qt::TimerType timerType,
                                           QObject* object)
{
    timers.insert(timerId, STimer{interval, timerType, object, clock.elapsed() + interval, false});
}

bool CModbusEventDispatcher::unregisterTimer(int timerId)
{
    return timers.remove(timerId) > 0;
}

bool CModbusEventDispatcher::unregisterTimers(QObject* object)
{
    bool any = false;
    for (auto it = timers.begin(); it != timers.end();) {
        if (it->object == object) {
            it = timers.erase(it);
            any = true;
        } else {
            ++it;
        }
    }
    return any;
}

QList<QAbstractEventDispatcher::TimerInfo> CModbusEventDispatcher::registeredTimers(QObject* object) const
{
    QList<TimerInfo> list;
    for (auto it = timers.constBegin(); it != timers.constEnd(); ++it)
        if (it->object == object)
            list.append(TimerInfo(it.key(), it->interval, it->type));
    return list;
}

int CModbusEventDispatcher::remainingTime(int timerId)
{
    const auto found = timers.constFind(timerId);
    return found == timers.constEnd() ? -1 : int(qMax<qint64>(0, found->dueMs - clock.elapsed()));
}

int CModbusEventDispatcher::waitMs(bool mayWait) const
{
    if (!mayWait)
        return 0;
    qint64 wait = INT_MAX;
    bool any = false;
    const qint64 now = clock.elapsed();
    for (const STimer& timer : timers) {
        if (!timer.firing) {
            wait = qMin(wait, qMax<qint64>(0, timer.dueMs - now));
            any = true;
        }
    }
    return any ? int(wait) : -1;
}

// Each due timer fires once per call; a timer that fell behind skips what it
// missed instead of firing in a burst.
int CModbusEventDispatcher::activateTimers()
{
    const qint64 now = clock.elapsed();
    QVector<int> due;
    for (auto it = timers.constBegin(); it != timers.constEnd(); ++it)
        if (!it->firing && it->dueMs <= now)
            due.append(it.key());
    int fired = 0;
    for (const int id : qAsConst(due)) {
        // A handler before it may have stopped this timer and started another
        // under the same id, or fired it from a nested loop.
        auto found = timers.find(id);
        if (found == timers.end() || found->firing || found->dueMs > now)
            continue;
        ++fired;
        found->dueMs =
            found->dueMs + found->interval > now ? found->dueMs + found->interval : now + found->interval;
        found->firing = true;
        QObject* object = found->object;
        QTimerEvent event(id);
        QCoreApplication::sendEvent(object, &event);
        found = timers.find(id); // the handler may have stopped or restarted it
        if (found != timers.end())
            found->firing = false;
    }
    return fired;
}

void CModbusEventDispatcher::wakeUp()
{
    if (!wakePending.exchange(true))
        ::eventfd_write(wakeFd, 1);
}

void CModbusEventDispatcher::interrupt()
{
    interrupted = true;
    wakeUp();
}
