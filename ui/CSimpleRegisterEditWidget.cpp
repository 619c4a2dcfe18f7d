#include "ui/CSimpleRegisterEditWidget.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QRegularExpressionValidator>
#include <QStyleOption>

namespace {
const int EDIT_HEIGHT = 17;

// Captions in one column, so that the three fields start at the same x.
QGridLayout* makeFieldGrid(const QList<QPair<QString, QLineEdit*>>& rows)
{
    auto* grid = new QGridLayout();
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(5);
    grid->setVerticalSpacing(1);
    for (int i = 0; i < rows.size(); ++i) {
        grid->addWidget(new QLabel(rows.at(i).first), i, 0);
        grid->addWidget(rows.at(i).second, i, 1);
    }
    grid->setColumnStretch(1, 1);
    return grid;
}

QString fixedPoint(double value)
{
    return QStringLiteral("%1").arg(value, 0, 'f', 6);
}
} // namespace

CSimpleRegisterEditWidget::CSimpleRegisterEditWidget(QWidget* parent)
    : QWidget(parent), extraValueEdit(new QLineEdit(this)), multiplierEdit(new QLineEdit(this)),
      unitsEdit(new QLineEdit(this)), nameLabel(new QLabel(this)), formatRow(nullptr),
      servedAsCombo(new QComboBox(this)), orderCombo(new QComboBox(this)), exampleLabel(new QLabel(this))
{
    setStyleSheet(QStringLiteral("QWidget{background-color: #FFF;}"));
    // Decimals: digits, a point, digits; the offset may be negative.
    extraValueEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("-?[0-9]{1,}\\.[0-9]{1,}")), this));
    multiplierEdit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]{1,}\\.[0-9]{1,}")), this));
    // Three rows of fields must fit the 65-pixel card the editor opens over.
    for (QLineEdit* edit : {extraValueEdit, multiplierEdit, unitsEdit})
        edit->setFixedHeight(EDIT_HEIGHT);

    QGridLayout* left = makeFieldGrid({{QStringLiteral("ExtraValue: "), extraValueEdit},
                                       {QStringLiteral("Multiplier: "), multiplierEdit},
                                       {QStringLiteral("Units: "), unitsEdit}});

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
    right->addWidget(exampleLabel, 0, Qt::AlignCenter);

    auto* columns = new QHBoxLayout();
    columns->setContentsMargins(0, 0, 0, 0);
    columns->setSpacing(5);
    columns->addLayout(left, 1);
    columns->addLayout(right, 1);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(5, 5, 5, 5);
    outer->setSpacing(1);
    outer->addLayout(columns);
    outer->addWidget(buildFormatRow());
}

QWidget* CSimpleRegisterEditWidget::buildFormatRow()
{
    formatRow = new QWidget(this);
    auto* row = new QHBoxLayout(formatRow);
    row->setContentsMargins(0, 2, 0, 0);
    row->setSpacing(5);
    servedAsCombo->setAccessibleName(QStringLiteral("Served as"));
    servedAsCombo->addItems({QStringLiteral("Integer"), QStringLiteral("Float32")});
    orderCombo->setAccessibleName(QStringLiteral("Word order"));
    orderCombo->addItems(FMT::WordOrderNames);
    for (QComboBox* combo : {servedAsCombo, orderCombo}) {
        combo->setFixedHeight(EDIT_HEIGHT + 2);
        connect(combo, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
                &CSimpleRegisterEditWidget::showExample);
    }
    exampleLabel->setStyleSheet(QStringLiteral("QLabel { color: #0c3342; }"));
    row->addWidget(new QLabel(QStringLiteral("Served as: ")));
    row->addWidget(servedAsCombo);
    row->addWidget(new QLabel(QStringLiteral("Word order: ")));
    row->addWidget(orderCombo);
    row->addStretch(1);
    formatRow->hide();
    exampleLabel->hide();
    return formatRow;
}

void CSimpleRegisterEditWidget::setFormat(bool offered, const FMT::SRegisterFormat& format)
{
    servedAsCombo->setCurrentIndex(format.asFloat ? 1 : 0);
    orderCombo->setCurrentIndex(format.wordOrder);
    formatRow->setVisible(offered);
    exampleLabel->setVisible(offered);
    showExample();
}

FMT::SRegisterFormat CSimpleRegisterEditWidget::getFormat() const
{
    return FMT::SRegisterFormat{servedAsCombo->currentIndex() == 1, orderCombo->currentIndex()};
}

void CSimpleRegisterEditWidget::showExample()
{
    exampleLabel->setText(FMT::workedExample(getFormat()));
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
