#include <QtTest>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QStandardItemModel>
#include <QTemporaryDir>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CDeviceSearchModel.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "ui/CSimpleRegisterEditWidget.h"
#include "widgets/color.h"

namespace {
const QString CounterEui = QStringLiteral("A1B2C3D4E5F60718");
const QColor CounterColor(QStringLiteral("#2a7ab0"));
const char CounterTemplate[] =
    R"({"app_eui":"A1B2C3D4E5F60718","dev_type":"Counter","color":"#2a7ab0","device_packets":[{"packet_type":1,)"
    R"("packet_size":5,"packet_fields":[{"packet_bias":1,"data_bit_bias":0,"data_bit_size":32,)"
    R"("data_type":"uinteger","endianness":"be","reg_map_bias":0,"reg_bit_bias":0,"reg_bit_size":32,)"
    R"("data_name":"Counter value"}]}]})";

// A point of the card that no text reaches: text is inset by 2 pixels.
const QPoint BackgroundPoint(1, 20);

QImage paintRow(const QStyledItemDelegate& delegate, const QAbstractItemModel& model, int row,
                QStyle::State state, QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QStyleOptionViewItem option;
    option.rect = QRect(QPoint(0, 0), size);
    option.state = state;
    option.font = QApplication::font();
    delegate.paint(&painter, option, model.index(row, 0));
    painter.end();
    return image;
}

bool isBlank(const QImage& image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

bool sameColor(const QColor& actual, const QColor& expected)
{
    // Odd device rows are translucent: premultiplication rounds by a unit.
    return qAbs(actual.red() - expected.red()) <= 2 && qAbs(actual.green() - expected.green()) <= 2 &&
           qAbs(actual.blue() - expected.blue()) <= 2 && qAbs(actual.alpha() - expected.alpha()) <= 1;
}

void fillDeviceRow(QStandardItemModel& model, int row, const QString& name, const QString& appEui)
{
    model.setItem(row, DB::DEV_COL_DEVICE, new QStandardItem(QString::number(row + 1)));
    model.setItem(row, DB::DEV_COL_NAME, new QStandardItem(name));
    model.setItem(row, DB::DEV_COL_APPEUI, new QStandardItem(appEui));
    model.setItem(row, DB::DEV_COL_DEVEUI,
                  new QStandardItem(QStringLiteral("00112233445566%1").arg(row, 2, 10, QChar('0'))));
    model.setItem(row, DB::DEV_COL_PORT, new QStandardItem(QStringLiteral("1502")));
    model.setItem(row, DB::DEV_COL_STARTADDR, new QStandardItem(QStringLiteral("0")));
}

void fillRegisterRow(QStandardItemModel& model, int row, const QString& dataType)
{
    const QVariantList cells = {1, 1502, 10, 0.5, 2.0, 16, dataType, "fffe", "fffe", 0, "Flow", "V", 0, 1};
    for (int column = 0; column < cells.size(); ++column) {
        auto* item = new QStandardItem();
        item->setData(cells.at(column), Qt::EditRole);
        model.setItem(row, column, item);
    }
}
} // namespace

class TestDelegates : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void registerValueText_data();
    void registerValueText();
    void registerRangeText_data();
    void registerRangeText();
    void registerTimeText_data();
    void registerTimeText();
    void unsupportedTypesAreLogged_data();
    void unsupportedTypesAreLogged();

    void registerBackground_data();
    void registerBackground();
    void registerCardPaintsItsBackground_data();
    void registerCardPaintsItsBackground();
    void deviceBackground_data();
    void deviceBackground();
    void deviceCardPaintsTemplateColour_data();
    void deviceCardPaintsTemplateColour();
    void deviceCardWithoutTemplateIsBlack();
    void wrongColumnCountPaintsNothing_data();
    void wrongColumnCountPaintsNothing();

    void searchFiltersNamesIgnoringCase_data();
    void searchFiltersNamesIgnoringCase();

