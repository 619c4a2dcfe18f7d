#pragma once

#include <QWidget>

class QLineEdit;
class QListWidget;
class QListWidgetItem;

// The latest lines of the operator's log as they are written, errors and
// warnings coloured, with a filter and a way to the working directory.
class CLogPane : public QWidget
{
    Q_OBJECT
public:
    explicit CLogPane(QWidget* parent = nullptr);

    // Lines kept on view; older ones drop off the top.
    static const int MAX_LINES = 1000;

public slots:
    void addLineSlot(const QString& line);

protected:
    void showEvent(QShowEvent* event) override;

private slots:
    void filterSlot(const QString& text);
    void openFolderSlot();

private:
    void loadFileTail();
    void applyFilter(QListWidgetItem* item) const;

    QLineEdit* filterEdit;
    QListWidget* lines;
};
