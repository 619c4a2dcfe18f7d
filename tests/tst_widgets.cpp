#include <QtTest>

#include <QBoxLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "widgets/CAbstractPanelButton.h"
#include "widgets/CLeftPanel.h"
#include "widgets/CSearchEditWidget.h"
#include "widgets/CWinButton.h"
#include "widgets/color.h"

class TestWidgets : public QObject
{
    Q_OBJECT
private slots:
    void leftPanelExpandsOnlyItsOwnWidgets();
    void panelBoxVisibility_data();
    void panelBoxVisibility();
    void panelIconFallsBackToTheLeft();
    void panelFlashesAndFadesBack_data();
    void panelFlashesAndFadesBack();
    void searchConfirms_data();
    void searchConfirms();
    void searchClearAlwaysReportsEmptyText();
    void winButtonLayoutType_data();
    void winButtonLayoutType();
};

void TestWidgets::leftPanelExpandsOnlyItsOwnWidgets()
{
    CLeftPanel panel;
    auto* first = new QLabel(QStringLiteral("first"));
    panel.addWidget(first);
    panel.addWidget(nullptr);
    panel.addWidget(new QLabel(QStringLiteral("second")), 2);
    auto* layout = qobject_cast<QBoxLayout*>(panel.layout());
    QCOMPARE(layout->count(), 2);
    QLabel stranger;
    panel.expandWidget(&stranger);
    QCOMPARE(layout->stretch(0), 0);
    QCOMPARE(layout->stretch(1), 2);
    panel.expandWidget(first);
    QCOMPARE(layout->stretch(0), 50);
    panel.unexpandAll();
    QCOMPARE(layout->stretch(0), 0);
    QCOMPARE(layout->stretch(1), 0);
}

void TestWidgets::panelBoxVisibility_data()
{
    QTest::addColumn<bool>("fullView");
    QTest::addColumn<bool>("hasItems");
    QTest::addColumn<bool>("checked");
    QTest::addColumn<bool>("boxShown");
    QTest::newRow("checked in full view with controls opens the box") << true << true << true << true;
    QTest::newRow("checked in full view with an empty box keeps it hidden") << true << false << true << false;
    QTest::newRow("checked outside full view keeps the box hidden") << false << true << true << false;
    QTest::newRow("unchecked in full view hides the box") << true << true << false << false;
}

void TestWidgets::panelBoxVisibility()
{
    QFETCH(bool, fullView);
    QFETCH(bool, hasItems);
    QFETCH(bool, checked);
    QFETCH(bool, boxShown);
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    auto* box = button.findChild<QGroupBox*>(QStringLiteral("mainBox"));
    button.setFullView(fullView);
    if (hasItems)
        button.addWidget(new QLineEdit());
    button.setChecked(true);
    button.setChecked(checked);
    QCOMPARE(!box->isHidden(), boxShown);
    button.setChecked(false);
    QVERIFY(box->isHidden());
}

void TestWidgets::panelIconFallsBackToTheLeft()
{
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    auto* icon = button.findChild<QLabel*>(QStringLiteral("icoLab"));
    auto* topRow = qobject_cast<QHBoxLayout*>(button.layout()->itemAt(0)->layout());
    button.setPicAlign(Qt::AlignRight);
    QCOMPARE(topRow->indexOf(icon), 2);
    QTest::ignoreMessage(QtDebugMsg, "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not "
                                     "supported. Auto-apply with Qt::AlignLeft");
    button.setPicAlign(32);
    QCOMPARE(button.getPicAlign(), int(Qt::AlignLeft));
    QCOMPARE(topRow->indexOf(icon), 1);
}

void TestWidgets::panelFlashesAndFadesBack_data()
{
    QTest::addColumn<bool>("useDefault");
    QTest::addColumn<QColor>("flash");
    QTest::newRow("without an argument it flashes green") << true << QC_GLOB_GREEN2_L2;
    QTest::newRow("a failure flashes red") << false << QC_GLOB_RED1_L2;
}

void TestWidgets::panelFlashesAndFadesBack()
{
    QFETCH(bool, useDefault);
    QFETCH(QColor, flash);
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    useDefault ? button.animationEvent() : button.animationEvent(false);
    QCOMPARE(button.getBackColor(), flash);
    // Within a second it fades to the normal colour and hands the look back to the sheet.
    QTRY_COMPARE_WITH_TIMEOUT(button.getBackColor(), QC_GLOB_WHITE1_L1, 3000);
    QTRY_VERIFY(button.styleSheet().isEmpty());
}

void TestWidgets::searchConfirms_data()
{
    QTest::addColumn<int>("key");
    QTest::newRow("the Return key confirms") << int(Qt::Key_Return);
    QTest::newRow("the Enter key confirms") << int(Qt::Key_Enter);
    QTest::newRow("the search button confirms") << 0;
}

void TestWidgets::searchConfirms()
{
    QFETCH(int, key);
    CSearchEditWidget search;
    QSignalSpy typed(&search, &CSearchEditWidget::textImmediatelyChanged);
    QSignalSpy confirmed(&search, &CSearchEditWidget::textChangedSignal);
    auto* edit = search.findChild<QLineEdit*>();
    QTest::keyClicks(edit, QStringLiteral("lab"));
    QCOMPARE(typed.count(), 3);
    QCOMPARE(typed.at(2).at(0).toString(), QStringLiteral("lab"));
    QCOMPARE(confirmed.count(), 0);
    if (key == 0)
        search.findChildren<QPushButton*>(QStringLiteral("searchBtn")).at(0)->click();
    else
        QTest::keyClick(edit, Qt::Key(key));
    QCOMPARE(confirmed.count(), 1);
    QCOMPARE(confirmed.at(0).at(0).toString(), QStringLiteral("lab"));
}

void TestWidgets::searchClearAlwaysReportsEmptyText()
{
    CSearchEditWidget search;
    QSignalSpy confirmed(&search, &CSearchEditWidget::textChangedSignal);
    QPushButton* clearButton = search.findChildren<QPushButton*>(QStringLiteral("searchBtn")).at(1);
    clearButton->click(); // already empty
    QCOMPARE(confirmed.count(), 1);
    QVERIFY(confirmed.at(0).at(0).toString().isEmpty());
    search.setText(QStringLiteral("office")); // a programmatic text is not a confirmation
    QCOMPARE(confirmed.count(), 1);
    clearButton->click();
    QCOMPARE(confirmed.count(), 2);
    QVERIFY(confirmed.at(1).at(0).toString().isEmpty());
    QVERIFY(search.text().isEmpty());
}

void TestWidgets::winButtonLayoutType_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withIcon");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("type");
    QTest::newRow("a value without a name is a single text") << QString() << false << "12" << 1;
    QTest::newRow("name and value") << "Flow" << false << "12" << 2;
    QTest::newRow("an empty but set name with a value is name and value") << "" << false << "12" << 2;
    QTest::newRow("an icon without a name is icon only") << QString() << true << "12" << 3;
    QTest::newRow("an icon and a name") << "Flow" << true << QString() << 4;
    QTest::newRow("icon, name and value") << "Flow" << true << "12" << 5;
}

void TestWidgets::winButtonLayoutType()
{
    QFETCH(QString, name);
    QFETCH(bool, withIcon);
    QFETCH(QString, value);
    QFETCH(int, type);
    CWinButton button;
    if (withIcon)
        button.setIcon(QIcon(QPixmap(8, 8)));
    if (!name.isNull())
        button.setName(name);
    if (!value.isNull())
        button.setValue(value);
    QCOMPARE(button.getLayout(), type);
}

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
