#pragma once

#include <QLabel>

// Read-only lines of the connection panel: what settings.conf lets reach the
// Modbus listeners, as it is in force since the start. A list too long for
// the panel is cut with an ellipsis; the tooltip holds it whole.
class CModbusAccessLabel : public QLabel
{
    Q_OBJECT
public:
    explicit CModbusAccessLabel(QWidget* parent = nullptr);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit();

    QString bindLine;
    QString clientsLine;
};