    void editorShowsSixDecimals();
    void editorValidatorRefusesSignsAndLetters_data();
    void editorValidatorRefusesSignsAndLetters();
    void editorTypingKeepsOnlyDigitsAndPoint();
    void editorUnconvertibleTextReadsZero();
    void editorOnlyForNumbers_data();
    void editorOnlyForNumbers();
    void editorLoadsTheRow();
    void editorStoresInOrder_data();
    void editorStoresInOrder();
    void simpleCardPaintsItsBackground_data();
    void simpleCardPaintsItsBackground();

private:
    QTemporaryDir* tempDir = nullptr;
    QString previousDir;
};

void TestDelegates::init()
{
    previousDir = QDir::currentPath();
    tempDir = new QTemporaryDir();
    QVERIFY(tempDir->isValid());
    QVERIFY(QDir::setCurrent(tempDir->path()));
    QVERIFY(QDir().mkdir(COMM::DEVICE_FOLDER));
    QFile file(COMM::DEVICE_FOLDER + QStringLiteral("/counter.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(CounterTemplate);
    file.close();
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    CAllDeviceHandler::resetInstance();
    CAllDeviceHandler::getInstance();
}

void TestDelegates::cleanup()
{
    CAllDeviceHandler::resetInstance();
    QCoreApplication::processEvents();
    delete CLogFile::getInstance();
    QDir::setCurrent(previousDir);
    delete tempDir;
    tempDir = nullptr;
}

void TestDelegates::registerValueText_data()
{
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QVariant>("fullValue");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QString>("expected");
    const QVariant null(QVariant::String);
    QTest::newRow("a 16-bit integer FFFE is -2") << "integer" << QVariant("fffe") << 16 << ""
                                                 << "-2";
    QTest::newRow("a narrow integer still reads two bytes") << "integer" << QVariant("0005") << 8 << ""
                                                            << "5";
    QTest::newRow("a 16-bit integer reads only its first word")
        << "integer" << QVariant("7fff0001") << 16 << ""
        << "32767";
    QTest::newRow("a 32-bit integer reads four bytes") << "integer" << QVariant("fffffffe") << 32 << ""
                                                       << "-2";
    QTest::newRow("a 32-bit integer with a unit") << "integer" << QVariant("00010000") << 32 << "l"
                                                  << "65536 [l]";
    QTest::newRow("a 48-bit integer reads eight bytes, missing ones as zero")
        << "integer" << QVariant("000000000001") << 48 << ""
        << "65536";
    QTest::newRow("a 64-bit integer of all ones is -1")
        << "integer" << QVariant("ffffffffffffffff") << 64 << ""
        << "-1";
    QTest::newRow("a short 32-bit image is padded on the right") << "integer" << QVariant("01") << 32 << ""
                                                                 << "16777216";
    QTest::newRow("an unsigned FFFE is 65534") << "uinteger" << QVariant("fffe") << 16 << ""
                                               << "65534";
    QTest::newRow("an unsigned with unit V") << "uinteger" << QVariant("fffe") << 16 << "V"
                                             << "65534 [V]";
    QTest::newRow("an unsigned reads the whole image whatever the size")
        << "uinteger" << QVariant("0001fffe") << 16 << ""
        << "131070";
    QTest::newRow("an unsigned of 64 ones bits") << "uinteger" << QVariant("ffffffffffffffff") << 64 << ""
                                                 << "18446744073709551615";
    QTest::newRow("an unsigned that is not hexadecimal reads 0") << "uinteger" << QVariant("zz") << 16 << "V"
                                                                 << "0 [V]";
    QTest::newRow("an unsigned wider than 64 bits reads 0")
        << "uinteger" << QVariant("1ffffffffffffffff") << 64 << ""
        << "0";
    QTest::newRow("a text shows as stored without unit") << "text" << QVariant("hello") << 32 << "V"
                                                         << "hello";
    QTest::newRow("a text stops at its first NUL")
        << "text" << QVariant(QStringLiteral("ab") + QChar(0) + "cd") << 32 << ""
        << "ab";
    QTest::newRow("a never received integer") << "integer" << null << 16 << "V"
                                              << "NEVER RECEIVING";
    QTest::newRow("a never received unsigned") << "uinteger" << null << 16 << ""
                                               << "NEVER RECEIVING";
    QTest::newRow("a never received text") << "text" << null << 16 << ""
                                           << "NEVER RECEIVING";
}

void TestDelegates::registerValueText()
{
    QFETCH(QString, dataType);
    QFETCH(QVariant, fullValue);
    QFETCH(int, bitSize);
    QFETCH(QString, unit);
    QFETCH(QString, expected);
    QCOMPARE(CRegisterDelegat::valueText(dataType, fullValue, bitSize, unit), expected);
}

void TestDelegates::registerRangeText_data()
{
    QTest::addColumn<int>("addr");
    QTest::addColumn<int>("bitSize");
    QTest::addColumn<QString>("expected");
    QTest::newRow("a 16-bit register names one address") << 10 << 16 << "ModBUS register[10]";
    QTest::newRow("a single bit names one address") << 10 << 1 << "ModBUS register[10]";
    QTest::newRow("17 bits spill into a second register") << 10 << 17 << "ModBUS register[10..11]";
    QTest::newRow("a 32-bit register spans two") << 10 << 32 << "ModBUS register[10..11]";
    QTest::newRow("a 48-bit register spans three") << 10 << 48 << "ModBUS register[10..12]";
    QTest::newRow("a 64-bit register at 0 spans four") << 0 << 64 << "ModBUS register[0..3]";
}

void TestDelegates::registerRangeText()
{
    QFETCH(int, addr);
    QFETCH(int, bitSize);
    QFETCH(QString, expected);
    QCOMPARE(CRegisterDelegat::rangeText(addr, bitSize), expected);
}

void TestDelegates::registerTimeText_data()
{
    QTest::addColumn<quint64>("msecs");
    QTest::addColumn<QString>("expected");
    QTest::newRow("zero means never received") << quint64(0) << "NEVER RECEIVING";
    QTest::newRow("a time shows to the second") << quint64(1615811696789) << "15-Mar-21 12:34:56";
    QTest::newRow("the first millisecond of the epoch") << quint64(1) << "01-Jan-70 00:00:00";
}

void TestDelegates::registerTimeText()
{
    QFETCH(quint64, msecs);
    QFETCH(QString, expected);
    QCOMPARE(CRegisterDelegat::timeText(msecs), expected);
}

void TestDelegates::unsupportedTypesAreLogged_data()
{
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<QString>("logLine");
    QTest::newRow("a boolean register is not shown")
        << "boolean"
        << "[CRegisterDelegat::paint] Unsupporting dataType: BOOLEAN";
    QTest::newRow("an unknown type is not shown") << "float"
                                                  << "[CRegisterDelegat::paint] Unknown data type!";
}

void TestDelegates::unsupportedTypesAreLogged()
{
    QFETCH(QString, dataType);
    QFETCH(QString, logLine);
    QCOMPARE(CRegisterDelegat::valueText(dataType, QVariant("0001"), 16, QString()),
             QStringLiteral("NEVER RECEIVING"));
    QTRY_VERIFY([&]() {
        QFile log(COMM::LOG_FILENAME);
        return log.open(QIODevice::ReadOnly) && QString::fromUtf8(log.readAll()).contains(logLine);
    }());
}

void TestDelegates::registerBackground_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("an even row is the lightest grey") << 0 << int(QStyle::State_None) << QC_GLOB_BLACK6C_10;
    QTest::newRow("an odd row is a darker grey") << 1 << int(QStyle::State_None) << QC_GLOB_BLACK6C_25;
    QTest::newRow("a selected row is darker still") << 1 << int(QStyle::State_Selected) << QC_GLOB_BLACK6C_45;
    QTest::newRow("a hovered even row too") << 2 << int(QStyle::State_MouseOver) << QC_GLOB_BLACK6C_45;
}

void TestDelegates::registerBackground()
{
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QCOMPARE(CRegisterDelegat::backgroundColor(row, QStyle::State(state)), expected);
}

void TestDelegates::registerCardPaintsItsBackground_data()
{
    registerBackground_data();
}

void TestDelegates::registerCardPaintsItsBackground()
{
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel model;
    for (int r = 0; r < 3; ++r)
        fillRegisterRow(model, r, QStringLiteral("integer"));
    CRegisterDelegat delegate;
    QCOMPARE(delegate.sizeHint(QStyleOptionViewItem(), model.index(row, 0)), QSize(100, 40));
    const QImage image = paintRow(delegate, model, row, QStyle::State(state), QSize(300, 40));
    QCOMPARE(image.pixelColor(BackgroundPoint), expected);
    // The value -2 is drawn in the value green somewhere on the card.
    bool valueInk = false;
    for (int y = 0; y < image.height() && !valueInk; ++y)
        for (int x = 0; x < image.width() && !valueInk; ++x)
            valueInk = image.pixelColor(x, y) == QC_GLOB_GREEN2_D1;
    QVERIFY(valueInk);
}

void TestDelegates::deviceBackground_data()
{
    QTest::addColumn<QColor>("templateColor");
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("an even row is the opaque template colour")
        << CounterColor << 0 << int(QStyle::State_None) << CounterColor;
    QTest::newRow("an odd row is the template colour at alpha 200")
        << CounterColor << 1 << int(QStyle::State_None) << QColor(0x2a, 0x7a, 0xb0, 200);
    QTest::newRow("a selected odd row is darkened and opaque")
        << CounterColor << 1 << int(QStyle::State_Selected) << QColor(32, 93, 135);
    QTest::newRow("a hovered row is darkened")
        << QColor(Qt::white) << 0 << int(QStyle::State_MouseOver) << QColor(196, 196, 196);
    QTest::newRow("no template colour paints black")
        << QColor() << 0 << int(QStyle::State_None) << QColor(Qt::black);
}

void TestDelegates::deviceBackground()
{
    QFETCH(QColor, templateColor);
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QCOMPARE(CDeviceDelegat::backgroundColor(templateColor, row, QStyle::State(state)), expected);
}

void TestDelegates::deviceCardPaintsTemplateColour_data()
{
    QTest::addColumn<int>("row");
    QTest::addColumn<int>("state");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("an even card in the template colour") << 0 << int(QStyle::State_None) << CounterColor;
    QTest::newRow("an odd card translucent") << 1 << int(QStyle::State_None) << QColor(0x2a, 0x7a, 0xb0, 200);
    QTest::newRow("a selected card darker") << 0 << int(QStyle::State_Selected) << QColor(32, 93, 135);
}

void TestDelegates::deviceCardPaintsTemplateColour()
{
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel model;
    fillDeviceRow(model, 0, QStringLiteral("Water meter"), CounterEui);
    fillDeviceRow(model, 1, QStringLiteral("Gas meter"), CounterEui);
    CDeviceDelegat delegate(nullptr);
    const QImage image = paintRow(delegate, model, row, QStyle::State(state), QSize(300, 30));
    QVERIFY2(sameColor(image.pixelColor(BackgroundPoint), expected),
             qPrintable(image.pixelColor(BackgroundPoint).name(QColor::HexArgb)));
    QCOMPARE(CDeviceDelegat::templateInfo(CounterEui).devType, QStringLiteral("Counter"));
}

void TestDelegates::deviceCardWithoutTemplateIsBlack()
{
    QStandardItemModel model;
    fillDeviceRow(model, 0, QStringLiteral("Stray"), QStringLiteral("FFFF000000000000"));
    CDeviceDelegat delegate(nullptr);
    const QImage image = paintRow(delegate, model, 0, QStyle::State_None, QSize(300, 30));
    QCOMPARE(image.pixelColor(BackgroundPoint), QColor(Qt::black));
    QVERIFY(CDeviceDelegat::templateInfo(QStringLiteral("FFFF000000000000")).devType.isEmpty());
}

void TestDelegates::wrongColumnCountPaintsNothing_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("columns");
    QTest::addColumn<QString>("message");
    const QString device = QStringLiteral("[CDeviceDelegat::paintAllRow] ERROR: invalid input data size!");
    const QString reg = QStringLiteral("[CRegisterDelegat::paint] ERROR: invalid input data size!");
    QTest::newRow("a device model of five columns") << 0 << 5 << device;
    QTest::newRow("a device model of seven columns") << 0 << 7 << device;
    QTest::newRow("a register model of thirteen columns") << 1 << 13 << reg;
    QTest::newRow("a register model of fifteen columns") << 1 << 15 << reg;
    QTest::newRow("an editor list of thirteen columns") << 2 << 13 << device;
}

