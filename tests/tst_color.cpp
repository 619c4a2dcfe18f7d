#include <QtTest>

#include <QFile>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QRegularExpression>
#include <QWidget>

#include "widgets/color.h"

class TestColor : public QObject
{
    Q_OBJECT
private slots:
    void replaceColorInText_data();
    void replaceColorInText();
    void everyPaletteNameBecomesItsOwnValue();
    void paletteHoldsTheTableValues_data();
    void paletteHoldsTheTableValues();
    void styleSheetKeepsNoPaletteNameAfterReplacement();
    void gradientStopsAtHalfWay();
    void widgetGradientSpansTheWidth();
    void prepareTextRefusesNothingToDo();
    void prepareTextWraps_data();
    void prepareTextWraps();
    void prepareTextLinesFitTheWidth();

private:
    static QFont monoFont();
};

void TestColor::replaceColorInText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a property value becomes its colour") << "color: QC_GLOB_BLUE1_L1;"
                                                         << "color: #71a6d9;";
    QTest::newRow("a shaded white is not taken for the bare white") << "QC_GLOB_WHITE1_D1"
                                                                    << "#b2b4b5";
    QTest::newRow("the bare white after its shades") << "a QC_GLOB_WHITE1 b QC_GLOB_WHITE1_L2"
                                                     << "a #ebeff2 b #f5f7f9";
    QTest::newRow("a chart name with a suffix wins over its head") << "QC_GRAPH_BACK_GR2 QC_GRAPH_BACK"
                                                                   << "#3a434b #414951";
    QTest::newRow("the strong teal set is not eaten by the teal set")
        << "QCT_GLOB_BLUE1_LIKE_L1 QCT_GLOB_BLUE1_L1 QCT_GLOB_BLUE1_LIKE"
        << "#3f92d2 #5c9ab2 #0b61a4";
    QTest::newRow("the grey ramp keeps its two-digit names apart") << "QC_GLOB_BLACK6C_10 QC_GLOB_BLACK6C_13"
                                                                   << "#e7e8ea #e0e1e3";
    QTest::newRow("a black with a special shade") << "QC_GLOB_BLACK1_E2G QC_GLOB_BLACK1_E1B"
                                                  << "#1b241e #1a1b22";
    QTest::newRow("a name outside the palette stays") << "color: QC_GLOB_WHITE;"
                                                      << "color: QC_GLOB_WHITE;";
    QTest::newRow("capital values come out in lower case") << "QC_GLOB_BLUE1_L4"
                                                           << "#c5def6";
    QTest::newRow("literal colours are left alone") << "color: #FFF; background: rgba(0,0,0,0%);"
                                                    << "color: #FFF; background: rgba(0,0,0,0%);";
    QTest::newRow("names are case-sensitive") << "qc_glob_red1"
                                              << "qc_glob_red1";
    QTest::newRow("an empty text stays empty") << ""
                                               << "";
}

void TestColor::replaceColorInText()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(replaceColor(text), expected);
}

void TestColor::everyPaletteNameBecomesItsOwnValue()
{
    const QList<SPaletteEntry>& entries = paletteEntries();
    QCOMPARE(entries.size(), 98);
    QSet<QString> names;
    for (const SPaletteEntry& entry : entries) {
        QVERIFY2(entry.color.isValid(), qPrintable(entry.name));
        names.insert(entry.name);
        QCOMPARE(replaceColor(QStringLiteral("x:%1;").arg(entry.name)),
                 QStringLiteral("x:%1;").arg(entry.color.name()));
    }
    QCOMPARE(names.size(), 98);
}

void TestColor::paletteHoldsTheTableValues_data()
{
    QTest::addColumn<QColor>("color");
    QTest::addColumn<QString>("value");
    QTest::newRow("darkest grey of the ramp") << QC_GLOB_BLACK6C_80 << "#414951";
    QTest::newRow("the panel black") << QC_GLOB_BLACK1 << "#171d1f";
    QTest::newRow("the marker red") << QC_GLOB_RED1 << "#f5494d";
    QTest::newRow("the valid flash green") << QC_GLOB_GREEN2_L2 << "#61c68f";
    QTest::newRow("the card text teal") << QCT_GLOB_BLUE1_D2 << "#0c3342";
    QTest::newRow("the card small text lilac") << QC_GLOB_LILAC1_D2 << "#501370";
    QTest::newRow("the last strong teal") << QCT_GLOB_BLUE1_LIKE_L2 << "#66a3d2";
    QTest::newRow("a busy status") << QC_STAT_BUSY << "#f7b50c";
}

void TestColor::paletteHoldsTheTableValues()
{
    QFETCH(QColor, color);
    QFETCH(QString, value);
    QCOMPARE(color.name(), value);
}

