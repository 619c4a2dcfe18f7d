#include "widgets/CWinButton.h"

#include <algorithm>

#include <QDebug>
#include <QEvent>
#include <QPainter>

#include "widgets/color.h"
#include "widgets/styledbackground.h"

CWinButton::CWinButton(QWidget* parent) : QAbstractButton(parent)
{
    init();
}

CWinButton::CWinButton(QString name, QWidget* parent) : QAbstractButton(parent), sName(name)
{
    init();
}

CWinButton::CWinButton(QString name, QString value, QWidget* parent)
    : QAbstractButton(parent), sName(name), sValue(value)
{
    init();
}

CWinButton::CWinButton(QIcon icon, QString name, QString value, QWidget* parent)
    : QAbstractButton(parent), sName(name), sValue(value), sIcon(icon)
{
    init();
}

CWinButton::CWinButton(QIcon icon, QString name, QWidget* parent)
    : QAbstractButton(parent), sName(name), sIcon(icon)
{
    init();
}

void CWinButton::init()
{
    // Hover events reach the filter only with WA_Hover set.
    setAttribute(Qt::WA_Hover);
    installEventFilter(this);
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Minimum);
}

int CWinButton::getLayout() const
{
    if (!sIcon.isNull()) {
        if (sName.isNull())
            return LAYOUT_ICON;
        return sValue.isNull() ? LAYOUT_ICON_NAME : LAYOUT_ICON_NAME_VALUE;
    }
    return (!sName.isNull() && !sValue.isNull()) ? LAYOUT_NAME_VALUE : LAYOUT_TEXT;
}

QStringList CWinButton::prepareText(QString& text, int width, int height, QPainter* painter) const
{
    if (painter == nullptr)
        return QStringList();
    if (width == 0)
        width = this->width() - 2 * sValSpace;
    if (height == 0)
        height = this->height() - 2 * sValSpace;
    const int lineHeight = painter->fontMetrics().boundingRect(text).height();
    if (height > 2 * lineHeight)
        height -= lineHeight / 2;
    return ::prepareText(text, width, height, painter);
}

void CWinButton::setValueColor(QColor color)
{
    sValueColor = color;
    update();
}

void CWinButton::setValuePressColor(QColor color)
{
    sValuePressColor = color;
    update();
}

void CWinButton::setValSpace(int space)
{
    sValSpace = space;
    update();
}

void CWinButton::setTextBias(int bias)
{
    sTextBias = bias;
    update();
}

void CWinButton::setTextSpace(int space)
{
    sTextSpace = space;
    update();
}

void CWinButton::setFontValSize(int size)
{
    sFontValSize = size;
    update();
}

void CWinButton::setPicAlign(int align)
{
    sPicAlign = align;
    update();
}

void CWinButton::setName(QString name)
{
    sName = name;
    update();
}

void CWinButton::setValue(QString value)
{
    sValue = value;
    update();
}

void CWinButton::setIcon(QIcon icon)
{
    sIcon = icon;
    update();
}

bool CWinButton::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == this && (event->type() == QEvent::HoverEnter || event->type() == QEvent::HoverLeave)) {
        hovered = event->type() == QEvent::HoverEnter;
        update();
        return true;
    }
    return QAbstractButton::eventFilter(watched, event);
}

void CWinButton::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    if (sFontValSize == 0) {
        qDebug() << "warning fontValSize==0";
        sFontValSize = 12;
    }
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    painter.setFont(font());
    paintBackground(painter);
    painter.setPen(palette().color(QPalette::Text));
    switch (getLayout()) {
    case LAYOUT_TEXT:
        paintText(painter);
        break;
    case LAYOUT_NAME_VALUE:
        paintNameValue(painter, inner());
        break;
    case LAYOUT_ICON:
        paintIcon(painter);
        break;
    case LAYOUT_ICON_NAME:
        paintIconName(painter);
        break;
    case LAYOUT_ICON_NAME_VALUE:
        paintIconNameValue(painter);
        break;
    default:
        qDebug() << "Warning! CWinButton::paintEvent wrong button-type!";
        break;
    }
}

void CWinButton::paintBackground(QPainter& painter)
{
    QStyle::State state = (isChecked() || isDown()) ? QStyle::State_Sunken : QStyle::State_Raised;
    if (hovered)
        state |= QStyle::State_MouseOver;
    drawStyledBackground(this, painter, state, true);
}

QRect CWinButton::inner() const
{
    return rect().adjusted(sValSpace, sValSpace, -sValSpace, -sValSpace);
}

QFont CWinButton::valueFont() const
{
    QFont valFont = font();
    valFont.setPixelSize(sFontValSize);
    return valFont;
}

QPixmap CWinButton::fittedPixmap(int maxWidth, int maxHeight) const
{
    const QList<QSize> sizes = sIcon.availableSizes();
    const QPixmap source = sIcon.pixmap(sizes.isEmpty() ? QSize(64, 64) : sizes.first());
    if (source.isNull() || maxWidth <= 0 || maxHeight <= 0)
        return QPixmap();
    QPixmap scaled = source.scaledToHeight(maxHeight, Qt::SmoothTransformation);
    if (scaled.width() > maxWidth)
        scaled = source.scaledToWidth(maxWidth, Qt::SmoothTransformation);
    return scaled;
}

