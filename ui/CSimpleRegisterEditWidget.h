#pragma once

#include <QWidget>

class QLabel;
class QLineEdit;

// In-place editor of a register's scaling: extra value, multiplier and units.
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

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QLineEdit* extraValueEdit;
    QLineEdit* multiplierEdit;
    QLineEdit* unitsEdit;
    QLabel* nameLabel;
};
