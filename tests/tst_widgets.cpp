#include <QtTest>

#include <QBoxLayout>
#include <QGroupBox>
#include <QImage>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>

#include "widgets/CAbstractPanelButton.h"
#include "widgets/CLeftPanel.h"
#include "widgets/CSearchEditWidget.h"
#include "widgets/CWinButton.h"
#include "widgets/color.h"

namespace {
QIcon squareIcon(const QColor& color)
{
    QPixmap pixmap(64, 64);
    pixmap.fill(color);
    return QIcon(pixmap);
}

QGroupBox* boxOf(CAbstractPanelButton& button)
{
    return button.findChild<QGroupBox*>(QStringLiteral("mainBox"));
}

QHBoxLayout* topRowOf(CAbstractPanelButton& button)
{
    return qobject_cast<QHBoxLayout*>(button.layout()->itemAt(0)->layout());
}

int countColor(const QImage& image, const QColor& color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixelColor(x, y).rgb() == color.rgb() ? 1 : 0;
    return count;
}
} // namespace

class TestWidgets : public QObject
{
    Q_OBJECT
private slots:
    void leftPanelExpandsOnlyItsOwnWidgets();
    void leftPanelExpandsTheSender();
    void leftPanelIgnoresNullItems();

    void panelBoxVisibilityOnToggle_data();
    void panelBoxVisibilityOnToggle();
    void panelBoxVisibilityOnFullView_data();
    void panelBoxVisibilityOnFullView();
    void panelTitleShowsOnlyInFullView();
    void panelMarkerFollowsCheckedState();
    void panelIconPlacement_data();
    void panelIconPlacement();
    void panelFlashesAndFadesBack_data();
    void panelFlashesAndFadesBack();
    void panelTogglesOnlyFromItsHeader();

    void searchConfirms_data();
    void searchConfirms();
    void searchClearAlwaysReportsEmptyText();
    void searchSetTextDoesNotConfirm();
    void searchForwardsItsValidator();

    void winButtonLayoutType_data();
    void winButtonLayoutType();
    void winButtonTracksHover();
    void winButtonWrapsInItsInnerBox();
    void winButtonPaintsValueBoxOnlyWithValue_data();
    void winButtonPaintsValueBoxOnlyWithValue();
};

