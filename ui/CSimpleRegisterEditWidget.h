#pragma once

#include <QWidget>

#include "app/RegisterFormat.h"

class QComboBox;
class QLabel;
class QLineEdit;

// In-place editor of a register's scaling: extra value, multiplier and units;
// for a number of 32 bits or more also whether it is served as float32 and in
// which word order, with what that does to an example value.
class CSimpleRegisterEditWidget : public QWidget
{
    Q_OBJECT
public:
    explicit CSimpleRegisterEditWidget(QWidget* parent = nullptr);

public slots:
    void setData(QString name, double _extraValue, double _multiplier, QString _units);
    double getExtraValue();
    double getMultiplier();
    QString getUnits();
    // Shows the format row only where it is offered.
    void setFormat(bool offered, const FMT::SRegisterFormat& format);
    FMT::SRegisterFormat getFormat() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLineEdit* extraValueEdit;
    QLineEdit* multiplierEdit;
    QLineEdit* unitsEdit;
    QLabel* nameLabel;
    QWidget* formatRow;
    QComboBox* servedAsCombo;
    QComboBox* orderCombo;
    QLabel* exampleLabel;

    QWidget* buildFormatRow();
    void showExample();
};
