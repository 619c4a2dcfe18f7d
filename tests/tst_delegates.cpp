#include <QApplication>
#include <QLineEdit>
#include <QPainter>
#include <QListView>
#include <QStandardItemModel>
#include <QToolTip>

#include "WorkDir.h"
#include "devices/CAllDeviceHandler.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CDeviceSearchModel.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "ui/CSimpleRegisterEditWidget.h"
#include "widgets/color.h"

namespace {
const QString CounterEui = QStringLiteral("A1B2C3D4E5F60718");
const char CounterTemplate[] =
    R"({"app_eui":"A1B2C3D4E5F60718","dev_type":"Counter","color":"#2a7ab0","device_packets":[{"packet_type":1,)"
    R"("packet_size":5,"packet_fields":[{"packet_bias":1,"data_bit_bias":0,"data_bit_size":32,)"
    R"("data_type":"uinteger","endianness":"be","reg_map_bias":0,"reg_bit_bias":0,"reg_bit_size":32,)"
    R"("data_name":"Counter value"}]}]})";

void addRow(QStandardItemModel& model, const QVariantList& cells)
{
    QList<QStandardItem*> items;
    for (const QVariant& cell : cells) {
        items << new QStandardItem();
        items.last()->setData(cell, Qt::EditRole);
    }
    model.appendRow(items);
}

QVariantList deviceRow(const QString& name, const QString& appEui)
{
    return {1, name, appEui, "0011223344556677", 1502, 0};
}

// The WCAG contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b)
{
    const auto lin = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    const auto lum = [&](const QColor& c) {
        return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF());
    };
    return (qMax(lum(a), lum(b)) + 0.05) / (qMin(lum(a), lum(b)) + 0.05);
}

QVariantList registerRow(const QString& dataType)
{
    return {1, 1502, 10, 0.5, 2.0, 16, dataType, "fffe", "fffe", 0, "Flow", "V", 0, 1};
}

QImage paintRow(const QStyledItemDelegate& delegate, const QAbstractItemModel& model, int row,
                QStyle::State state, QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = state;
    delegate.paint(&painter, option, model.index(row, 0));
    return image;
}
} // namespace

