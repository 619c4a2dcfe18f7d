#pragma once

#include <QWidget>

class QBoxLayout;
class QVBoxLayout;

// The dark side panel: a plain vertical stack whose items can be expanded.
class CLeftPanel : public QWidget
{
    Q_OBJECT
public:
    explicit CLeftPanel(QWidget* parent = nullptr);

    void addWidget(QWidget* w, int stretch = 0, Qt::Alignment align = Qt::Alignment());
    void addLayout(QBoxLayout* l, int stretch = 0);
    void addEndSequence();

public slots:
    void expandWidget(QWidget* w = nullptr);
    void unexpandAll();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QVBoxLayout* mainLayout;
};
