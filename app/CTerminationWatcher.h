#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a normal quit of the event loop, so the
// gateway closes its files and ports as when the window is closed.
class CTerminationWatcher : public QObject
{
    Q_OBJECT
public:
    explicit CTerminationWatcher(QObject* parent = nullptr);

private slots:
    void signalArrivedSlot();

private:
    static void handleSignal(int signal);

    QSocketNotifier* notifier = nullptr;
};
