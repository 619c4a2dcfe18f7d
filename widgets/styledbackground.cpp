#include "widgets/styledbackground.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <QWidget>

void drawStyledBackground(QWidget* widget, QPainter& painter, QStyle::State extraState, bool flat)
{
    painter.setPen(Qt::NoPen);
    QStyleOptionButton option;
    option.initFrom(widget);
    if (flat)
        option.features |= QStyleOptionButton::Flat;
    option.state |= extraState;
    widget->style()->drawControl(QStyle::CE_PushButton, &option, &painter, widget);
}
