#include "widgets/CAbstractPanelButton.h"

#include <QDebug>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPropertyAnimation>
#include <QVBoxLayout>

#include "widgets/color.h"
#include "widgets/styledbackground.h"

namespace {
const QString MarkerActive = QStringLiteral("QWidget{background-color: #f5494d;}");
const QString MarkerInactive = QStringLiteral("QWidget{background-color: rgba(0, 0, 0, 0%);}");
const QColor FlashNormal = QC_GLOB_WHITE1_L1;
const QColor FlashValid = QC_GLOB_GREEN2_L2;
const QColor FlashInvalid = QC_GLOB_RED1_L2;
} // namespace

CAbstractPanelButton::CAbstractPanelButton(QString title, QIcon icon, QWidget* parent)
    : QAbstractButton(parent), animation(new QPropertyAnimation(this, "backColor", this)),
      mainLayout(new QVBoxLayout(this)), topLayout(new QHBoxLayout()), marker(new QWidget(this)),
      icoLab(new QLabel(this)), titleLab(new QLabel(title, this)), mainBox(new QGroupBox(this)),
      boxLayout(new QVBoxLayout(mainBox))
{
    setCheckable(true);
    mainLayout->setContentsMargins(0, 0, 0, 0);
    mainLayout->setSpacing(0);
    topLayout->setContentsMargins(0, 0, 0, 0);
    topLayout->setSpacing(0);
    mainLayout->addLayout(topLayout);
    mainLayout->addWidget(mainBox);

    marker->setFixedWidth(6);
    marker->setStyleSheet(MarkerInactive);
    icoLab->setObjectName(QStringLiteral("icoLab"));
    icoLab->setAlignment(Qt::AlignCenter);
    titleLab->setObjectName(QStringLiteral("titleLable"));
    titleLab->setAlignment(Qt::AlignCenter);
    titleLab->setVisible(false);
    if (!icon.isNull()) {
        icoLab->setPixmap(icon.pixmap(40, 40));
        icoStretch = 1;
    }
    topLayout->addWidget(marker);
    topLayout->addWidget(icoLab, icoStretch, Qt::AlignCenter);
    topLayout->addWidget(titleLab, 3);

    mainBox->setObjectName(QStringLiteral("mainBox"));
    mainBox->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    boxLayout->setContentsMargins(3, 3, 3, 3);
    boxLayout->setSpacing(3);
    mainBox->setVisible(false);

    // The animation leaves its last colour in the button's own sheet, which
    // would mask the hover and checked looks of the application sheet.
    connect(animation, &QPropertyAnimation::finished, this, [this]() { setStyleSheet(QString()); });
    connect(this, &QAbstractButton::toggled, this, &CAbstractPanelButton::clickSlot);
}

void CAbstractPanelButton::setBackColor(QColor color)
{
    backColor = color;
    setStyleSheet(QStringLiteral("CAbstractPanelButton { background-color: rgba(%1, %2, %3, %4);}")
                      .arg(color.red())
                      .arg(color.green())
                      .arg(color.blue())
                      .arg(color.alpha()));
}

void CAbstractPanelButton::setPicAlign(int align)
{
    if (align == sPicAlign)
        return;
    if (align != Qt::AlignLeft && align != Qt::AlignRight) {
        qDebug() << "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not supported. Auto-apply "
                    "with Qt::AlignLeft";
        align = Qt::AlignLeft;
    }
    sPicAlign = align;
    placeIcon(align);
}

void CAbstractPanelButton::placeIcon(int align)
{
    topLayout->removeWidget(icoLab);
    if (align == Qt::AlignRight)
        topLayout->addWidget(icoLab, icoStretch, Qt::AlignCenter);
    else
        topLayout->insertWidget(1, icoLab, icoStretch, Qt::AlignCenter);
}

void CAbstractPanelButton::clickSlot(bool isChecked)
{
    checkedFlag = isChecked;
    if (checkedFlag) {
        marker->setStyleSheet(MarkerActive);
        mainBox->setVisible(fullView && boxHasItems());
    } else {
        mainBox->setVisible(false);
        marker->setStyleSheet(MarkerInactive);
    }
}

void CAbstractPanelButton::setIcon(QIcon icon)
{
    icoLab->setPixmap(icon.pixmap(45, 45));
}

void CAbstractPanelButton::addWidget(QWidget* w)
{
    if (w != nullptr)
        boxLayout->addWidget(w);
}

void CAbstractPanelButton::addLayout(QLayout* l)
{
    if (l != nullptr)
        boxLayout->addLayout(l);
}

void CAbstractPanelButton::animationEvent(bool success)
{
    animation->stop();
    animation->setDuration(1000);
    animation->setStartValue(success ? FlashValid : FlashInvalid);
    animation->setEndValue(FlashNormal);
    animation->start();
}

void CAbstractPanelButton::setFullView(bool full)
{
    fullView = full;
    mainBox->setVisible(checkedFlag && boxHasItems() && extraGroupVisible && fullView);
    titleLab->setVisible(fullView);
}

void CAbstractPanelButton::setExtraGroupVisible(bool visible)
{
    extraGroupVisible = visible;
    if (fullView && checkedFlag)
        mainBox->setVisible(extraGroupVisible && boxHasItems());
}

bool CAbstractPanelButton::boxHasItems() const
{
    return boxLayout->count() > 0;
}

bool CAbstractPanelButton::hitButton(const QPoint& pos) const
{
    if (!rect().contains(pos))
        return false;
    return mainBox->isHidden() || pos.y() < mainBox->geometry().top();
}

void CAbstractPanelButton::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setFont(font());
    drawStyledBackground(this, painter, (isChecked() || isDown()) ? QStyle::State_Sunken : QStyle::State_None,
                         true);
}
