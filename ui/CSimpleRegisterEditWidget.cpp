#include "ui/CSimpleRegisterEditWidget.h"

#include <QBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStyleOption>

namespace {
const int EDIT_HEIGHT = 17;

QHBoxLayout* makeRow(const QString& caption, QLineEdit* field)
{
    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    row->addWidget(new QLabel(caption));
    row->addWidget(field);
    row->addStretch(2);
    return row;
}

QString fixedPoint(double value)
{
    return QStringLiteral("%1").arg(value, 0, 'f', 6);
}
} // namespace

CSimpleRegisterEditWidget::CSimpleRegisterEditWidget(QWidget* parent)
    : QWidget(parent), extraValueEdit(new QLineEdit(this)), multiplierEdit(new QLineEdit(this)),
      unitsEdit(new QLineEdit(this)), nameLabel(new QLabel(this))
{
    setStyleSheet(QStringLiteral("QWidget{background-color: #FFF;}"));
    // Unsigned decimals only: digits, a point, digits.
    auto* validator =
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,}\\.[0-9]{1,}")), this);
    extraValueEdit->setValidator(validator);
    multiplierEdit->setValidator(validator);
    // Three rows of fields must fit the 65-pixel card the editor opens over.
    for (QLineEdit* edit : {extraValueEdit, multiplierEdit, unitsEdit})
        edit->setFixedHeight(EDIT_HEIGHT);

    auto* left = new QVBoxLayout();
    left->setContentsMargins(0, 0, 0, 0);
    left->setSpacing(1);
    left->addLayout(makeRow(QStringLiteral("ExtraValue: "), extraValueEdit));
    left->addLayout(makeRow(QStringLiteral("Multiplier: "), multiplierEdit));
    left->addLayout(makeRow(QStringLiteral("Units: "), unitsEdit));

    nameLabel->setStyleSheet(QStringLiteral("QLabel { color: #0c3342; font-weight: bold;}"));
    nameLabel->setWordWrap(true);
    nameLabel->setAlignment(Qt::AlignCenter);
    nameLabel->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::MinimumExpanding);
    auto* formula = new QLabel(QStringLiteral("Value = RAW * Multiplier + ExtraValue"), this);
    formula->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::MinimumExpanding);
    formula->setAlignment(Qt::AlignCenter);
    auto* right = new QVBoxLayout();
    right->setContentsMargins(0, 0, 0, 0);
    right->setSpacing(1);
    right->addWidget(nameLabel, 0, Qt::AlignHCenter | Qt::AlignTop);
    right->addWidget(formula, 0, Qt::AlignCenter);

    auto* columns = new QHBoxLayout();
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(5);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(5, 5, 5, 5);
    outer->setSpacing(1);
    outer->addLayout(columns);
}

void CSimpleRegisterEditWidget::setData(QString name, double _extraValue, double _multiplier, QString _units)
{
    nameLabel->setText(name);
    extraValueEdit->setText(fixedPoint(_extraValue));
    multiplierEdit->setText(fixedPoint(_multiplier));
    unitsEdit->setText(_units);
}

double CSimpleRegisterEditWidget::getExtraValue()
{
    return extraValueEdit->text().toDouble();
}

double CSimpleRegisterEditWidget::getMultiplier()
{
    return multiplierEdit->text().toDouble();
}

QString CSimpleRegisterEditWidget::getUnits()
{
    return unitsEdit->text();
}

void CSimpleRegisterEditWidget::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    painter.setPen(Qt::NoPen);
    QStyleOption option;
    option.initFrom(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}