void TestDelegates::wrongColumnCountPaintsNothing()
{
    QFETCH(int, kind);
    QFETCH(int, columns);
    QFETCH(QString, message);
    QStandardItemModel model(2, columns);
    for (int column = 0; column < columns; ++column)
        model.setData(model.index(0, column), QStringLiteral("x"));
    CDeviceDelegat device(nullptr);
    CRegisterDelegat reg;
    CSimpleRegisterDelegat simple(nullptr);
    const QStyledItemDelegate* delegates[] = {&device, &reg, &simple};
    QTest::ignoreMessage(QtDebugMsg, qPrintable(message));
    QVERIFY(isBlank(paintRow(*delegates[kind], model, 0, QStyle::State_Selected, QSize(200, 65))));
}

void TestDelegates::searchFiltersNamesIgnoringCase_data()
{
    QTest::addColumn<QString>("search");
    QTest::addColumn<QStringList>("shown");
    QTest::newRow("lab finds Laboratory and LAB-2") << "lab" << QStringList{"Laboratory", "LAB-2"};
    QTest::newRow("an empty search shows all")
        << "" << QStringList{"Laboratory", "Office", "LAB-2", "Kitchen"};
    QTest::newRow("upper case finds lower case") << "OFF" << QStringList{"Office"};
    QTest::newRow("a text inside the name matches") << "tche" << QStringList{"Kitchen"};
    QTest::newRow("no match hides all") << "garage" << QStringList{};
}

