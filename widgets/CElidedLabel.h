#pragma once

#include <QLabel>

// A label that never asks for the width of its text: it paints each line
// elided to the room it gets and shows the whole text in its tool tip.
class CElidedLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CElidedLabel(const QString& text = QString(), QWidget* parent = nullptr);

    void setFullText(const QString& text);
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};
