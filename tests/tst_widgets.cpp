#include <QtTest>

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "widgets/CAbstractPanelButton.h"
#include "widgets/CSearchEditWidget.h"

class TestWidgets : public QObject
{
    Q_OBJECT
private slots:

    void panelBoxVisibility_data()
    {
        QTest::addColumn<bool>("fullView");
        QTest::addColumn<bool>("hasItems");
        QTest::addColumn<bool>("boxShown");
        QTest::newRow("checked in full view with controls opens the box, unchecked closes it")
            << true << true << true;
        QTest::newRow("checked in full view with an empty box keeps it hidden") << true << false << false;
        QTest::newRow("checked outside full view keeps the box hidden") << false << true << false;
    }

    void panelBoxVisibility()
    {
        QFETCH(bool, fullView);
        QFETCH(bool, hasItems);
        QFETCH(bool, boxShown);
        CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
        auto* box = button.findChild<QGroupBox*>(QStringLiteral("mainBox"));
        button.setFullView(fullView);
        if (hasItems)
            button.addWidget(new QLineEdit());
        button.setChecked(true);
        QCOMPARE(!box->isHidden(), boxShown);
        button.setChecked(false);
        QVERIFY(box->isHidden());
    }

    void searchConfirms_data()
    {
        QTest::addColumn<int>("key"); // 0 search button, 1 clear button
        QTest::addColumn<QString>("confirmed");
        QTest::newRow("the Return key confirms") << int(Qt::Key_Return) << "lab";
        QTest::newRow("the Enter key confirms") << int(Qt::Key_Enter) << "lab";
        QTest::newRow("the search button confirms") << 0 << "lab";
        QTest::newRow("the clear button confirms an empty search") << 1 << "";
    }

    void searchConfirms()
    {
        QFETCH(int, key);
        QFETCH(QString, confirmed);
        CSearchEditWidget search;
        QSignalSpy typed(&search, &CSearchEditWidget::textImmediatelyChanged);
        QSignalSpy confirms(&search, &CSearchEditWidget::textChangedSignal);
        auto* edit = search.findChild<QLineEdit*>();
        search.setText(QStringLiteral("office")); // a programmatic text is not a confirmation
        edit->clear();
        typed.clear();
        QTest::keyClicks(edit, QStringLiteral("lab"));
        QCOMPARE(typed.count(), 3);
        QCOMPARE(typed.at(2).at(0).toString(), QStringLiteral("lab"));
        QCOMPARE(confirms.count(), 0);
        if (key < 2)
            QTest::mouseClick(search.findChildren<QPushButton*>(QStringLiteral("searchBtn")).at(key),
                              Qt::LeftButton);
        else
            QTest::keyClick(edit, Qt::Key(key));
        QCOMPARE(confirms.count(), 1);
        QCOMPARE(confirms.at(0).at(0).toString(), confirmed);
        QCOMPARE(search.text(), confirmed);
    }
};

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
