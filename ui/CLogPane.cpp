#include "ui/CLogPane.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "app/global.h"
#include "widgets/color.h"

namespace {
// Enough of the file's end for the lines kept on view.
const qint64 TAIL_BYTES = 256 * 1024;
const QString ERROR_MARK = QStringLiteral("ERROR");
const QString WARNING_MARK = QStringLiteral("WARNING");
} // namespace

CLogPane::CLogPane(QWidget* parent) : QWidget(parent), filterEdit(new QLineEdit()), lines(new QListWidget())
{
    setObjectName(QStringLiteral("logPane"));
    setAutoFillBackground(true);
    filterEdit->setPlaceholderText(QStringLiteral("Filter log lines"));
    filterEdit->setAccessibleName(QStringLiteral("Log filter"));
    filterEdit->setClearButtonEnabled(true);
    connect(filterEdit, &QLineEdit::textChanged, this, &CLogPane::filterSlot);
    auto* folderButton = new QPushButton(QStringLiteral("Open folder"));
    folderButton->setToolTip(QStringLiteral("Open the working directory: %1").arg(QDir::currentPath()));
    connect(folderButton, &QPushButton::clicked, this, &CLogPane::openFolderSlot);

    lines->setUniformItemSizes(true);
    lines->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lines->setFont(QFont(QStringLiteral("Monospace"), 9));
    lines->setAccessibleName(QStringLiteral("Log lines"));

    auto* top = new QHBoxLayout();
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(5);
    top->addWidget(filterEdit, 1);
    top->addWidget(folderButton);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    layout->addLayout(top);
    layout->addWidget(lines, 1);
    loadFileTail();
}

void CLogPane::loadFileTail()
{
    QFile file(COMM::LOG_FILENAME);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const qint64 start = qMax<qint64>(0, file.size() - TAIL_BYTES);
    file.seek(start);
    QStringList tail = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (start > 0 && !tail.isEmpty())
        tail.removeFirst(); // cut mid-line
    for (const QString& line : tail.mid(qMax(0, tail.size() - MAX_LINES)))
        addLineSlot(line);
}

void CLogPane::addLineSlot(const QString& line)
{
    QScrollBar* bar = lines->verticalScrollBar();
    const bool following = bar->value() == bar->maximum();
    auto* item = new QListWidgetItem(line, lines);
    if (line.contains(ERROR_MARK))
        item->setForeground(QC_GLOB_RED1_D2);
    else if (line.contains(WARNING_MARK))
        item->setForeground(QC_GLOB_ORANGE1_D2);
    applyFilter(item);
    while (lines->count() > MAX_LINES)
        delete lines->takeItem(0);
    if (following)
        lines->scrollToBottom();
}

// Lines arrive while the pane is closed; it opens on the latest.
void CLogPane::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // After the layout has given the list its height.
    QTimer::singleShot(0, lines, &QListWidget::scrollToBottom);
}

void CLogPane::applyFilter(QListWidgetItem* item) const
{
    item->setHidden(!item->text().contains(filterEdit->text(), Qt::CaseInsensitive));
}

void CLogPane::filterSlot(const QString& text)
{
    Q_UNUSED(text)
    for (int row = 0; row < lines->count(); ++row)
        applyFilter(lines->item(row));
}

void CLogPane::openFolderSlot()
{
    QDesktopServices::openUrl(QUrl::fromLocalFile(QDir::currentPath()));
}