void CWinButton::paintText(QPainter& painter)
{
    const QStringList lines = prepareText(sName, 0, 0, &painter);
    if (lines.size() == 1) {
        painter.drawText(rect(), Qt::AlignCenter, lines.first());
        return;
    }
    const int lineHeight = painter.fontMetrics().height();
    const int left = sValSpace + sTextBias;
    int top = height() - sValSpace - lines.size() * lineHeight;
    for (const QString& line : lines) {
        painter.drawText(QRect(left, top, width() - left - sValSpace, lineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, line);
        top += lineHeight;
    }
}

void CWinButton::paintNameValue(QPainter& painter, const QRect& area)
{
    const int nameLineHeight = painter.fontMetrics().height();
    const int nameRoom = area.height() >= 2 * nameLineHeight ? area.height() / 2 : area.height();
    QString name = sName;
    const QStringList nameLines = ::prepareText(name, area.width() - sTextBias, nameRoom, &painter);
    int top = area.top();
    for (const QString& line : nameLines) {
        painter.drawText(QRect(area.left() + sTextBias, top, area.width() - sTextBias, nameLineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, line);
        top += nameLineHeight;
    }
    painter.setFont(valueFont());
    const QStringList valueLines =
        ::prepareText(sValue, area.width() - 2 * sTextSpace, area.bottom() + 1 - top, &painter);
    paintValueLines(painter, valueLines, area.right() + 1, area.bottom() + 1);
    painter.setFont(font());
}

// Draws value lines right-aligned over their coloured box whose bottom right
// corner is (right, bottom); returns the box's top.
int CWinButton::paintValueLines(QPainter& painter, const QStringList& lines, int right, int bottom)
{
    const QFontMetrics fm = painter.fontMetrics();
    int widest = 0;
    for (const QString& line : lines)
        widest = std::max(widest, fm.horizontalAdvance(line));
    const int boxWidth = widest + 2 * sTextSpace;
    const int top = bottom - lines.size() * fm.height();
    const QPen textPen = painter.pen();
    painter.setPen(Qt::NoPen);
    painter.setBrush(isDown() ? sValuePressColor : sValueColor);
    painter.drawRect(QRect(right - boxWidth, top, boxWidth, bottom - top));
    painter.setPen(textPen);
    int y = top;
    for (const QString& line : lines) {
        painter.drawText(QRect(right - boxWidth, y, boxWidth - sTextSpace, fm.height()),
                         Qt::AlignRight | Qt::AlignVCenter, line);
        y += fm.height();
    }
    return top;
}

void CWinButton::paintIcon(QPainter& painter)
{
    const QPixmap pixmap = fittedPixmap(width() - 9, height() - 9);
    painter.drawPixmap((width() - pixmap.width()) / 2, (height() - pixmap.height()) / 2, pixmap);
}

void CWinButton::paintIconName(QPainter& painter)
{
    const QPixmap pixmap = fittedPixmap(width() - sValSpace - 9, height() - sValSpace - 9);
    painter.drawPixmap(5, (height() - pixmap.height()) / 2, pixmap);
    const int left = 5 + pixmap.width() + sValSpace + sTextBias;
    const int room = width() - left - sValSpace;
    const QStringList lines = prepareText(sName, room, 0, &painter);
    const int lineHeight = painter.fontMetrics().height();
    int top = (height() - lines.size() * lineHeight) / 2;
    for (const QString& line : lines) {
        painter.drawText(QRect(left, top, room, lineHeight), Qt::AlignCenter, line);
        top += lineHeight;
    }
}

void CWinButton::paintIconNameValue(QPainter& painter)
{
    const QRect area = inner();
    if (width() >= 1.2 * height()) {
        QPixmap pixmap = fittedPixmap(width() / 2 - sValSpace, area.height());
        painter.drawPixmap(area.left(), area.top() + (area.height() - pixmap.height()) / 2, pixmap);
        const int left = area.left() + pixmap.width() + sTextBias;
        paintNameValue(painter, QRect(left, area.top(), area.right() + 1 - left, area.height()));
        return;
    }
    // Tall tile: text block at the bottom, the icon above it.
    const int nameLineHeight = painter.fontMetrics().height();
    const QStringList nameLines = ::prepareText(sName, area.width() - sTextBias, area.height() / 2, &painter);
    painter.setFont(valueFont());
    const QStringList valueLines =
        ::prepareText(sValue, area.width() - 2 * sTextSpace, area.height() / 2, &painter);
    const int valueTop = paintValueLines(painter, valueLines, area.right() + 1, area.bottom() + 1);
    painter.setFont(font());
    const int nameTop = valueTop - nameLines.size() * nameLineHeight;
    for (int i = 0; i < nameLines.size(); ++i)
        painter.drawText(QRect(area.left() + sTextBias, nameTop + i * nameLineHeight,
                               area.width() - sTextBias, nameLineHeight),
                         Qt::AlignLeft | Qt::AlignVCenter, nameLines.at(i));
    const QPixmap pixmap = fittedPixmap(area.width(), nameTop - area.top());
    painter.drawPixmap(area.left() + (area.width() - pixmap.width()) / 2, area.top(), pixmap);
}
