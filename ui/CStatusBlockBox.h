#pragma once

#include <QGroupBox>

#include "storage/CDeviceOptionsStore.h"

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

// The device dialogs' fields for the status block a PLC reads to tell a
// live value from a stale one, and for exception 0x0B on a stale device.
class CStatusBlockBox : public QGroupBox
{
    Q_OBJECT
public:
    explicit CStatusBlockBox(QWidget* parent = nullptr);

    void setOptions(const SDeviceOptions& options);
    // False with the warning shown when the address cannot be a register.
    bool readOptions(SDeviceOptions& options);
    // Shows why the chosen address cannot be used; empty hides the warning.
    void showProblem(const QString& problem);

    // The check of a device's status block at `port` before it is saved:
    // inside 0..65535, clear of the device's own registers [first, end) and
    // of every other device on the port. Empty when it may be used.
    static QString problemWith(const SDeviceOptions& options, const QString& devEui, int port, qint64 first,
                               qint64 end);

private:
    void updateEnabled();

    QCheckBox* enabledCheck = nullptr;
    QLineEdit* addressEdit = nullptr;
    QPushButton* warning = nullptr;
    QSpinBox* staleSpin = nullptr;
    QCheckBox* exceptionCheck = nullptr;
};
