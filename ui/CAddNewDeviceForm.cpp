#include "ui/CAddNewDeviceForm.h"

#include <QDebug>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QSqlQuery>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QTcpServer>

#include "app/CLogFile.h"
#include "devices/CAllDeviceHandler.h"
#include "freshness/CDeviceFreshness.h"
#include "server/CServerHandler.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CDeviceSearchModel.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CStatusBlockBox.h"

namespace {
CAddNewDeviceForm* form = nullptr;
const int MAX_REGISTER = 65535;
const QString START_EMPTY_TIP = QStringLiteral("Empty start address");
const QString START_RANGE_TIP = QStringLiteral("Start address must be 0 to 65535");
const QString STATUS_OVERLAP_TIP =
    QStringLiteral("Registers overlap the status block of device [%1] on port %2");
const QString OVERLAP_TIP =
    QStringLiteral("Registers %1..%2 overlap registers %3..%4 of device %5 [%6] on port %7");

// Registers [first, end) of two spans share a word; an empty span shares none.
bool overlaps(qint64 first, qint64 end, qint64 otherFirst, qint64 otherEnd)
{
    return first < end && otherFirst < otherEnd && first < otherEnd && otherFirst < end;
}

// The tooltip naming the stored device on this port whose registers
// [first, end) would share; empty when there is none.
QString deviceInTheWay(int port, qint64 first, qint64 end)
{
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    QSqlQuery devices = storage->getDevices(QString());
    while (devices.next()) {
        if (devices.value(DB::DEV_COL_PORT).toInt() != port)
            continue;
        // Stored addresses are absolute: the span needs no start address added.
        REGS::SDeviceRegisterInfo stored;
        QSqlQuery registers = storage->getRegisters(devices.value(DB::DEV_COL_DEVICE).toUInt());
        while (registers.next()) {
            REGS::SRegisterInfo reg;
            reg.regMapBias = registers.value(DB::DATA_COL_REGADDR).toInt();
            reg.regBitSize = registers.value(DB::DATA_COL_BITSIZE).toInt();
            stored.registers.append(reg);
        }
        qint64 theirFirst = 0;
        qint64 theirEnd = 0;
        CDeviceFreshness::templateSpan(stored, theirFirst, theirEnd);
        if (overlaps(first, end, theirFirst, theirEnd))
            return OVERLAP_TIP.arg(QString::number(first), QString::number(end - 1),
                                   QString::number(theirFirst), QString::number(theirEnd - 1),
                                   devices.value(DB::DEV_COL_NAME).toString(),
                                   devices.value(DB::DEV_COL_DEVEUI).toString(), QString::number(port));
    }
    return QString();
}
} // namespace

CAddNewDeviceForm* CAddNewDeviceForm::getInstance()
{
    if (!form)
        form = new CAddNewDeviceForm();
    return form;
}

void CAddNewDeviceForm::resetInstance()
{
    delete form;
    form = nullptr;
}

CAddNewDeviceForm::CAddNewDeviceForm(QWidget* parent) : CAbstractDeviceForm(parent) {}

void CAddNewDeviceForm::deviceSearchNameSlot(const QString& str)
{
    searchModel->setSearchValue(str);
}