class TestDelegates : public QObject
{
    Q_OBJECT
    std::unique_ptr<CWorkDir> work;
    CDeviceDelegat deviceCard;
    CRegisterDelegat registerCard;
    CSimpleRegisterDelegat dialogCard;
    const QStyledItemDelegate* cards[3] = {&deviceCard, &registerCard, &dialogCard};

private slots:
    void init()
    {
        work.reset(new CWorkDir);
        QVERIFY(work->isValid() && QDir().mkdir(COMM::DEVICE_FOLDER));
        QFile file(COMM::DEVICE_FOLDER + QStringLiteral("/counter.json"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(CounterTemplate) > 0);
        file.close();
        CAllDeviceHandler::getInstance();
    }
    void cleanup()
    {
        CAllDeviceHandler::resetInstance();
        QCoreApplication::processEvents();
        work.reset();
    }

    void registerCardText_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        const auto value = [](const QString& type, const QVariant& stored, int bits, const QString& unit,
                              const FMT::SRegisterFormat& format = {}) {
            return CRegisterDelegat::valueText(type, stored, bits, unit, format);
        };
        const auto range = &CRegisterDelegat::rangeText;
        const auto time = &CRegisterDelegat::timeText;
        QTest::newRow("a 16-bit integer FFFE is -2") << value("integer", "fffe", 16, "") << "-2";
        QTest::newRow("a 16-bit integer reads its first word")
            << value("integer", "7fff0001", 16, "") << "32767";
        QTest::newRow("a 32-bit integer with a unit") << value("integer", "fffffffe", 32, "l") << "-2 [l]";
        QTest::newRow("a 64-bit integer of all ones is -1")
            << value("integer", "ffffffffffffffff", 64, "") << "-1";
        QTest::newRow("an unsigned is the whole image in hex")
            << value("uinteger", "0001fffe", 16, "V") << "131070 [V]";
        QTest::newRow("an unsigned that is not hexadecimal reads 0")
            << value("uinteger", "zz", 16, "") << "0";
        // 1234.5 = float 0x449A5000; a float of a 64-bit datum takes its first two registers.
        QTest::newRow("a float32 in CDAB shows the float its words hold")
            << value("uinteger", "5000449a", 32, "m3", {true, FMT::ORDER_CDAB}) << "1234.5 [m3]";
        QTest::newRow("a float32 of a 64-bit datum in DCBA shows the float")
            << value("integer", "00509a4400000000", 64, "", {true, FMT::ORDER_DCBA}) << "1234.5";
        QTest::newRow("a 32-bit integer in BADC shows its value")
            << value("integer", "fffffeff", 32, "", {false, FMT::ORDER_BADC}) << "-2";
        QTest::newRow("a text shows as stored without unit") << value("text", "hello", 32, "V") << "hello";
        QTest::newRow("a text stops at a NUL")
            << value("text", QString(QStringLiteral("ab") + QChar(0) + "cd"), 32, "") << "ab";
        QTest::newRow("a NULL value is never received")
            << value("integer", QVariant(QVariant::String), 16, "V") << "NEVER RECEIVING";
        QTest::newRow("a boolean is not shown") << value("boolean", "0001", 16, "") << "NEVER RECEIVING";
        QTest::newRow("a 16-bit register names one address") << range(10, 16) << "ModBUS register[10]";
        QTest::newRow("17 bits spill into a second register") << range(10, 17) << "ModBUS register[10..11]";
        // The card reads the time cell as an unsigned number, so NULL arrives as 0.
        QTest::newRow("a zero or NULL time is never received")
            << time(QVariant(QVariant::ULongLong).toULongLong()) << "NEVER RECEIVING";
        QTest::newRow("a time shows to the second") << time(1615811696789ULL) << "15-Mar-21 12:34:56";
    }

    void registerCardText()
    {
        QFETCH(QString, actual);
        QTEST(actual, "expected");
    }

    void cardBackground_data()
    {
        QTest::addColumn<int>("card");    // 0 device, 1 register, 2 register in a dialog
        QTest::addColumn<int>("columns"); // -1 for a whole row
        QTest::addColumn<int>("row");
        QTest::addColumn<int>("state");
        QTest::addColumn<QColor>("expected");
        const int none = QStyle::State_None;
        const int selected = QStyle::State_Selected;
        QTest::newRow("an even device card is the opaque template colour")
            << 0 << -1 << 0 << none << QColor("#2a7ab0");
        QTest::newRow("a selected device card is darker") << 0 << -1 << 0 << selected << QColor(32, 93, 135);
        QTest::newRow("a card without a template is dark grey")
            << 0 << -1 << 2 << none << QColor(QC_GLOB_BLACK1_L0);
        QTest::newRow("an even register card is the lightest grey")
            << 1 << -1 << 0 << none << QC_GLOB_BLACK6C_10;
        QTest::newRow("an odd register card in a dialog is darker")
            << 2 << -1 << 1 << none << QC_GLOB_BLACK6C_25;
        QTest::newRow("a device row of 5 columns paints nothing") << 0 << 5 << 0 << selected << QColor();
        QTest::newRow("a register row of 13 columns paints nothing") << 1 << 13 << 0 << selected << QColor();
        QTest::newRow("a dialog row of 13 columns paints nothing") << 2 << 13 << 0 << selected << QColor();
    }

