#include "widgets/color.h"

#include <algorithm>

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>

const QList<SPaletteEntry>& paletteEntries()
{
#define TW_PALETTE_ENTRY(name, value) SPaletteEntry{QStringLiteral(#name), name},
    static const QList<SPaletteEntry> entries = {TW_PALETTE(TW_PALETTE_ENTRY)};
#undef TW_PALETTE_ENTRY
    return entries;
}

namespace {
// Longest names first: a short name (QC_GLOB_WHITE1) must never eat the head
// of a longer one (QC_GLOB_WHITE1_D1).
QList<SPaletteEntry> replacementOrder()
{
    QList<SPaletteEntry> order = paletteEntries();
    std::stable_sort(order.begin(), order.end(), [](const SPaletteEntry& a, const SPaletteEntry& b) {
        return a.name.size() > b.name.size();
    });
    return order;
}

bool elidedFits(const QString& elided, const QString& line)
{
    return elided.size() == line.size() && (line.isEmpty() || elided.endsWith(line.back()));
}

// Cuts line i to the head that fits the width and moves the rest into the
// next line (or a new last line).
void wrapLine(QStringList& lines, int i, int width, int dotWidth, const QFontMetrics& fm)
{
    const QString line = lines.at(i);
    if (elidedFits(fm.elidedText(line, Qt::ElideRight, width), line))
        return;
    const QString wider = fm.elidedText(line, Qt::ElideRight, width + dotWidth);
    if (elidedFits(wider, line))
        return;
    // Take at least one character so that a very narrow box still progresses.
    const int headSize = std::max(1, int(wider.size()) - 1);
    const QString rest = line.mid(headSize);
    lines[i] = line.left(headSize);
    if (i + 1 == lines.size())
        lines.append(rest);
    else
        lines[i + 1] = rest + QLatin1Char(' ') + lines.at(i + 1);
}

QStringList finishAt(QStringList lines, int k, int width, const QFontMetrics& fm)
{
    QString last = fm.elidedText(lines.at(k), Qt::ElideRight, width);
    if (k + 1 < lines.size() && last.size() == lines.at(k).size())
        last += QStringLiteral("...");
    lines[k] = last;
    return lines.mid(0, k + 1);
}
} // namespace

QString replaceColor(QString text)
{
    static const QList<SPaletteEntry> order = replacementOrder();
    for (const SPaletteEntry& entry : order)
        text.replace(entry.name, entry.color.name());
    return text;
}

QLinearGradient qcGradient(double x1, double y1, double x2, double y2, QColor c0, QColor c1)
{
    QLinearGradient gradient(x1, y1, x2, y2);
    gradient.setColorAt(0.0, c0);
    gradient.setColorAt(0.5, c1);
    return gradient;
}

QLinearGradient qcGradientW(QWidget* w, QColor c0, QColor c1)
{
    const int right = w != nullptr ? w->width() - 1 : 0;
    return qcGradient(0, 0, right, 0, c0, c1);
}

QStringList prepareText(const QString& text, int width, int height, QPainter* painter)
{
    if (text.isEmpty() || painter == nullptr)
        return QStringList();
    const QFontMetrics fm = painter->fontMetrics();
    const int dotWidth = fm.boundingRect(QStringLiteral(".")).width();
    const int lineHeight = fm.boundingRect(text).height();
    QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        if ((i + 2) * lineHeight > height)
            return finishAt(lines, i, width, fm);
        wrapLine(lines, i, width, dotWidth, fm);
    }
    return lines;
}