void TestDelegates::searchFiltersNamesIgnoringCase()
{
    QFETCH(QString, search);
    QFETCH(QStringList, shown);
    QStandardItemModel source;
    const QStringList names = {"Laboratory", "Office", "LAB-2", "Kitchen"};
    for (int row = 0; row < names.size(); ++row)
        fillDeviceRow(source, row, names.at(row), CounterEui);
    // The EUI column mentions "lab" nowhere; only the name may match.
    source.setItem(1, DB::DEV_COL_APPEUI, new QStandardItem(QStringLiteral("lab")));
    CDeviceSearchModel proxy(nullptr);
    proxy.setSourceModel(&source);
    proxy.setSearchValue(QStringLiteral("zzz"));
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setSearchValue(search);
    QStringList actual;
    for (int row = 0; row < proxy.rowCount(); ++row)
        actual << proxy.index(row, DB::DEV_COL_NAME).data().toString();
    QCOMPARE(actual, shown);
}

void TestDelegates::editorShowsSixDecimals()
{
    CSimpleRegisterEditWidget editor;
    editor.setData(QStringLiteral("Counter value"), -2.5, 1.0, QStringLiteral("kWh"));
    const QList<QLineEdit*> fields = editor.findChildren<QLineEdit*>();
    QCOMPARE(fields.size(), 3);
    QCOMPARE(fields.at(0)->text(), QStringLiteral("-2.500000"));
    QCOMPARE(fields.at(1)->text(), QStringLiteral("1.000000"));
    QCOMPARE(fields.at(2)->text(), QStringLiteral("kWh"));
    QCOMPARE(editor.getExtraValue(), -2.5);
    QCOMPARE(editor.getMultiplier(), 1.0);
    QCOMPARE(editor.getUnits(), QStringLiteral("kWh"));
    QVERIFY(editor.findChild<QLabel*>() != nullptr);
}

