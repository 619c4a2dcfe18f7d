// Shows the widget kit and the list cards with sample data, styled as the
// gateway styles them, for checking the look without a server.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTemporaryDir>
#include <QVBoxLayout>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "widgets/CAbstractPanelButton.h"
#include "widgets/CLeftPanel.h"
#include "widgets/CSearchEditWidget.h"
#include "widgets/CWinButton.h"
#include "widgets/color.h"

namespace {
const char* const SampleTemplates[][3] = {
    {"A1B2C3D4E5F60718", "Counter", "#8db4d9"},
    {"B1B2C3D4E5F60718", "Thermometer", "#88dcbe"},
    {"C1B2C3D4E5F60718", "Door sensor", "#fbb878"},
};

void installStyleSheet(QApplication& app)
{
    QFile file(QStringLiteral("://style/style.qss"));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QByteArray raw = file.readAll();
    const int nul = raw.indexOf('\0');
    if (nul >= 0)
        raw.truncate(nul);
    app.setStyleSheet(replaceColor(QString::fromLatin1(raw)));
}

// The registry reads its templates from ./deviceFolder; give it a few.
void writeSampleTemplates()
{
    QDir().mkdir(COMM::DEVICE_FOLDER);
    for (const auto& t : SampleTemplates) {
        QFile file(COMM::DEVICE_FOLDER + QStringLiteral("/%1.json").arg(QLatin1String(t[0])));
        if (!file.open(QIODevice::WriteOnly))
            continue;
        file.write(
            QStringLiteral("{\"app_eui\":\"%1\",\"dev_type\":\"%2\",\"color\":\"%3\",\"device_packets\":"
                           "[{\"packet_type\":1,\"packet_size\":3,\"packet_fields\":[{\"packet_bias\":1,"
                           "\"data_bit_bias\":0,\"data_bit_size\":16,\"data_type\":\"integer\","
                           "\"endianness\":\"be\",\"reg_map_bias\":0,\"reg_bit_bias\":0,"
                           "\"reg_bit_size\":16,\"data_name\":\"Value\"}]}]}")
                .arg(QLatin1String(t[0]), QLatin1String(t[1]), QLatin1String(t[2]))
                .toUtf8());
    }
}

QPushButton* iconButton(const QString& icon, const QString& objectName, int size, int iconSize)
{
    auto* button = new QPushButton(QIcon(icon), QString());
    button->setObjectName(objectName);
    button->setFixedSize(size, size);
    button->setIconSize(QSize(iconSize, iconSize));
    return button;
}

QHBoxLayout* row(std::initializer_list<QWidget*> widgets)
{
    auto* layout = new QHBoxLayout();
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(5);
    for (QWidget* w : widgets)
        layout->addWidget(w);
    return layout;
}

QWidget* connectionPanel()
{
    auto* panel = new CLeftPanel(nullptr);
    panel->setFixedWidth(250);
    auto* button = new CAbstractPanelButton(QStringLiteral("Server authorization"),
                                            QIcon(QStringLiteral(":/connectionFailIco.png")), panel);
    button->setPicAlign(2);
    button->setIcon(QIcon(QStringLiteral(":/connectionGoodIco.png")));
    button->setFullView(true);
    auto* content = new QVBoxLayout();
    content->setContentsMargins(0, 0, 0, 0);
    content->setSpacing(5);
    auto* scheme = new QComboBox();
    scheme->addItems({QStringLiteral("ws"), QStringLiteral("wss")});
    auto* port = new QLineEdit(QStringLiteral("8002"));
    port->setFixedWidth(50);
    content->addLayout(
        row({scheme, new QLabel(QStringLiteral("://")), new QLineEdit(QStringLiteral("127.0.0.1")),
             new QLabel(QStringLiteral(":")), port}));
    content->addLayout(
        row({new QLabel(QStringLiteral("Login:")), new QLineEdit(QStringLiteral("operator"))}));
    auto* password = new QLineEdit(QStringLiteral("secret"));
    password->setEchoMode(QLineEdit::Password);
    content->addLayout(row({new QLabel(QStringLiteral("Password:")), password}));
    content->addWidget(new QLabel(QStringLiteral("SUCCESS")));
    auto* connectBtn = new QPushButton(QStringLiteral("Connect"));
    connectBtn->setObjectName(QStringLiteral("blueBtn"));
    connectBtn->setFixedSize(75, 25);
    content->addWidget(connectBtn, 0, Qt::AlignCenter);
    button->addLayout(content);
    button->setChecked(true);
    panel->addWidget(button);
    auto* second = new CAbstractPanelButton(QStringLiteral("Spare panel"),
                                            QIcon(QStringLiteral(":/connectionFailIco.png")), panel);
    second->setFullView(true);
    panel->addWidget(second);
    panel->addEndSequence();
    QObject::connect(connectBtn, &QPushButton::clicked, button, [button]() { button->animationEvent(); });
    return panel;
}

QStandardItemModel* deviceModel(QObject* parent)
{
    auto* model = new QStandardItemModel(0, DB::DEV_COL_COUNT, parent);
    const QStringList names = {"Water meter, hall", "Boiler room temperature", "Back door", "Gas meter",
                               "Unknown type device"};
    const QStringList euis = {"A1B2C3D4E5F60718", "B1B2C3D4E5F60718", "C1B2C3D4E5F60718", "A1B2C3D4E5F60718",
                              "0000000000000000"};
    for (int r = 0; r < names.size(); ++r) {
        const QStringList cells = {QString::number(r + 1),
                                   names.at(r),
                                   euis.at(r),
                                   QStringLiteral("7A5200E75E00%1").arg(r + 10, 4, 10, QChar('0')),
                                   QStringLiteral("1502"),
                                   QString::number(r * 10)};
        QList<QStandardItem*> items;
        for (const QString& cell : cells)
            items << new QStandardItem(cell);
        model->appendRow(items);
    }
    return model;
}

QStandardItemModel* registerModel(QObject* parent)
{
    auto* model = new QStandardItemModel(0, DB::DATA_COL_COUNT, parent);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const QVariant null(QVariant::String);
    // device, port, reg_addr, start_value, grating_period, bit_size, data_type, value, full_value, time,
    // name, unit, parent, source
    const QList<QVariantList> rows = {
        {1, 1502, 0, 0.0, 1.0, 16, "integer", "fffe", "fffe", now, "Temperature", "C", 0, 1},
        {1, 1502, 1, 0.0, 0.1, 32, "uinteger", "0001", "0001e240", now, "Counter value", "l", 0, 1},
        {1, 1502, 3, 0.0, 1.0, 64, "text", "6869", "hi there", now, "Label", "", 0, 1},
        {1, 1502, 7, 0.0, 1.0, 16, "integer", null, null, 0, "Battery", "%", 0, 1},
        {1, 1502, 8, 0.0, 1.0, 16, "integer", "ffc4", "ffc4", now, "RSSI", "dBm", 0, 0},
        {1, 1502, 9, 2.5, 0.5, 16, "boolean", null, null, 0, "Door open", "", 0, 1},
    };
    for (const QVariantList& cells : rows) {
        QList<QStandardItem*> items;
        for (const QVariant& cell : cells) {
            auto* item = new QStandardItem();
            item->setData(cell, Qt::EditRole);
            items << item;
        }
        model->appendRow(items);
    }
    return model;
}

QListView* listView(QAbstractItemModel* model, QAbstractItemDelegate* delegate)
{
    auto* view = new QListView();
    view->setItemDelegate(delegate);
    view->setModel(model);
    view->setEditTriggers(QAbstractItemView::DoubleClicked);
    view->setMouseTracking(true);
    view->setCurrentIndex(model->index(1, 0));
    return view;
}

QWidget* kitColumn(QWidget* window)
{
    auto* column = new QWidget();
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(5, 5, 5, 5);
    layout->setSpacing(5);
    auto* title = new QLabel(QStringLiteral("Widget kit"));
    title->setObjectName(QStringLiteral("title1Lab"));
    layout->addWidget(title);
    auto* search = new CSearchEditWidget();
    search->setText(QStringLiteral("meter"));
    layout->addWidget(search);
    layout->addWidget(listView(deviceModel(window), new CDeviceDelegat(window)), 50);
    auto* buttons =
        row({iconButton(":/addIco.png", "greenBtn", 40, 36), iconButton(":/editIco.png", "greenBtn", 40, 36),
             iconButton(":/delete2Ico.png", "redBtn", 40, 36),
             iconButton(":/refresh2Ico.png", "blueBtn", 30, 24)});
    for (const char* name : {"greenBtn", "blueBtn", "orangeBtn", "redBtn"}) {
        auto* b = new QPushButton(QString::fromLatin1(name).chopped(3).toUpper());
        b->setObjectName(QLatin1String(name));
        b->setFixedSize(60, 35);
        buttons->addWidget(b);
    }
    buttons->addStretch(10);
    layout->addLayout(buttons);
    auto* tiles = new QHBoxLayout();
    tiles->setSpacing(5);
    auto* nameValue = new CWinButton(QStringLiteral("Uplinks today"), QStringLiteral("1284"), nullptr);
    nameValue->setValSpace(4);
    auto* iconTile = new CWinButton(QIcon(QStringLiteral(":/connectionGoodIco.png")), QStringLiteral("Link"),
                                    QStringLiteral("OK"), nullptr);
    iconTile->setValSpace(4);
    auto* iconName =
        new CWinButton(QIcon(QStringLiteral(":/searchIco.png")), QStringLiteral("Find"), nullptr);
    // The value box colour is the tile owner's choice; a light one keeps the sheet's dark text readable.
    nameValue->setValueColor(QC_GLOB_GREEN1_L2);
    iconTile->setValueColor(QC_GLOB_BLUE1_L3);
    for (CWinButton* tile : {nameValue, iconTile, iconName}) {
        tile->setFixedSize(150, 60);
        tiles->addWidget(tile);
    }
    auto* tall = new CWinButton(QIcon(QStringLiteral(":/tarnwick.png")), QStringLiteral("Gateway"),
                                QStringLiteral("v1.0"), nullptr);
    tall->setValSpace(4);
    tall->setValueColor(QC_GLOB_ORANGE1_L3);
    tall->setFixedSize(80, 110);
    tiles->addWidget(tall);
    tiles->addStretch();
    layout->addLayout(tiles);
    return column;
}
} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    installStyleSheet(app);
    QTemporaryDir work;
    QDir::setCurrent(work.path());
    CLogFile::getInstance(COMM::LOG_FILENAME, QString());
    writeSampleTemplates();
    CAllDeviceHandler::getInstance();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Tarnwick widget gallery"));
    window.setWindowIcon(QIcon(QStringLiteral(":/tarnwick.png")));
    window.setStyleSheet(QStringLiteral("QWidget#galleryWindow { background-color: #FFF; }"));
    window.setObjectName(QStringLiteral("galleryWindow"));
    auto* layout = new QHBoxLayout(&window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* left = new QVBoxLayout();
    auto* logo = new QLabel();
    logo->setFixedSize(250, 45);
    logo->setAlignment(Qt::AlignCenter);
    logo->setPixmap(QPixmap(QStringLiteral(":/tarnwick_logo_horizontal_gradient.png"))
                        .scaledToHeight(45, Qt::SmoothTransformation));
    left->addWidget(logo);
    left->addWidget(connectionPanel(), 1);
    layout->addLayout(left);
    layout->addWidget(kitColumn(&window), 2);

    auto* right = new QVBoxLayout();
    right->setContentsMargins(5, 5, 5, 5);
    auto* registers = new QGroupBox(QStringLiteral("Registers"));
    auto* registersLayout = new QVBoxLayout(registers);
    auto* registerDelegat = new CRegisterDelegat();
    registerDelegat->setParent(&window);
    registersLayout->addWidget(listView(registerModel(&window), registerDelegat));
    right->addWidget(registers, 1);
    auto* editor = new QGroupBox(QStringLiteral("Device's registers (double-click to edit)"));
    auto* editorLayout = new QVBoxLayout(editor);
    editorLayout->addWidget(listView(registerModel(&window), new CSimpleRegisterDelegat(&window)));
    right->addWidget(editor, 1);
    layout->addLayout(right, 3);

    window.setGeometry(10, 30, 1240, 740);
    window.show();
    return app.exec();
}
