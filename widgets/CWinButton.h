#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

// A painted tile button showing a name, a boxed value and an icon in any of
// five combinations.
class CWinButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QColor sValueColor READ getValueColor WRITE setValueColor)
    Q_PROPERTY(QColor sValuePressColor READ getValuePressColor WRITE setValuePressColor)
public:
    enum ELayoutType
    {
        LAYOUT_TEXT = 1,
        LAYOUT_NAME_VALUE = 2,
        LAYOUT_ICON = 3,
        LAYOUT_ICON_NAME = 4,
        LAYOUT_ICON_NAME_VALUE = 5,
    };

    explicit CWinButton(QWidget* parent = nullptr);
    CWinButton(QString name, QWidget* parent);
    CWinButton(QString name, QString value, QWidget* parent);
    CWinButton(QIcon icon, QString name, QString value, QWidget* parent);
    CWinButton(QIcon icon, QString name, QWidget* parent);

    QSize sizeHint() const override { return QSize(10, 10); }
    int getLayout() const;
    QStringList prepareText(QString& text, int width, int height, QPainter* painter) const;

    QColor getValueColor() const { return sValueColor; }
    QColor getValuePressColor() const { return sValuePressColor; }
    int getPicAlign() const { return sPicAlign; }
    bool isHovered() const { return hovered; }

public slots:
    void setValueColor(QColor color);
    void setValuePressColor(QColor color);
    void setValSpace(int space);
    void setTextBias(int bias);
    void setTextSpace(int space);
    void setFontValSize(int size);
    void setPicAlign(int align);
    void setName(QString name);
    void setValue(QString value);
    void setIcon(QIcon icon);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void init();
    void paintBackground(QPainter& painter);
    void paintText(QPainter& painter);
    void paintNameValue(QPainter& painter, const QRect& area);
    int paintValueLines(QPainter& painter, const QStringList& lines, int right, int bottom);
    void paintIcon(QPainter& painter);
    void paintIconName(QPainter& painter);
    void paintIconNameValue(QPainter& painter);
    QPixmap fittedPixmap(int maxWidth, int maxHeight) const;
    QFont valueFont() const;
    QRect inner() const;

    QColor sValueColor = QColor(QStringLiteral("#800080"));
    QColor sValuePressColor = QColor(QStringLiteral("#100010"));
    QString sName;
    QString sValue;
    QIcon sIcon;
    int sValSpace = 0;
    int sTextSpace = 2;
    int sTextBias = 3;
    int sFontValSize = 12;
    int sPicAlign = Qt::AlignTop;
    bool hovered = false;
};
