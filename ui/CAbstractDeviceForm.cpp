#include "ui/CAbstractDeviceForm.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLayoutItem>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QVBoxLayout>

#include "app/global.h"
#include "app/CLogFile.h"
#include "devices/CAllDeviceHandler.h"
#include "freshness/CDeviceFreshness.h"
#include "server/CServerHandler.h"
#include "storage/CDeviceOptionsStore.h"
#include "ui/CDeviceDelegat.h"
#include "ui/CDeviceSearchModel.h"
#include "ui/CSimpleRegisterDelegat.h"
#include "ui/CStatusBlockBox.h"
#include "widgets/CSearchEditWidget.h"

namespace {
const int TYPES_PER_ROW = 5;
const QString LOG_OPTIONS_NOT_STORED = QStringLiteral(
    "ERROR: [CAbstractDeviceForm::keepStatusOptions] Status block and stale options of device [%1] "
    "are not stored: %2");

QBoxLayout* withMargins(QBoxLayout* layout, int margin, int spacing)
{
    layout->setContentsMargins(margin, margin, margin, margin);
    layout->setSpacing(spacing);
    return layout;
}
} // namespace

CAbstractDeviceForm::CAbstractDeviceForm(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Add new device interface"));
    setGeometry(30, 30, 800, 600);
    setWindowFlags(Qt::Window);
    setWindowIcon(QIcon(QStringLiteral(":/tarnwick.png")));
    QBoxLayout* main = withMargins(new QVBoxLayout(this), 5, 5);

    titleLabel = new QLabel(QStringLiteral("Add new device interface"));
    titleLabel->setObjectName(QStringLiteral("title1Lab"));
    main->addWidget(titleLabel, 0, Qt::AlignHCenter);
    main->addWidget(buildConnectionBox());
    statusBox = new CStatusBlockBox();
    main->addWidget(statusBox);
    main->addLayout(buildListsRow());
    main->addWidget(buildTypeBox());
    main->addWidget(buildButtonBox());
}

QPushButton* CAbstractDeviceForm::makeWarningButton(const QString& toolTip)
{
    auto* button = new QPushButton(QStringLiteral("!"));
    button->setObjectName(QStringLiteral("redBtn"));
    button->setToolTip(toolTip);
    button->setFixedSize(25, 25);
    button->hide();
    return button;
}

QWidget* CAbstractDeviceForm::buildConnectionBox()
{
    auto* box = new QGroupBox(QStringLiteral("Connection parameters"));
    QBoxLayout* layout = withMargins(new QHBoxLayout(box), 5, 5);
    portEdit = new QLineEdit();
    portEdit->setAccessibleName(QStringLiteral("TCP port"));
    portEdit->setFixedSize(50, 25);
    portEdit->setValidator(new QIntValidator(portEdit));
    portWarning = makeWarningButton(QStringLiteral("Invalid TCP port (is used or unsupported)"));
    startAddrEdit = new QLineEdit();
    startAddrEdit->setAccessibleName(QStringLiteral("Start address"));
    startAddrEdit->setFixedWidth(50);
    startAddrEdit->setValidator(new QIntValidator(startAddrEdit));
    startAddrWarning = makeWarningButton(QStringLiteral("Empty start address"));

    layout->addStretch(1);
    layout->addWidget(new QLabel(QStringLiteral("TCP port for device:")), 1, Qt::AlignRight);
    layout->addWidget(portEdit);
    layout->addWidget(portWarning);
    layout->addStretch(3);
    layout->addWidget(new QLabel(QStringLiteral("Start address for registers:")), 1, Qt::AlignRight);
    layout->addWidget(startAddrEdit);
    layout->addWidget(startAddrWarning);
    layout->addStretch(1);
    return box;
}

QLayout* CAbstractDeviceForm::buildListsRow()
{
    QBoxLayout* row = withMargins(new QHBoxLayout(), 0, 5);

    auto* devicesBox = new QGroupBox(QStringLiteral("Accessible devices"));
    stack = new QStackedLayout(devicesBox);
    messageLabel = new QLabel();
    messageLabel->setObjectName(QStringLiteral("title1Lab"));
    messageLabel->setAlignment(Qt::AlignCenter);
    stack->addWidget(messageLabel);

    auto* listPage = new QWidget();
    QBoxLayout* listLayout = withMargins(new QVBoxLayout(listPage), 5, 5);
    searchEdit = new CSearchEditWidget();
    connect(searchEdit, &CSearchEditWidget::textChangedSignal, this,
            &CAbstractDeviceForm::deviceSearchNameSlot);
    deviceModel = new QStandardItemModel(0, DB::DEV_COL_COUNT, this);
    searchModel = new CDeviceSearchModel(this);
    searchModel->setSourceModel(deviceModel);
    deviceView = new QListView();
    deviceView->setItemDelegate(new CDeviceDelegat(this));
    deviceView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deviceView->setModel(searchModel);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CAbstractDeviceForm::deviceListSelectSlot);
    listLayout->addWidget(searchEdit);
    listLayout->addWidget(deviceView, 50);
    stack->addWidget(listPage);
    row->addWidget(devicesBox, 2);

    auto* registersBox = new QGroupBox(QStringLiteral("Device's registers"));
    QBoxLayout* registersLayout = withMargins(new QVBoxLayout(registersBox), 5, 5);
    registerModel = new QStandardItemModel(0, DB::FMT_COL_END, this);
    registerView = new QListView();
    registerView->setItemDelegate(new CSimpleRegisterDelegat(this));
    registerView->setEditTriggers(QAbstractItemView::DoubleClicked);
    registerView->setModel(registerModel);
    registersLayout->addWidget(registerView, 50);
    row->addWidget(registersBox, 3);
    return row;
}