    void cardBackground()
    {
        QFETCH(int, card);
        QFETCH(int, columns);
        QFETCH(int, row);
        QFETCH(int, state);
        QFETCH(QColor, expected);
        QStandardItemModel model;
        for (const QString& eui : {CounterEui, CounterEui, QStringLiteral("FFFF000000000000")}) {
            const QVariantList cells =
                card == 0 ? deviceRow(QStringLiteral("Meter"), eui) : registerRow("integer");
            addRow(model, cells.mid(0, columns));
        }
        const int heights[] = {30, 40, 65};
        const QImage image =
            paintRow(*cards[card], model, row, QStyle::State(state), QSize(300, heights[card]));
        if (!expected.isValid()) {
            QImage blank(image.size(), image.format());
            blank.fill(Qt::transparent);
            QCOMPARE(image, blank);
            return;
        }
        // A pixel no text reaches (text is inset by 2); premultiplied alpha may round by a unit or two.
        const QColor actual = image.pixelColor(1, image.height() - 10);
        const bool close =
            qAbs(actual.red() - expected.red()) <= 2 && qAbs(actual.green() - expected.green()) <= 2 &&
            qAbs(actual.blue() - expected.blue()) <= 2 && qAbs(actual.alpha() - expected.alpha()) <= 1;
        QVERIFY2(close, qPrintable(actual.name(QColor::HexArgb)));
    }