void TestWidgets::leftPanelExpandsOnlyItsOwnWidgets()
{
    CLeftPanel panel;
    auto* first = new QLabel(QStringLiteral("first"));
    auto* second = new QLabel(QStringLiteral("second"));
    panel.addWidget(first);
    panel.addWidget(second, 2);
    auto* layout = qobject_cast<QBoxLayout*>(panel.layout());
    QVERIFY(layout != nullptr);

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

void TestWidgets::leftPanelExpandsTheSender()
{
    CLeftPanel panel;
    auto* button = new QPushButton(QStringLiteral("grow"));
    panel.addWidget(new QLabel(QStringLiteral("head")));
    panel.addWidget(button);
    panel.addEndSequence();
    // The default argument of the slot is only reachable through a string connection.
    connect(button, SIGNAL(clicked()), &panel, SLOT(expandWidget()));
    button->click();
    auto* layout = qobject_cast<QBoxLayout*>(panel.layout());
    QCOMPARE(layout->count(), 3);
    QCOMPARE(layout->stretch(1), 50);
    QCOMPARE(layout->stretch(0), 0);
}

void TestWidgets::leftPanelIgnoresNullItems()
{
    CLeftPanel panel;
    panel.addWidget(nullptr);
    panel.addLayout(nullptr);
    QCOMPARE(panel.layout()->count(), 0);
    panel.expandWidget(nullptr); // no sender either: nothing to expand
    QCOMPARE(panel.layout()->count(), 0);
}

void TestWidgets::panelBoxVisibilityOnToggle_data()
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

void TestWidgets::panelBoxVisibilityOnToggle()
{
    QFETCH(bool, fullView);
    QFETCH(bool, hasItems);
    QFETCH(bool, checked);
    QFETCH(bool, boxShown);
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    button.setFullView(fullView);
    if (hasItems)
        button.addWidget(new QLineEdit());
    QVERIFY(boxOf(button)->isHidden());
    button.setChecked(true);
    button.setChecked(checked);
    QCOMPARE(!boxOf(button)->isHidden(), boxShown);
}

void TestWidgets::panelBoxVisibilityOnFullView_data()
{
    QTest::addColumn<bool>("extraGroupVisible");
    QTest::addColumn<bool>("full");
    QTest::addColumn<bool>("boxShown");
    QTest::newRow("full view with the extra group opens the box") << true << true << true;
    QTest::newRow("full view without the extra group closes it") << false << true << false;
    QTest::newRow("leaving full view closes it") << true << false << false;
}

void TestWidgets::panelBoxVisibilityOnFullView()
{
    QFETCH(bool, extraGroupVisible);
    QFETCH(bool, full);
    QFETCH(bool, boxShown);
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    button.addWidget(new QLineEdit());
    button.setChecked(true);
    button.setExtraGroupVisible(extraGroupVisible);
    button.setFullView(full);
    QCOMPARE(!boxOf(button)->isHidden(), boxShown);
    // Unchecking always closes the box, whatever the view.
    button.setChecked(false);
    QVERIFY(boxOf(button)->isHidden());
}

void TestWidgets::panelTitleShowsOnlyInFullView()
{
    CAbstractPanelButton button(QStringLiteral("Server authorization"), QIcon(), nullptr);
    auto* title = button.findChild<QLabel*>(QStringLiteral("titleLable"));
    QVERIFY(title != nullptr);
    QCOMPARE(title->text(), QStringLiteral("Server authorization"));
    QVERIFY(title->isHidden());
    button.setFullView(true);
    QVERIFY(!title->isHidden());
    button.setFullView(false);
    QVERIFY(title->isHidden());
}

void TestWidgets::panelMarkerFollowsCheckedState()
{
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    QWidget* marker = topRowOf(button)->itemAt(0)->widget();
    QVERIFY(marker != nullptr);
    QCOMPARE(marker->maximumWidth(), 6);
    QVERIFY(marker->styleSheet().contains(QStringLiteral("rgba(0, 0, 0, 0%)")));
    button.setChecked(true);
    QCOMPARE(marker->styleSheet(), QStringLiteral("QWidget{background-color: #f5494d;}"));
    button.setChecked(false);
    QVERIFY(marker->styleSheet().contains(QStringLiteral("rgba(0, 0, 0, 0%)")));
}

void TestWidgets::panelIconPlacement_data()
{
    QTest::addColumn<QList<int>>("aligns");
    QTest::addColumn<int>("expectedAlign");
    QTest::addColumn<int>("expectedIndex");
    QTest::addColumn<bool>("warns");
    QTest::newRow("the icon starts on the left") << QList<int>{} << 1 << 1 << false;
    QTest::newRow("right alignment moves it to the end") << QList<int>{2} << 2 << 2 << false;
    QTest::newRow("back to the left after the marker") << QList<int>{2, 1} << 1 << 1 << false;
    QTest::newRow("an unsupported alignment falls back to the left") << QList<int>{2, 32} << 1 << 1 << true;
}

void TestWidgets::panelIconPlacement()
{
    QFETCH(QList<int>, aligns);
    QFETCH(int, expectedAlign);
    QFETCH(int, expectedIndex);
    QFETCH(bool, warns);
    CAbstractPanelButton button(QStringLiteral("Server"), squareIcon(Qt::red), nullptr);
    auto* icon = button.findChild<QLabel*>(QStringLiteral("icoLab"));
    QVERIFY(icon != nullptr);
    QCOMPARE(icon->pixmap(Qt::ReturnByValue).size(), QSize(40, 40));
    if (warns)
        QTest::ignoreMessage(QtDebugMsg, "[CAbstractPanelButton::setPicAlign] Current alingn for ICO is not "
                                         "supported. Auto-apply with Qt::AlignLeft");
    for (int align : aligns)
        button.setPicAlign(align);
    QCOMPARE(button.getPicAlign(), expectedAlign);
    QCOMPARE(topRowOf(button)->indexOf(icon), expectedIndex);
    QCOMPARE(topRowOf(button)->count(), 3);
}

void TestWidgets::panelFlashesAndFadesBack_data()
{
    QTest::addColumn<bool>("useDefault");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QColor>("flash");
    QTest::newRow("without an argument it flashes green") << true << true << QC_GLOB_GREEN2_L2;
    QTest::newRow("a success flashes green") << false << true << QC_GLOB_GREEN2_L2;
    QTest::newRow("a failure flashes red") << false << false << QC_GLOB_RED1_L2;
}

void TestWidgets::panelFlashesAndFadesBack()
{
    QFETCH(bool, useDefault);
    QFETCH(bool, success);
    QFETCH(QColor, flash);
    CAbstractPanelButton button(QStringLiteral("Server"), QIcon(), nullptr);
    if (useDefault)
        button.animationEvent();
    else
        button.animationEvent(success);
    QCOMPARE(button.getBackColor(), flash);
    QCOMPARE(button.styleSheet(),
             QStringLiteral("CAbstractPanelButton { background-color: rgba(%1, %2, %3, 255);}")
                 .arg(flash.red())
                 .arg(flash.green())
                 .arg(flash.blue()));
    // Within a second it fades to the normal colour and hands the look back to the sheet.
    QTRY_COMPARE_WITH_TIMEOUT(button.getBackColor(), QC_GLOB_WHITE1_L1, 3000);
    QTRY_VERIFY(button.styleSheet().isEmpty());
}

void TestWidgets::panelTogglesOnlyFromItsHeader()
{
    CAbstractPanelButton button(QStringLiteral("Server"), squareIcon(Qt::red), nullptr);
    auto* field = new QLineEdit();
    button.addWidget(field);
    button.setFullView(true);
    button.resize(250, 150);
    button.show();
    QVERIFY(QTest::qWaitForWindowExposed(&button));
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(100, 5));
    QVERIFY(button.isChecked());
    QVERIFY(!boxOf(button)->isHidden());
    const QPoint inBox = boxOf(button)->geometry().bottomLeft() + QPoint(2, -2);
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, inBox);
    QVERIFY(button.isChecked());
    QTest::mouseClick(&button, Qt::LeftButton, Qt::NoModifier, QPoint(100, 5));
    QVERIFY(!button.isChecked());
    QVERIFY(boxOf(button)->isHidden());
}

