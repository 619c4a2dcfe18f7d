#include "widgets/CLeftPanel.h"

#include <QBoxLayout>
#include <QPainter>

#include "widgets/styledbackground.h"

CLeftPanel::CLeftPanel(QWidget* parent) : QWidget(parent), mainLayout(new QVBoxLayout(this))
{
    setObjectName(QStringLiteral("CLeftPanel"));
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->setSpacing(0);
}

void CLeftPanel::addWidget(QWidget* w, int stretch, Qt::Alignment align)
{
    if (w != nullptr)
        mainLayout->addWidget(w, stretch, align);
}

void CLeftPanel::addLayout(QBoxLayout* l, int stretch)
{
    if (l != nullptr)
        mainLayout->addLayout(l, stretch);
}

void CLeftPanel::addEndSequence()
{
    mainLayout->addStretch();
}

void CLeftPanel::expandWidget(QWidget* w)
{
    if (w == nullptr)
        w = qobject_cast<QWidget*>(sender());
    const int index = w != nullptr ? mainLayout->indexOf(w) : -1;
    if (index >= 0)
        mainLayout->setStretch(index, 50);
    update();
}

void CLeftPanel::unexpandAll()
{
    for (int i = 0; i < mainLayout->count(); ++i)
        mainLayout->setStretch(i, 0);
    update();
}

void CLeftPanel::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setFont(font());
    drawStyledBackground(this, painter);
}
