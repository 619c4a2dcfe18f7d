#include "widgets/CSearchEditWidget.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include "widgets/styledbackground.h"

namespace {
QPushButton* makeIconButton(const QString& iconPath, QWidget* parent)
{
    auto* button = new QPushButton(QIcon(iconPath), QString(), parent);
    button->setObjectName(QStringLiteral("searchBtn"));
    button->setFixedSize(26, 26);
    return button;
}
} // namespace

CSearchEditWidget::CSearchEditWidget(QWidget* parent)
    : QWidget(parent), searchBtn(makeIconButton(QStringLiteral(":/searchIco.png"), this)),
      clearBtn(makeIconButton(QStringLiteral(":/deleteIco.png"), this)), lineEdit(new QLineEdit(this))
{
    setObjectName(QStringLiteral("CSearchEditWidget"));
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(3, 3, 3, 3);
    layout->setSpacing(4);
    layout->addWidget(searchBtn);
    layout->addWidget(clearBtn);
    layout->addWidget(lineEdit);

    connect(lineEdit, &QLineEdit::textChanged, this, &CSearchEditWidget::textImmediatelyChanged);
    connect(searchBtn, &QPushButton::clicked, this, &CSearchEditWidget::confirmSearch);
    connect(clearBtn, &QPushButton::clicked, this, &CSearchEditWidget::clear);
    // The line edit passes Return and Enter on to us; the filter catches them.
    installEventFilter(this);
}

void CSearchEditWidget::setValidator(const QValidator* validator)
{
    lineEdit->setValidator(validator);
}

void CSearchEditWidget::setFocus()
{
    lineEdit->setFocus(Qt::OtherFocusReason);
}

QString CSearchEditWidget::text() const
{
    return lineEdit->text();
}

void CSearchEditWidget::setText(QString _text)
{
    lineEdit->setText(_text);
}

void CSearchEditWidget::clear()
{
    lineEdit->clear();
    emit textChangedSignal(QString());
}

void CSearchEditWidget::confirmSearch()
{
    emit textChangedSignal(lineEdit->text());
}

bool CSearchEditWidget::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == this && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            confirmSearch();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void CSearchEditWidget::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setFont(font());
    drawStyledBackground(this, painter);
}