void TestWidgets::searchConfirms_data()
{
    QTest::addColumn<int>("how");
    QTest::newRow("the Return key confirms") << int(Qt::Key_Return);
    QTest::newRow("the Enter key confirms") << int(Qt::Key_Enter);
    QTest::newRow("the search button confirms") << 0;
}

void TestWidgets::searchConfirms()
{
    QFETCH(int, how);
    CSearchEditWidget search;
    QSignalSpy typed(&search, &CSearchEditWidget::textImmediatelyChanged);
    QSignalSpy confirmed(&search, &CSearchEditWidget::textChangedSignal);
    auto* edit = search.findChild<QLineEdit*>();
    QTest::keyClicks(edit, QStringLiteral("lab"));
    QCOMPARE(typed.count(), 3);
    QCOMPARE(typed.at(2).at(0).toString(), QStringLiteral("lab"));
    QCOMPARE(confirmed.count(), 0);
    if (how == 0)
        search.findChildren<QPushButton*>(QStringLiteral("searchBtn")).at(0)->click();
    else
        QTest::keyClick(edit, Qt::Key(how));
    QCOMPARE(confirmed.count(), 1);
    QCOMPARE(confirmed.at(0).at(0).toString(), QStringLiteral("lab"));
    QCOMPARE(edit->text(), QStringLiteral("lab"));
}

void TestWidgets::searchClearAlwaysReportsEmptyText()
{
    CSearchEditWidget search;
    QSignalSpy confirmed(&search, &CSearchEditWidget::textChangedSignal);
    const QList<QPushButton*> buttons = search.findChildren<QPushButton*>(QStringLiteral("searchBtn"));
    QCOMPARE(buttons.size(), 2);
    QCOMPARE(buttons.at(1)->size(), QSize(26, 26));
    buttons.at(1)->click(); // already empty
    QCOMPARE(confirmed.count(), 1);
    QVERIFY(confirmed.at(0).at(0).toString().isEmpty());
    search.setText(QStringLiteral("office"));
    search.clear();
    QCOMPARE(confirmed.count(), 2);
    QVERIFY(confirmed.at(1).at(0).toString().isEmpty());
    QVERIFY(search.text().isEmpty());
}

void TestWidgets::searchSetTextDoesNotConfirm()
{
    CSearchEditWidget search;
    QSignalSpy typed(&search, &CSearchEditWidget::textImmediatelyChanged);
    QSignalSpy confirmed(&search, &CSearchEditWidget::textChangedSignal);
    search.setText(QStringLiteral("meter"));
    QCOMPARE(typed.count(), 1);
    QCOMPARE(confirmed.count(), 0);
    QCOMPARE(search.text(), QStringLiteral("meter"));
}