void TestDelegates::editorValidatorRefusesSignsAndLetters_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<int>("state");
    QTest::newRow("digits, a point, digits pass") << "12.25" << int(QValidator::Acceptable);
    QTest::newRow("digits alone may still get a point") << "12" << int(QValidator::Intermediate);
    QTest::newRow("a minus sign is refused") << "-1.5" << int(QValidator::Invalid);
    QTest::newRow("a plus sign is refused") << "+1.5" << int(QValidator::Invalid);
    QTest::newRow("letters are refused") << "abc" << int(QValidator::Invalid);
    QTest::newRow("an exponent is refused") << "1e5" << int(QValidator::Invalid);
    QTest::newRow("a leading point is refused") << ".5" << int(QValidator::Invalid);
    QTest::newRow("a second point is refused") << "1.2.3" << int(QValidator::Invalid);
}

void TestDelegates::editorValidatorRefusesSignsAndLetters()
{
    QFETCH(QString, input);
    QFETCH(int, state);
    CSimpleRegisterEditWidget editor;
    const QList<QLineEdit*> fields = editor.findChildren<QLineEdit*>();
    QVERIFY(fields.at(0)->validator() != nullptr);
    QCOMPARE(fields.at(0)->validator(), fields.at(1)->validator());
    QCOMPARE(fields.at(2)->validator(), nullptr);
    int pos = 0;
    QCOMPARE(int(fields.at(1)->validator()->validate(input, pos)), state);
}