void CAddNewDeviceForm::refresh()
{
    portWarning->hide();
    startAddrWarning->hide();
    portEdit->clear();
    startAddrEdit->clear();
    statusBox->setOptions(SDeviceOptions());
    fillDeviceTypes();
    QList<QString> appEuis;
    for (const REGS::SDeviceTemplateInfo& info : CAllDeviceHandler::getInstance()->getTemplateInfo())
        appEuis.append(info.appEui);
    removeAllRows(registerModel);
    currentAppEui = QString();
    showMessage(CServerHandler::getInstance()->getDevicesListReq(appEuis)
                    ? QStringLiteral("WAITING...")
                    : QStringLiteral("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
}

void CAddNewDeviceForm::getDevicesListRespSlot(const bool& status,
                                               const QList<API::SServerDeviceInfo>& _regInfoList)
{
    qDebug() << "device list received" << _regInfoList.size();
    if (!status) {
        showMessage(QStringLiteral("SERVER TIMEOUT"));
        return;
    }
    if (_regInfoList.isEmpty()) {
        showMessage(QStringLiteral("EMPTY DEVICE LIST\nFROM SERVER"));
        return;
    }
    fillDeviceList(_regInfoList);
    if (deviceModel->rowCount() == 0) {
        showMessage(QStringLiteral("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
        return;
    }
    stack->setCurrentIndex(1);
    deviceView->setCurrentIndex(searchModel->index(0, 0));
}

// Servers may write EUIs in either case; storage and templates use upper case.
void CAddNewDeviceForm::fillDeviceList(const QList<API::SServerDeviceInfo>& list)
{
    const QStringList stored = CDataBaseHandler::getInstance()->getRegisteredDevices();
    removeAllRows(deviceModel);
    for (const API::SServerDeviceInfo& info : list) {
        if (stored.contains(info.devEui.toUpper()))
            continue;
        if (!CAllDeviceHandler::getInstance()->hasTemplate(info.appEui))
            continue;
        const int row = deviceModel->rowCount();
        deviceModel->insertRow(row);
        deviceModel->setData(deviceModel->index(row, DB::DEV_COL_DEVEUI), info.devEui, Qt::EditRole);
        deviceModel->setData(deviceModel->index(row, DB::DEV_COL_NAME), info.devName, Qt::EditRole);
        deviceModel->setData(deviceModel->index(row, DB::DEV_COL_APPEUI), info.appEui, Qt::EditRole);
    }
}

void CAddNewDeviceForm::deviceListSelectSlot(const QItemSelection&, const QItemSelection&)
{
    const QModelIndex current = deviceView->currentIndex();
    const QString appEui = searchModel->index(current.row(), DB::DEV_COL_APPEUI).data().toString();
    if (appEui == currentAppEui)
        return;
    currentAppEui = appEui;
    removeAllRows(registerModel);
    const REGS::SDeviceRegisterInfo info =
        CAllDeviceHandler::getInstance()->getRegisterInfo(appEui.toUpper());
    for (const REGS::SRegisterInfo& reg : info.registers) {
        const int row = registerModel->rowCount();
        registerModel->insertRow(row);
        auto set = [this, row](int column, const QVariant& value) {
            registerModel->setData(registerModel->index(row, column), value, Qt::EditRole);
        };
        set(DB::DATA_COL_NAME, reg.dataName);
        set(DB::DATA_COL_SOURCE, reg.source);
        set(DB::DATA_COL_REGADDR, reg.regMapBias);
        set(DB::DATA_COL_BITSIZE, reg.regBitSize);
        set(DB::DATA_COL_STARTVALUE, reg.startValue);
        set(DB::DATA_COL_GRATINGPERIOD, reg.gratingPeriod);
        set(DB::DATA_COL_DATATYPE, reg.dataType);
        set(DB::FMT_COL_ASFLOAT, reg.format.asFloat ? 1 : 0);
        set(DB::FMT_COL_WORDORDER, FMT::wordOrderName(reg.format.wordOrder));
    }
}

// Judges both fields before stopping, so both warnings can show at once.
bool CAddNewDeviceForm::checkFields(int& port, int& startAddr)
{
    const bool portEmpty = portEdit->text().isEmpty();
    portWarning->setVisible(portEmpty);
    startAddr = startAddrEdit->text().toInt();
    // Registers live at 0..65535; anything else could never be read.
    const bool startEmpty = startAddrEdit->text().isEmpty();
    if (startEmpty || startAddr < 0 || startAddr > MAX_REGISTER) {
        startAddrWarning->setToolTip(startEmpty ? START_EMPTY_TIP : START_RANGE_TIP);
        startAddrWarning->show();
        return false;
    }
    startAddrWarning->hide();
    if (portEmpty)
        return false;
    port = portEdit->text().toInt();
    if (port < 1 || port > 65535) {
        portWarning->show();
        return false;
    }
    return true;
}

// A port is usable when nothing else holds it, or when it is one of ours.
bool CAddNewDeviceForm::portIsUsable(int port) const
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::Any, static_cast<quint16>(port))) {
        probe.close();
        return true;
    }
    return CAllDeviceHandler::getInstance()->hasListener(static_cast<unsigned short>(port));
}

DB::SDeviceRegMapDescription CAddNewDeviceForm::currentDescription(int startAddr) const
{
    const int row = deviceView->currentIndex().row();
    DB::SDeviceRegMapDescription desc;
    desc.devEui = searchModel->index(row, DB::DEV_COL_DEVEUI).data().toString();
    desc.appEui = currentAppEui;
    desc.name = searchModel->index(row, DB::DEV_COL_NAME).data().toString();
    desc.startAddr = startAddr;
    for (int r = 0; r < registerModel->rowCount(); ++r) {
        auto cell = [this, r](int column) { return registerModel->index(r, column).data(); };
        REGS::SRegisterInfo reg;
        reg.dataName = cell(DB::DATA_COL_NAME).toString();
        reg.source = static_cast<int>(cell(DB::DATA_COL_SOURCE).toUInt());
        reg.regMapBias = static_cast<int>(cell(DB::DATA_COL_REGADDR).toUInt());
        reg.regBitSize = static_cast<int>(cell(DB::DATA_COL_BITSIZE).toUInt());
        reg.dataType = cell(DB::DATA_COL_DATATYPE).toString();
        reg.startValue = cell(DB::DATA_COL_STARTVALUE).toDouble();
        reg.gratingPeriod = cell(DB::DATA_COL_GRATINGPERIOD).toDouble();
        reg.unit = cell(DB::DATA_COL_UNIT).toString();
        reg.format = CRegisterDelegat::rowFormat(registerModel->index(r, 0));
        desc.registers.append(reg);
    }
    return desc;
}

void CAddNewDeviceForm::addDeviceSlot()
{
    int port = 0;
    int startAddr = 0;
    if (!checkFields(port, startAddr))
        return;
    if (!portIsUsable(port)) {
        portWarning->show();
        return;
    }
    portWarning->hide();
    // The list of an earlier showing may still sit behind the message page.
    if (stack->currentIndex() != 1 || !deviceView->currentIndex().isValid())
        return;
    const DB::SDeviceRegMapDescription desc = currentDescription(startAddr);
    qint64 first = 0;
    qint64 end = 0;
    CDeviceFreshness::templateSpan({desc.appEui, desc.registers}, first, end);
    first += startAddr;
    end += startAddr;
    if (overlapsStoredDevice(port, first, end))
        return;
    SDeviceOptions options;
    if (!readStatusOptions(desc.devEui, port, first, end, options))
        return;
    // Registers clear of every device may still fall on another device's status block.
    const QString statusInTheWay = CDeviceFreshness::getInstance()->occupant(port, first, end, desc.devEui);
    if (!statusInTheWay.isEmpty()) {
        startAddrWarning->setToolTip(STATUS_OVERLAP_TIP.arg(statusInTheWay, QString::number(port)));
        startAddrWarning->show();
        return;
    }
    const auto tcpPort = static_cast<unsigned short>(port);
    if (!CDataBaseHandler::getInstance()->registerNewDevice(desc, tcpPort)) {
        addLog(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!"));
        QMessageBox box(QMessageBox::Critical, QString(), QStringLiteral("Add new device status"),
                        QMessageBox::Ok);
        box.setInformativeText(QStringLiteral("Device is not added! See LOG-file for more details"));
        box.setDefaultButton(QMessageBox::Ok);
        box.exec();
        return;
    }
    keepStatusOptions(desc.devEui, options);
    CAllDeviceHandler::getInstance()->addNewDevice(desc, tcpPort);
    addLog(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully"));
    addedEui = desc.devEui;
    accept();
    requestLastPackets(desc.devEui);
    emit refreshDeviceList(QString());
}

// Two devices sharing registers on one port would hand SCADA words of both.
bool CAddNewDeviceForm::overlapsStoredDevice(int port, qint64 first, qint64 end)
{
    const QString inTheWay = deviceInTheWay(port, first, end);
    if (inTheWay.isEmpty())
        return false;
    startAddrWarning->setToolTip(inTheWay);
    startAddrWarning->show();
    return true;
}
