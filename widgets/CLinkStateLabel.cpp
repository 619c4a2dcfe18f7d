#include "widgets/CLinkStateLabel.h"

namespace {
const QString NEXT_TRY = QStringLiteral("next try in %1 s");
const QString LAST_ERROR = QStringLiteral("last error: %1");
} // namespace

CLinkStateLabel::CLinkStateLabel(QWidget* parent) : QLabel(parent), nextTry(QDeadlineTimer::Forever)
{
    setObjectName(QStringLiteral("linkStateLab"));
    setWordWrap(true);
    hide();
    tick.setInterval(1000);
    connect(&tick, &QTimer::timeout, this, &CLinkStateLabel::updateText);
}

void CLinkStateLabel::retryScheduledSlot(int secondsUntilTry)
{
    nextTry = secondsUntilTry > 0 ? QDeadlineTimer(secondsUntilTry * 1000LL)
                                  : QDeadlineTimer(QDeadlineTimer::Forever);
    if (secondsUntilTry > 0)
        tick.start();
    else
        tick.stop();
    updateText();
}

void CLinkStateLabel::lastErrorChangedSlot(const QString& reason)
{
    lastError = reason;
    updateText();
}

void CLinkStateLabel::updateText()
{
    QStringList lines;
    if (!nextTry.isForever()) {
        const qint64 left = (nextTry.remainingTime() + 999) / 1000;
        if (left > 0)
            lines << NEXT_TRY.arg(left);
        else
            tick.stop();
    }
    if (!lastError.isEmpty())
        lines << LAST_ERROR.arg(lastError);
    setText(lines.join(QLatin1Char('\n')));
    setToolTip(text());
    setVisible(!lines.isEmpty());
}