void TestDelegates::editorTypingKeepsOnlyDigitsAndPoint()
{
    CSimpleRegisterEditWidget editor;
    QLineEdit* multiplier = editor.findChildren<QLineEdit*>().at(1);
    QTest::keyClicks(multiplier, QStringLiteral("-x2.5"));
    QCOMPARE(multiplier->text(), QStringLiteral("2.5"));
    QCOMPARE(editor.getMultiplier(), 2.5);
}

void TestDelegates::editorUnconvertibleTextReadsZero()
{
    CSimpleRegisterEditWidget editor;
    editor.findChildren<QLineEdit*>().at(0)->setText(QString());
    editor.findChildren<QLineEdit*>().at(1)->setText(QStringLiteral("1."));
    QCOMPARE(editor.getExtraValue(), 0.0);
    QCOMPARE(editor.getMultiplier(), 1.0);
}

void TestDelegates::editorOnlyForNumbers_data()
{
    QTest::addColumn<QString>("dataType");
    QTest::addColumn<bool>("editable");
    QTest::newRow("an integer is edited") << "integer" << true;
    QTest::newRow("an unsigned is edited") << "uinteger" << true;
    QTest::newRow("a text has no editor") << "text" << false;
    QTest::newRow("a boolean has no editor") << "boolean" << false;
}

void TestDelegates::editorOnlyForNumbers()
{
    QFETCH(QString, dataType);
    QFETCH(bool, editable);
    QStandardItemModel model;
    fillRegisterRow(model, 0, dataType);
    CSimpleRegisterDelegat delegate(nullptr);
    QWidget parent;
    QStyleOptionViewItem option;
    option.rect = QRect(5, 7, 200, 65);
    QWidget* editor = delegate.createEditor(&parent, option, model.index(0, 0));
    QCOMPARE(editor != nullptr, editable);
    QCOMPARE(qobject_cast<CSimpleRegisterEditWidget*>(editor) != nullptr, editable);
    if (editor != nullptr) {
        delegate.updateEditorGeometry(editor, option, model.index(0, 0));
        QCOMPARE(editor->geometry(), option.rect);
    }
}

