#include "ui/CStatusBlockBox.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include "freshness/CDeviceFreshness.h"
#include "freshness/CStatusBlock.h"

namespace {
constexpr int LAST_REGISTER = 65535;
const QString RANGE_PROBLEM = QStringLiteral("The status block takes %1 registers from 0 to 65535");
const QString OWN_PROBLEM = QStringLiteral("Registers %1..%2 overlap the device's own registers %3..%4");
const QString OTHER_PROBLEM = QStringLiteral("Registers %1..%2 overlap device [%3] on port %4");
} // namespace

CStatusBlockBox::CStatusBlockBox(QWidget* parent)
    : QGroupBox(QStringLiteral("Status block for the PLC"), parent)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    enabledCheck = new QCheckBox(QStringLiteral("Status block at register:"));
    addressEdit = new QLineEdit();
    addressEdit->setAccessibleName(QStringLiteral("Status block address"));
    addressEdit->setFixedWidth(60);
    addressEdit->setValidator(new QIntValidator(0, LAST_REGISTER, addressEdit));
    warning = new QPushButton(QStringLiteral("!"));
    warning->setObjectName(QStringLiteral("redBtn"));
    warning->setFixedSize(25, 25);
    warning->hide();
    staleSpin = new QSpinBox();
    staleSpin->setAccessibleName(QStringLiteral("Stale after minutes"));
    staleSpin->setRange(0, 0xFFFF);
    staleSpin->setSpecialValueText(QStringLiteral("off"));
    staleSpin->setSuffix(QStringLiteral(" min"));
    exceptionCheck = new QCheckBox(QStringLiteral("When stale, its registers answer exception 0x0B"));

    layout->addWidget(enabledCheck);
    layout->addWidget(addressEdit);
    layout->addWidget(warning);
    layout->addStretch(1);
    layout->addWidget(new QLabel(QStringLiteral("Stale after:")));
    layout->addWidget(staleSpin);
    layout->addStretch(1);
    layout->addWidget(exceptionCheck);
    connect(enabledCheck, &QCheckBox::toggled, this, &CStatusBlockBox::updateEnabled);
    connect(staleSpin, QOverload<int>::of(&QSpinBox::valueChanged), this, &CStatusBlockBox::updateEnabled);
    updateEnabled();
}

void CStatusBlockBox::updateEnabled()
{
    addressEdit->setEnabled(enabledCheck->isChecked());
    // Without a threshold a device is never stale, so the exception could never be answered.
    exceptionCheck->setEnabled(staleSpin->value() > 0);
}

void CStatusBlockBox::setOptions(const SDeviceOptions& options)
{
    const bool hasBlock = options.statusAddress != SDeviceOptions::NO_STATUS_BLOCK;
    enabledCheck->setChecked(hasBlock);
    addressEdit->setText(hasBlock ? QString::number(options.statusAddress) : QString());
    staleSpin->setValue(options.staleMinutes);
    exceptionCheck->setChecked(options.staleException);
    showProblem(QString());
    updateEnabled();
}

bool CStatusBlockBox::readOptions(SDeviceOptions& options)
{
    options = SDeviceOptions();
    options.staleMinutes = staleSpin->value();
    options.staleException = options.staleMinutes > 0 && exceptionCheck->isChecked();
    if (!enabledCheck->isChecked())
        return true;
    bool ok = false;
    const int address = addressEdit->text().toInt(&ok);
    if (!ok || address < 0 || address + CStatusBlock::WORDS - 1 > LAST_REGISTER) {
        showProblem(RANGE_PROBLEM.arg(CStatusBlock::WORDS));
        return false;
    }
    options.statusAddress = address;
    return true;
}

void CStatusBlockBox::showProblem(const QString& problem)
{
    warning->setToolTip(problem);
    warning->setVisible(!problem.isEmpty());
}

QString CStatusBlockBox::problemWith(const SDeviceOptions& options, const QString& devEui, int port,
                                     qint64 first, qint64 end)
{
    const qint64 status = options.statusAddress;
    if (status == SDeviceOptions::NO_STATUS_BLOCK)
        return QString();
    const qint64 statusEnd = status + CStatusBlock::WORDS;
    if (status < end && first < statusEnd)
        return OWN_PROBLEM.arg(QString::number(status), QString::number(statusEnd - 1),
                               QString::number(first), QString::number(end - 1));
    const QString other = CDeviceFreshness::getInstance()->occupant(port, status, statusEnd, devEui);
    if (!other.isEmpty())
        return OTHER_PROBLEM.arg(QString::number(status), QString::number(statusEnd - 1), other,
                                 QString::number(port));
    return QString();
}
