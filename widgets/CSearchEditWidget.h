#pragma once

#include <QWidget>

class QLineEdit;
class QPushButton;
class QValidator;

// A search line with a search and a clear button. Typing reports every change;
// the search itself runs on Return, Enter or the search button.
class CSearchEditWidget : public QWidget
{
    Q_OBJECT
public:
    explicit CSearchEditWidget(QWidget* parent = nullptr);

    void setValidator(const QValidator* validator);
    void setFocus();
    QString text() const;

signals:
    void textImmediatelyChanged(QString _text);
    void textChangedSignal(QString _text);

public slots:
    void setText(QString _text = QString());
    void clear();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void confirmSearch();

    QPushButton* searchBtn;
    QPushButton* clearBtn;
    QLineEdit* lineEdit;
};