void TestDelegates::editorLoadsTheRow()
{
    QStandardItemModel model;
    fillRegisterRow(model, 0, QStringLiteral("integer"));
    CSimpleRegisterDelegat delegate(nullptr);
    CSimpleRegisterEditWidget editor;
    delegate.setEditorData(&editor, model.index(0, 0));
    QCOMPARE(editor.getExtraValue(), 0.5);
    QCOMPARE(editor.getMultiplier(), 2.0);
    QCOMPARE(editor.getUnits(), QStringLiteral("V"));
    QCOMPARE(editor.findChildren<QLineEdit*>().at(1)->text(), QStringLiteral("2.000000"));
    QLineEdit plain;
    delegate.setEditorData(&plain, model.index(0, 0)); // not our editor: left alone
    QVERIFY(plain.text().isEmpty());
}

void TestDelegates::editorStoresInOrder_data()
{
    QTest::addColumn<QString>("extra");
    QTest::addColumn<QString>("multiplier");
    QTest::addColumn<double>("storedExtra");
    QTest::addColumn<double>("storedMultiplier");
    QTest::newRow("plain values are stored as typed") << "3.25"
                                                      << "0.1" << 3.25 << 0.1;
    QTest::newRow("a zero multiplier is stored as one") << "1.0"
                                                        << "0.0" << 1.0 << 1.0;
    QTest::newRow("unconvertible texts store zero, the multiplier then one") << ""
                                                                             << "" << 0.0 << 1.0;
}

void TestDelegates::editorStoresInOrder()
{
    QFETCH(QString, extra);
    QFETCH(QString, multiplier);
    QFETCH(double, storedExtra);
    QFETCH(double, storedMultiplier);
    QStandardItemModel model;
    fillRegisterRow(model, 0, QStringLiteral("uinteger"));
    CSimpleRegisterDelegat delegate(nullptr);
    CSimpleRegisterEditWidget editor;
    const QList<QLineEdit*> fields = editor.findChildren<QLineEdit*>();
    fields.at(0)->setText(extra);
    fields.at(1)->setText(multiplier);
    fields.at(2)->setText(QStringLiteral("kWh"));
    QSignalSpy changed(&model, &QStandardItemModel::dataChanged);
    delegate.setModelData(&editor, &model, model.index(0, 0));
    QCOMPARE(changed.count(), 3);
    QCOMPARE(changed.at(0).at(0).toModelIndex().column(), int(DB::DATA_COL_STARTVALUE));
    QCOMPARE(changed.at(1).at(0).toModelIndex().column(), int(DB::DATA_COL_GRATINGPERIOD));
    QCOMPARE(changed.at(2).at(0).toModelIndex().column(), int(DB::DATA_COL_UNIT));
    QCOMPARE(model.index(0, DB::DATA_COL_STARTVALUE).data().toDouble(), storedExtra);
    QCOMPARE(model.index(0, DB::DATA_COL_GRATINGPERIOD).data().toDouble(), storedMultiplier);
    QCOMPARE(model.index(0, DB::DATA_COL_UNIT).data().toString(), QStringLiteral("kWh"));
}

void TestDelegates::simpleCardPaintsItsBackground_data()
{
    registerBackground_data();
}

void TestDelegates::simpleCardPaintsItsBackground()
{
    QFETCH(int, row);
    QFETCH(int, state);
    QFETCH(QColor, expected);
    QStandardItemModel model;
    for (int r = 0; r < 3; ++r)
        fillRegisterRow(model, r, QStringLiteral("text"));
    CSimpleRegisterDelegat delegate(nullptr);
    QCOMPARE(delegate.sizeHint(QStyleOptionViewItem(), model.index(row, 0)), QSize(200, 65));
    const QImage image = paintRow(delegate, model, row, QStyle::State(state), QSize(300, 65));
    QCOMPARE(image.pixelColor(BackgroundPoint.x(), 50), expected);
}

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
