#pragma once

#include <QStyle>

class QPainter;
class QWidget;

// Lets the application style sheet paint a widget's background, border and
// hover or pressed look, as it would for a push button of the widget's class.
void drawStyledBackground(QWidget* widget, QPainter& painter, QStyle::State extraState = QStyle::State_None,
                          bool flat = false);