void TestWidgets::searchForwardsItsValidator()
{
    CSearchEditWidget search;
    QIntValidator digits(0, 999);
    search.setValidator(&digits);
    QTest::keyClicks(search.findChild<QLineEdit*>(), QStringLiteral("1a2"));
    QCOMPARE(search.text(), QStringLiteral("12"));
}

void TestWidgets::winButtonLayoutType_data()
{
    QTest::addColumn<bool>("withIcon");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::addColumn<int>("type");
    QTest::newRow("nothing set is a single text") << false << QString() << QString() << 1;
    QTest::newRow("a name alone is a single text") << false << "Start" << QString() << 1;
    QTest::newRow("a value without a name is a single text") << false << QString() << "12" << 1;
    QTest::newRow("name and value") << false << "Flow"
                                    << "12" << 2;
    QTest::newRow("an empty but set name with a value is name and value") << false << ""
                                                                          << "12" << 2;
    QTest::newRow("an icon without a name is icon only") << true << QString() << "12" << 3;
    QTest::newRow("an icon and a name") << true << "Flow" << QString() << 4;
    QTest::newRow("an icon, an empty name and no value") << true << "" << QString() << 4;
    QTest::newRow("icon, name and value") << true << "Flow"
                                          << "12" << 5;
}

void TestWidgets::winButtonLayoutType()
{
    QFETCH(bool, withIcon);
    QFETCH(QString, name);
    QFETCH(QString, value);
    QFETCH(int, type);
    CWinButton button;
    if (withIcon)
        button.setIcon(squareIcon(Qt::blue));
    if (!name.isNull())
        button.setName(name);
    if (!value.isNull())
        button.setValue(value);
    QCOMPARE(button.getLayout(), type);
}

void TestWidgets::winButtonTracksHover()
{
    CWinButton button(QStringLiteral("Tile"), nullptr);
    QCOMPARE(button.property("sValueColor").value<QColor>(), QColor(QStringLiteral("#800080")));
    QCOMPARE(button.property("sValuePressColor").value<QColor>(), QColor(QStringLiteral("#100010")));
    QHoverEvent enter(QEvent::HoverEnter, QPointF(2, 2), QPointF(-1, -1));
    QVERIFY(QCoreApplication::sendEvent(&button, &enter));
    QVERIFY(button.isHovered());
    QHoverEvent leave(QEvent::HoverLeave, QPointF(-1, -1), QPointF(2, 2));
    QVERIFY(QCoreApplication::sendEvent(&button, &leave));
    QVERIFY(!button.isHovered());
}

void TestWidgets::winButtonWrapsInItsInnerBox()
{
    CWinButton button(QStringLiteral("Tile"), nullptr);
    button.resize(120, 60);
    button.setValSpace(10);
    QImage image(200, 200, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    QString text = QStringLiteral("A rather long name for a tile that has to wrap");
    // A width of 0 means the inner width; a tall box loses half a line.
    const int lineHeight = painter.fontMetrics().boundingRect(text).height();
    const int innerHeight = 60 - 20;
    const int height = innerHeight > 2 * lineHeight ? innerHeight - lineHeight / 2 : innerHeight;
    QCOMPARE(button.prepareText(text, 0, 0, &painter), prepareText(text, 100, height, &painter));
    QVERIFY(button.prepareText(text, 0, 0, nullptr).isEmpty());
}

void TestWidgets::winButtonPaintsValueBoxOnlyWithValue_data()
{
    QTest::addColumn<bool>("withValue");
    QTest::addColumn<bool>("withIcon");
    QTest::addColumn<bool>("boxPainted");
    QTest::newRow("name and value show the value box") << true << false << true;
    QTest::newRow("icon, name and value show the value box") << true << true << true;
    QTest::newRow("a single text has no value box") << false << false << false;
    QTest::newRow("icon and name have no value box") << false << true << false;
}

void TestWidgets::winButtonPaintsValueBoxOnlyWithValue()
{
    QFETCH(bool, withValue);
    QFETCH(bool, withIcon);
    QFETCH(bool, boxPainted);
    CWinButton button(QStringLiteral("Flow"), nullptr);
    if (withValue)
        button.setValue(QStringLiteral("1234"));
    if (withIcon)
        button.setIcon(squareIcon(Qt::blue));
    const QColor boxColor(QStringLiteral("#00ff00"));
    button.setValueColor(boxColor);
    button.resize(160, 60);
    const QImage image = button.grab().toImage();
    QCOMPARE(countColor(image, boxColor) > 20, boxPainted);
    QCOMPARE(countColor(image, Qt::blue) > 100, withIcon);
}

QTEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
