#include <QtTest>

#include <QFile>
#include <QPainter>
#include <QRegularExpression>

#include "widgets/color.h"

class TestColor : public QObject
{
    Q_OBJECT
private slots:

    void everyPaletteNameBecomesItsOwnValue()
    {
        // Many names are prefixes of others: each must win over its shorter relatives.
        for (const SPaletteEntry& entry : paletteEntries())
            QCOMPARE(replaceColor(QStringLiteral("x:%1;").arg(entry.name)),
                     QStringLiteral("x:%1;").arg(entry.color.name()));
        QCOMPARE(replaceColor("color: QC_GLOB_WHITE;"), QStringLiteral("color: QC_GLOB_WHITE;"));
    }

    void styleSheetKeepsNoPaletteNameAfterReplacement()
    {
        QFile file(QStringLiteral("://style/style.qss"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString sheet = replaceColor(QString::fromLatin1(file.readAll()));
        QVERIFY(sheet.contains(QStringLiteral("background-color: #171d1f;")));
        QVERIFY2(!sheet.contains(QRegularExpression(QStringLiteral("QCT?_[A-Z]"))), qPrintable(sheet));
    }

    void prepareTextFitsTheBox_data()
    {
        // Width in characters of a monospaced font, height in line heights.
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("widthChars");
        QTest::addColumn<double>("heightLines");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("a long text wraps at the pixel width")
            << "abcdefghij" << 5.5 << 10.0 << QStringList{"abcd", "efgh", "ij"};
        QTest::newRow("below two line heights one elided line is shown")
            << "abcdefghij" << 5.5 << 1.5 << QStringList{QStringLiteral("abcd\u2026")};
        QTest::newRow("with room for two lines of three the second gets dots")
            << "a\nb\nc" << 5.0 << 2.5 << QStringList{"a", "b..."};
    }

    void prepareTextFitsTheBox()
    {
        QFETCH(QString, text);
        QFETCH(double, widthChars);
        QFETCH(double, heightLines);
        QFETCH(QStringList, expected);
        QImage image(400, 400, QImage::Format_ARGB32_Premultiplied);
        QPainter painter(&image);
        QFont font(QStringLiteral("DejaVu Sans Mono"));
        font.setStyleHint(QFont::Monospace);
        font.setPixelSize(12);
        painter.setFont(font);
        const int charWidth = painter.fontMetrics().horizontalAdvance(QLatin1Char('x'));
        const int lineHeight = painter.fontMetrics().boundingRect(QStringLiteral("x")).height();
        QCOMPARE(prepareText(text, int(widthChars * charWidth), int(heightLines * lineHeight), &painter),
                 expected);
    }
};

QTEST_MAIN(TestColor)
#include "tst_color.moc"
