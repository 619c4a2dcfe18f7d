#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QIcon>

class QGroupBox;
class QHBoxLayout;
class QLabel;
class QPropertyAnimation;
class QVBoxLayout;

// A checkable panel header that opens a box of controls below itself and can
// flash green or red to report the outcome of an action.
class CAbstractPanelButton : public QAbstractButton
{
    Q_OBJECT
    Q_PROPERTY(QColor backColor READ getBackColor WRITE setBackColor)
public:
    CAbstractPanelButton(QString title, QIcon icon, QWidget* parent = nullptr);

    QSize sizeHint() const override { return QSize(6, 6); }
    QColor getBackColor() const { return backColor; }
    int getPicAlign() const { return sPicAlign; }
    bool isFullView() const { return fullView; }

signals:
    void invalidDb();

public slots:
    void setBackColor(QColor color);
    void setPicAlign(int align);

private slots:
    void clickSlot(bool isChecked);

public slots:
    void setIcon(QIcon icon);
    void addWidget(QWidget* w);
    void addLayout(QLayout* l);
    void animationEvent(bool success = true);
    void setFullView(bool full);
    void setExtraGroupVisible(bool visible);

protected:
    void paintEvent(QPaintEvent* event) override;
    // Only the header row toggles; clicks inside the opened box stay with its controls.
    bool hitButton(const QPoint& pos) const override;

private:
    bool boxHasItems() const;
    void placeIcon(int align);

    int sPicAlign = Qt::AlignLeft;
    bool checkedFlag = false;
    QPropertyAnimation* animation;
    bool fullView = false;
    bool extraGroupVisible = false;
    QColor backColor;

    QVBoxLayout* mainLayout;
    QHBoxLayout* topLayout;
    QWidget* marker;
    QLabel* icoLab;
    QLabel* titleLab;
    QGroupBox* mainBox;
    QVBoxLayout* boxLayout;
    int icoStretch = 0;
};