void TestColor::styleSheetKeepsNoPaletteNameAfterReplacement()
{
    QFile file(QStringLiteral("://style/style.qss"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString sheet = replaceColor(QString::fromLatin1(file.readAll()));
    QVERIFY(!sheet.isEmpty());
    QVERIFY2(!sheet.contains(QRegularExpression(QStringLiteral("QCT?_[A-Z]"))), qPrintable(sheet));
    QVERIFY(sheet.contains(QStringLiteral("background-color: #171d1f;")));
}

void TestColor::gradientStopsAtHalfWay()
{
    const QLinearGradient gradient = qcGradient(1, 2, 30, 40, Qt::red, Qt::blue);
    QCOMPARE(gradient.start(), QPointF(1, 2));
    QCOMPARE(gradient.finalStop(), QPointF(30, 40));
    const QGradientStops stops = gradient.stops();
    QCOMPARE(stops.size(), 2);
    QCOMPARE(stops.at(0), QGradientStop(0.0, QColor(Qt::red)));
    QCOMPARE(stops.at(1), QGradientStop(0.5, QColor(Qt::blue)));
}

void TestColor::widgetGradientSpansTheWidth()
{
    QWidget widget;
    widget.resize(120, 30);
    const QLinearGradient gradient = qcGradientW(&widget, Qt::green, Qt::black);
    QCOMPARE(gradient.start(), QPointF(0, 0));
    QCOMPARE(gradient.finalStop(), QPointF(119, 0));
    QCOMPARE(gradient.stops().at(1), QGradientStop(0.5, QColor(Qt::black)));
}

QFont TestColor::monoFont()
{
    QFont font(QStringLiteral("DejaVu Sans Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(12);
    return font;
}

void TestColor::prepareTextRefusesNothingToDo()
{
    QImage image(100, 100, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QVERIFY(prepareText(QString(), 100, 100, &painter).isEmpty());
    QVERIFY(prepareText(QStringLiteral("abc"), 100, 100, nullptr).isEmpty());
}

void TestColor::prepareTextWraps_data()
{
    // Width in characters of a monospaced font, height in line heights.
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("widthChars");
    QTest::addColumn<double>("heightLines");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("a short text in a tall box stays one line") << "abc" << 10.0 << 5.0 << QStringList{"abc"};
    QTest::newRow("a long text wraps at the pixel width")
        << "abcdefghij" << 5.5 << 10.0 << QStringList{"abcd", "efgh", "ij"};
    QTest::newRow("the rest joins the next line after a space")
        << "abcdef\ngh" << 5.5 << 10.0 << QStringList{"abcd", "ef gh"};
    QTest::newRow("empty lines are kept") << "a\n\nb" << 5.0 << 10.0 << QStringList{"a", "", "b"};
    QTest::newRow("below two line heights one line is shown") << "abc" << 10.0 << 1.5 << QStringList{"abc"};
    QTest::newRow("below two line heights a wide line is elided")
        << "abcdefghij" << 5.5 << 1.5 << QStringList{QStringLiteral("abcd\u2026")};
    QTest::newRow("with room for two lines of three the second gets dots")
        << "a\nb\nc" << 5.0 << 2.5 << QStringList{"a", "b..."};
    QTest::newRow("a cut-off wrapped text ends in an ellipsis")
        << "abcdefghijklmnop" << 5.5 << 2.5 << QStringList{"abcd", QStringLiteral("efgh\u2026")};
}

void TestColor::prepareTextWraps()
{
    QFETCH(QString, text);
    QFETCH(double, widthChars);
    QFETCH(double, heightLines);
    QFETCH(QStringList, expected);
    QImage image(400, 400, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    painter.setFont(monoFont());
    const QFontMetrics fm = painter.fontMetrics();
    const int charWidth = fm.horizontalAdvance(QLatin1Char('x'));
    QCOMPARE(fm.horizontalAdvance(QStringLiteral("\u2026")), charWidth); // the font is monospaced
    const int lineHeight = fm.boundingRect(text).height();
    const QStringList lines =
        prepareText(text, int(widthChars * charWidth), int(heightLines * lineHeight), &painter);
    QCOMPARE(lines, expected);
}

void TestColor::prepareTextLinesFitTheWidth()
{
    QImage image(400, 400, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QFont font = painter.font();
    font.setPixelSize(13);
    painter.setFont(font);
    const QString text = QStringLiteral("Counter value of the first water meter on the third floor");
    const QStringList lines = prepareText(text, 70, 1000, &painter);
    QVERIFY(lines.size() > 3);
    QString joined;
    for (const QString& line : lines) {
        QVERIFY2(painter.fontMetrics().horizontalAdvance(line) <= 70, qPrintable(line));
        joined += line;
    }
    // Breaks fall inside words, so nothing but the text is kept.
    QCOMPARE(joined, text);
}

QTEST_MAIN(TestColor)
#include "tst_color.moc"
