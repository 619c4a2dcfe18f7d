#pragma once

// The theme: named palette colours, the gradients and the text wrapper that
// painted widgets share.

#include <QColor>
#include <QLinearGradient>
#include <QString>
#include <QStringList>

class QPainter;
class QWidget;

// Every palette colour once: name and value. Feeds both the constants below
// and replaceColor, so the two can never disagree.
#define TW_PALETTE(X)                                                                                        \
    X(QC_GLOB_BLACK6C_80, "#414951")                                                                         \
    X(QC_GLOB_BLACK6C_65, "#656B72")                                                                         \
    X(QC_GLOB_BLACK6C_45, "#94999D")                                                                         \
    X(QC_GLOB_BLACK6C_28, "#bdbfc2")                                                                         \
    X(QC_GLOB_BLACK6C_25, "#c4c6c9")                                                                         \
    X(QC_GLOB_BLACK6C_13, "#e0e1e3")                                                                         \
    X(QC_GLOB_BLACK6C_10, "#e7e8ea")                                                                         \
    X(QC_GLOB_WHITE1_D2, "#4c7a9d")                                                                          \
    X(QC_GLOB_WHITE1_D1, "#b2b4b5")                                                                          \
    X(QC_GLOB_WHITE1, "#EBEFF2")                                                                             \
    X(QC_GLOB_WHITE1_L1, "#f3f6f9")                                                                          \
    X(QC_GLOB_WHITE1_L2, "#f5f7f9")                                                                          \
    X(QC_GLOB_BLACK1_D2, "#071114")                                                                          \
    X(QC_GLOB_BLACK1_D1, "#131617")                                                                          \
    X(QC_GLOB_BLACK1, "#171d1f")                                                                             \
    X(QC_GLOB_BLACK1_L0, "#263034")                                                                          \
    X(QC_GLOB_BLACK1_L1, "#73888f")                                                                          \
    X(QC_GLOB_BLACK1_L2, "#7b8a8f")                                                                          \
    X(QC_GLOB_BLACK1_E1B, "#1a1b22")                                                                         \
    X(QC_GLOB_BLACK1_E2G, "#1b241e")                                                                         \
    X(QC_GLOB_RED1_D2, "#9f181b")                                                                            \
    X(QC_GLOB_RED1_D1, "#b85759")                                                                            \
    X(QC_GLOB_RED1, "#f5494d")                                                                               \
    X(QC_GLOB_RED1_L1, "#fa767a")                                                                            \
    X(QC_GLOB_RED1_L2, "#fa999c")                                                                            \
    X(QC_GLOB_GREEN1_D2, "#137854")                                                                          \
    X(QC_GLOB_GREEN1_D1, "#438a71")                                                                          \
    X(QC_GLOB_GREEN1, "#39b88c")                                                                             \
    X(QC_GLOB_GREEN1_L1, "#6adcb3")                                                                          \
    X(QC_GLOB_GREEN1_L2, "#88dcbe")                                                                          \
    X(QC_GLOB_GREEN1_L3, "#92fdd8")                                                                          \
    X(QC_GLOB_GREEN1_L4, "#b3ffe4")                                                                          \
    X(QC_GLOB_GREEN2_D2, "#408a6a")                                                                          \
    X(QC_GLOB_GREEN2_D1, "#035b2c")                                                                          \
    X(QC_GLOB_GREEN2, "#0a8c46")                                                                             \
    X(QC_GLOB_GREEN2_L1, "#3cc67c")                                                                          \
    X(QC_GLOB_GREEN2_L2, "#61c68f")                                                                          \
    X(QC_GLOB_GREEN2_L3, "#8ce3b4")                                                                          \
    X(QC_GLOB_BLUE1_D2, "#154675")                                                                           \
    X(QC_GLOB_BLUE1_D1, "#466787")                                                                           \
    X(QC_GLOB_BLUE1, "#417bb3")                                                                              \
    X(QC_GLOB_BLUE1_L1, "#71a6d9")                                                                           \
    X(QC_GLOB_BLUE1_L2, "#8db4d9")                                                                           \
    X(QC_GLOB_BLUE1_L3, "#aeceec")                                                                           \
    X(QC_GLOB_BLUE1_L4, "#C5DEF6")                                                                           \
    X(QC_GLOB_BLUE1_L5, "#D2E4F6")                                                                           \
    X(QC_GLOB_ORANGE1_D2, "#a15004")                                                                         \
    X(QC_GLOB_ORANGE1_D1, "#b97635")                                                                         \
    X(QC_GLOB_ORANGE1, "#f77f0c")                                                                            \
    X(QC_GLOB_ORANGE1_L1, "#fb9f48")                                                                         \
    X(QC_GLOB_ORANGE1_L2, "#fbb878")                                                                         \
    X(QC_GLOB_ORANGE1_L3, "#fdca9a")                                                                         \
    X(QC_GLOB_ORANGE1_L4, "#FED8B3")                                                                         \
    X(QC_GLOB_ORANGE1_L5, "#FEE2C7")                                                                         \
    X(QC_GLOB_PINK1_D2, "#a61d1a")                                                                           \
    X(QC_GLOB_PINK1_D1, "#bf5f5c")                                                                           \
    X(QC_GLOB_PINK1, "#ff534f")                                                                              \
    X(QC_GLOB_PINK1_L1, "#ff7e7b")                                                                           \
    X(QC_GLOB_PINK1_L2, "#ffa19e")                                                                           \
    X(QC_GLOB_LILAC1_D2, "#501370")                                                                          \
    X(QC_GLOB_LILAC1_D1, "#6c4181")                                                                          \
    X(QC_GLOB_LILAC1, "#863bac")                                                                             \
    X(QC_GLOB_LILAC1_L1, "#b26cd6")                                                                          \
    X(QC_GLOB_LILAC1_L2, "#bb88d6")                                                                          \
    X(QC_GLOB_LILAC1_L3, "#db95ff")                                                                          \
    X(QC_GLOB_LILAC1_L4, "#e3adff")                                                                          \
    X(QC_GLOB_YELLOW1_D2, "#a19107")                                                                         \
    X(QC_GLOB_YELLOW1_D1, "#b9ac3b")                                                                         \
    X(QC_GLOB_YELLOW1, "#f7e017")                                                                            \
    X(QC_GLOB_YELLOW1_L1, "#fbea50")                                                                         \
    X(QC_GLOB_YELLOW1_L2, "#fbee7e")                                                                         \
    X(QC_GLOB_YELLOW1_L3, "#FDF39F")                                                                         \
    X(QC_GLOB_YELLOW1_L4, "#FDF6B8")                                                                         \
    X(QC_GLOB_LOGO1_D2, "#10404d")                                                                           \
    X(QC_GLOB_LOGO1_D1, "#315059")                                                                           \
    X(QC_GLOB_LOGO1, "#306777")                                                                              \
    X(QC_GLOB_LOGO1_L1, "#67a9bb")                                                                           \
    X(QC_GLOB_LOGO1_L2, "#7eadbb")                                                                           \
    X(QC_GRAPH_BACK_GR2, "#3A434B")                                                                          \
    X(QC_GRAPH_BACK, "#414951")                                                                              \
    X(QC_GRAPH_AXIS, "#c4c6c9")                                                                              \
    X(QC_GRAPH_GRID, "#8c8c8c")                                                                              \
    X(QC_STAT_TOTAL, "#0038A8")                                                                              \
    X(QC_STAT_VALID, "#009E0F")                                                                              \
    X(QC_STAT_INVALID, "#D81E05")                                                                            \
    X(QC_STAT_BUSY, "#F7B50C")                                                                               \
    X(QCT_GLOB_BLUE1_D2, "#0c3342")                                                                          \
    X(QCT_GLOB_BLUE1_D1, "#27424c")                                                                          \
    X(QCT_GLOB_BLUE1, "#245365")                                                                             \
    X(QCT_GLOB_BLUE1_L1, "#5c9ab2")                                                                          \
    X(QCT_GLOB_BLUE1_L2, "#73a1b2")                                                                          \
    X(QCT_GLOB_BLUE1_L3, "#d9e1e4")                                                                          \
    X(QCT_GLOB_BLUE1_L4, "#ebeff2")                                                                          \
    X(QCT_GLOB_BLUE1_LIKE_D2, "#033e6b")                                                                     \
    X(QCT_GLOB_BLUE1_LIKE_D1, "#25567b")                                                                     \
    X(QCT_GLOB_BLUE1_LIKE, "#0b61a4")                                                                        \
    X(QCT_GLOB_BLUE1_LIKE_L1, "#3f92d2")                                                                     \
    X(QCT_GLOB_BLUE1_LIKE_L2, "#66a3d2")

#define TW_DEFINE_COLOR(name, value) inline const QColor name = QColor(QStringLiteral(value));
TW_PALETTE(TW_DEFINE_COLOR)
#undef TW_DEFINE_COLOR

// One palette entry as the style sheet writes it.
struct SPaletteEntry
{
    QString name;
    QColor color;
};

// The whole palette in declaration order.
const QList<SPaletteEntry>& paletteEntries();

// Replaces every palette name in a style sheet text by "#rrggbb".
QString replaceColor(QString text);

QLinearGradient qcGradient(double x1, double y1, double x2, double y2, QColor c0, QColor c1);
QLinearGradient qcGradientW(QWidget* w, QColor c0, QColor c1);

// Breaks text into the lines that fit a width x height box in the painter's
// font; a text that does not fit ends in an ellipsis.
QStringList prepareText(const QString& text, int width, int height, QPainter* painter);