    void deviceCardTextsFit_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("type");
        // How name and type show: whole, cut (a start of the text and an ellipsis) or none.
        QTest::addColumn<QString>("shows");
        const QString longName = QStringLiteral("Boiler room north wall, second floor, behind the pump");
        const QString longType =
            QStringLiteral("Combined temperature, humidity and air quality sensor (indoor)");
        QTest::newRow("short texts on a wide card are whole") << 400 << "Boiler"
                                                              << "Counter"
                                                              << "whole whole";
        QTest::newRow("a long name ends in dots") << 200 << longName << "Counter"
                                                  << "cut whole";
        QTest::newRow("a long type yields to the EUI") << 300 << "Boiler" << longType << "whole cut";
        QTest::newRow("on a narrow card the type shrinks to nothing")
            << 110 << "Boiler" << longType << "whole none";
    }

    void deviceCardTextsFit()
    {
        QFETCH(int, width);
        QFETCH(QString, name);
        QFETCH(QString, type);
        const QString eui = QStringLiteral("0011223344556677");
        const QRect rect(0, 0, width, 30);
        const auto card = CDeviceDelegat::cardLayout(rect, QFont(), name, eui, type);
        const auto shows = [](const QString& shown, const QString& text) {
            if (shown == text)
                return QStringLiteral("whole");
            if (shown.size() > 1 && shown.endsWith(QChar(0x2026)) && text.startsWith(shown.chopped(1)))
                return QStringLiteral("cut");
            return shown.isEmpty() ? QStringLiteral("none") : QString("wrong(" + shown + ")");
        };
        QTEST(QString(shows(card.name, name) + " " + shows(card.type, type)), "shows");
        QCOMPARE(card.eui, eui);
        // The type sits right of the EUI and takes no room when it shows nothing.
        QVERIFY(card.typeRect.left() > card.euiRect.right());
        QCOMPARE(card.typeRect.width() == 0, card.type.isEmpty());
        QVERIFY(card.nameRect.right() <= rect.right() && card.typeRect.right() <= rect.right());
    }

    void deviceCardWithoutTemplateIsLegible()
    {
        for (QStyle::State state : {QStyle::State_None, QStyle::State_Selected})
            for (int row : {0, 1}) {
                const QColor c = CDeviceDelegat::backgroundColor(QColor(), row, state);
                const double a = c.alphaF(); // odd cards lie over the white list
                const QColor back =
                    QColor::fromRgbF(c.redF() * a + 1 - a, c.greenF() * a + 1 - a, c.blueF() * a + 1 - a);
                for (const QColor& text : CDeviceDelegat::textColors(false).mid(0, 2))
                    QVERIFY2(contrast(text, back) >= 4.5, qPrintable(text.name() + " on " + back.name()));
            }
    }

    void deviceCardToolTipNamesAll()
    {
        QStandardItemModel model;
        const QString name = QStringLiteral("Boiler room north wall, second floor, behind the pump");
        addRow(model, deviceRow(name, CounterEui));
        QListView view;
        view.setItemDelegate(&deviceCard);
        view.setModel(&model);
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        const QPoint at = view.visualRect(model.index(0, 0)).center();
        QHelpEvent event(QEvent::ToolTip, at, view.viewport()->mapToGlobal(at));
        QApplication::sendEvent(view.viewport(), &event);
        QCOMPARE(QToolTip::text(), name + "\nEUI: 0011223344556677\nType: Counter\nTCP port: 1502");
    }

    void searchFiltersNamesIgnoringCase()
    {
        QStandardItemModel source;
        addRow(source, deviceRow(QStringLiteral("Laboratory"), CounterEui));
        addRow(source, deviceRow(QStringLiteral("Office"), QStringLiteral("lab"))); // only the name may match
        addRow(source, deviceRow(QStringLiteral("LAB-2"), CounterEui));
        CDeviceSearchModel proxy;
        proxy.setSourceModel(&source);
        const auto shown = [&proxy](const QString& search) {
            proxy.setSearchValue(search);
            QStringList names;
            for (int row = 0; row < proxy.rowCount(); ++row)
                names << proxy.index(row, DB::DEV_COL_NAME).data().toString();
            return names;
        };
        QCOMPARE(shown("lab"), QStringList({"Laboratory", "LAB-2"}));
        // The empty search must undo a filter.
        QCOMPARE(shown(""), QStringList({"Laboratory", "Office", "LAB-2"}));
    }

    void editorScalesNumbersOnly_data()
    {
        QTest::addColumn<QString>("extra");
        QTest::addColumn<double>("storedExtra");
        QTest::addColumn<QString>("multiplier");
        QTest::addColumn<double>("storedMultiplier");
        QTest::addColumn<QString>("dataType");
        QTest::newRow("a negative offset is kept, letters and a multiplier's sign are refused")
            << "-x3.25" << -3.25 << "-+a0.1" << 0.1 << "integer";
        QTest::newRow("an unsigned stores a zero multiplier as one")
            << "1" << 1.0 << "0.0" << 1.0 << "uinteger";
        QTest::newRow("empty fields store zero, the multiplier then one")
            << "" << 0.0 << "" << 1.0 << "integer";
        QTest::newRow("a text has no editor") << QString() << 0.0 << QString() << 0.0 << "text";
    }

    void editorScalesNumbersOnly()
    {
        QFETCH(QString, extra);
        QFETCH(double, storedExtra);
        QFETCH(QString, multiplier);
        QFETCH(double, storedMultiplier);
        QFETCH(QString, dataType);
        QStandardItemModel model;
        addRow(model, registerRow(dataType));
        QWidget parent;
        QWidget* editor = dialogCard.createEditor(&parent, QStyleOptionViewItem(), model.index(0, 0));
        QCOMPARE(qobject_cast<CSimpleRegisterEditWidget*>(editor) != nullptr, !extra.isNull());
        if (editor == nullptr)
            return;
        dialogCard.setEditorData(editor, model.index(0, 0));
        const QList<QLineEdit*> fields = editor->findChildren<QLineEdit*>();
        QStringList shown;
        for (QLineEdit* field : fields) {
            shown << field->text();
            field->clear();
        }
        QCOMPARE(shown, (QStringList{"0.500000", "2.000000", "V"}));
        QTest::keyClicks(fields.at(0), extra);
        QTest::keyClicks(fields.at(1), multiplier);
        QTest::keyClicks(fields.at(2), QStringLiteral("kWh"));
        dialogCard.setModelData(editor, &model, model.index(0, 0));
        // Only the extra value (3), the multiplier (4) and the unit (11) are written.
        QVariantList expected = registerRow(dataType);
        expected[3] = storedExtra;
        expected[4] = storedMultiplier;
        expected[11] = QStringLiteral("kWh");
        QVariantList actual;
        for (int column = 0; column < model.columnCount(); ++column)
            actual << model.index(0, column).data(Qt::EditRole);
        QCOMPARE(actual, expected);
    }
};

int main(int argc, char* argv[])
{
    // Card times are local: pin the zone and the month names.
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "C");
    QApplication app(argc, argv);
    TestDelegates test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_delegates.moc"
