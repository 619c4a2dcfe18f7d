#pragma once

#include <QDeadlineTimer>
#include <QLabel>
#include <QTimer>

// What the status word leaves out: when the link tries again, counting down,
// and why it is down. Hidden while there is nothing to say.
class CLinkStateLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CLinkStateLabel(QWidget* parent = nullptr);

public slots:
    void retryScheduledSlot(int secondsUntilTry);
    void lastErrorChangedSlot(const QString& reason);

private:
    void updateText();

    QDeadlineTimer nextTry;
    QTimer tick;
    QString lastError;
};