QWidget* CAbstractDeviceForm::buildTypeBox()
{
    auto* box = new QGroupBox(QStringLiteral("Registered device type"));
    QBoxLayout* layout = withMargins(new QHBoxLayout(box), 5, 5);
    typeGrid = new QGridLayout();
    typeGrid->setContentsMargins(0, 0, 0, 0);
    typeGrid->setSpacing(5);
    layout->addLayout(typeGrid);
    auto* refreshButton = new QPushButton(QIcon(QStringLiteral(":/refresh2Ico.png")), QString());
    refreshButton->setObjectName(QStringLiteral("blueBtn"));
    refreshButton->setToolTip(QStringLiteral("Refresh"));
    refreshButton->setFixedSize(30, 30);
    refreshButton->setIconSize(QSize(24, 24));
    connect(refreshButton, &QPushButton::clicked, this, &CAbstractDeviceForm::refresh);
    layout->addWidget(refreshButton, 0, Qt::AlignRight | Qt::AlignVCenter);
    return box;
}

QWidget* CAbstractDeviceForm::buildButtonBox()
{
    auto* buttons = new QDialogButtonBox(Qt::Horizontal);
    buttons->setCenterButtons(true);
    QPushButton* ok = buttons->addButton(QStringLiteral("OK"), QDialogButtonBox::AcceptRole);
    ok->setObjectName(QStringLiteral("greenBtn"));
    ok->setDefault(true);
    ok->setFixedSize(100, 35);
    QPushButton* cancel = buttons->addButton(QStringLiteral("Cancel"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("orangeBtn"));
    cancel->setFixedSize(100, 35);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        commitOpenEditor();
        addDeviceSlot();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &CAbstractDeviceForm::reject);
    return buttons;
}

// A register editor still open holds what the operator typed; OK hands it to
// the model first, as Return or a click on another card would.
void CAbstractDeviceForm::commitOpenEditor()
{
    QAbstractItemDelegate* delegate = registerView->itemDelegate();
    for (int row = 0; row < registerModel->rowCount(); ++row) {
        QWidget* editor = registerView->indexWidget(registerModel->index(row, 0));
        if (!editor)
            continue;
        emit delegate->commitData(editor);
        emit delegate->closeEditor(editor);
    }
}

int CAbstractDeviceForm::showForm(QString _title)
{
    setWindowTitle(_title);
    refresh();
    return exec();
}

void CAbstractDeviceForm::fillDeviceTypes()
{
    while (typeGrid->count() > 0) {
        QLayoutItem* item = typeGrid->takeAt(typeGrid->count() - 1);
        delete item->widget();
        delete item;
    }
    const QList<REGS::SDeviceTemplateInfo> types = CAllDeviceHandler::getInstance()->getTemplateInfo();
    for (int i = 0; i < types.size(); ++i) {
        auto* label = new QLabel(types.at(i).devType);
        label->setStyleSheet(
            QStringLiteral("QLabel {padding: 5px; background-color: %1;}").arg(types.at(i).color.name()));
        typeGrid->addWidget(label, i / TYPES_PER_ROW, i % TYPES_PER_ROW);
    }
}

void CAbstractDeviceForm::showMessage(const QString& text)
{
    messageLabel->setText(text);
    stack->setCurrentIndex(0);
}

void CAbstractDeviceForm::removeAllRows(QStandardItemModel* model)
{
    if (model->rowCount() > 0)
        model->removeRows(0, model->rowCount());
}

bool CAbstractDeviceForm::readStatusOptions(const QString& devEui, int port, qint64 first, qint64 end,
                                            SDeviceOptions& options)
{
    if (!statusBox->readOptions(options))
        return false;
    const QString problem = CStatusBlockBox::problemWith(options, devEui, port, first, end);
    statusBox->showProblem(problem);
    return problem.isEmpty();
}

bool CAbstractDeviceForm::keepStatusOptions(const QString& devEui, const SDeviceOptions& options)
{
    QString error;
    if (!CDeviceOptionsStore::save(devEui, options, error)) {
        addLog(LOG_OPTIONS_NOT_STORED.arg(devEui, error));
        return false;
    }
    CDeviceFreshness::getInstance()->setOptions(devEui, options);
    return true;
}

void CAbstractDeviceForm::requestLastPackets(const QString& devEui)
{
    const bool queued = QMetaObject::invokeMethod(CServerHandler::getInstance(), "getDeviceLastPackets",
                                                  Qt::QueuedConnection, Q_ARG(QString, devEui));
    if (!queued)
        addLog(QStringLiteral("ERROR[%1-%2]: invalid invokeMethod creation!")
                   .arg(QLatin1String(Q_FUNC_INFO), QString::number(__LINE__)),
               CLogFile::LOG_TYPE_ERROR);
}
