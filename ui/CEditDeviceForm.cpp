#include "ui/CEditDeviceForm.h"

#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMetaObject>
#include <QPushButton>
#include <QSqlQuery>
#include <QStackedLayout>
#include <QStandardItemModel>

#include "app/CLogFile.h"
#include "app/global.h"
#include "devices/CAllDeviceHandler.h"
#include "freshness/CDeviceFreshness.h"
#include "storage/CDataBaseHandler.h"
#include "ui/CRegisterDelegat.h"
#include "ui/CStatusBlockBox.h"

namespace {
CEditDeviceForm* form = nullptr;
}

CEditDeviceForm* CEditDeviceForm::getInstance()
{
    if (!form)
        form = new CEditDeviceForm();
    return form;
}

void CEditDeviceForm::resetInstance()
{
    delete form;
    form = nullptr;
}

// The device list holds only the device being edited, so the search field and
// the proxy are out of play here.
CEditDeviceForm::CEditDeviceForm(QWidget* parent) : CAbstractDeviceForm(parent)
{
    titleLabel->setText(QStringLiteral("Edit device's parameters interface"));
    deviceView->selectionModel()->disconnect();
    QItemSelectionModel* oldSelection = deviceView->selectionModel();
    deviceView->setModel(deviceModel);
    delete oldSelection;
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CEditDeviceForm::deviceListSelectSlot);
    portEdit->setEnabled(false);
    startAddrEdit->setEnabled(false);
    stack->setCurrentIndex(1);
}

void CEditDeviceForm::deviceSearchNameSlot(const QString&) {}

void CEditDeviceForm::refresh()
{
    portWarning->hide();
    startAddrWarning->hide();
    fillDeviceTypes();
}

void CEditDeviceForm::setOriginal(const uint32_t& _deviceId, const QString& _devEui, const QString& _devName,
                                  const QString& _appEui, const uint16_t& _port, const uint32_t& _startAddr)
{
    removeAllRows(deviceModel);
    deviceModel->insertRow(0);
    auto set = [this](int column, const QVariant& value) {
        deviceModel->setData(deviceModel->index(0, column), value, Qt::EditRole);
    };
    set(DB::DEV_COL_DEVICE, _deviceId);
    set(DB::DEV_COL_DEVEUI, _devEui);
    set(DB::DEV_COL_NAME, _devName);
    set(DB::DEV_COL_APPEUI, _appEui);
    set(DB::DEV_COL_PORT, static_cast<int>(_port));
    set(DB::DEV_COL_STARTADDR, _startAddr);
    // Reselect even when row 0 was current before, so the registers reload.
    deviceView->selectionModel()->clear();
    deviceView->setCurrentIndex(deviceModel->index(0, 0));
    portEdit->setText(QStringLiteral("%1").arg(_port));
    startAddrEdit->setText(QStringLiteral("%1").arg(_startAddr));
    statusBox->setOptions(CDeviceFreshness::getInstance()->options(_devEui));
}

void CEditDeviceForm::deviceListSelectSlot(const QItemSelection&, const QItemSelection&)
{
    removeAllRows(registerModel);
    if (deviceModel->rowCount() == 0)
        return;
    const QVariant deviceId = deviceModel->index(0, DB::DEV_COL_DEVICE).data();
    const QVariant port = deviceModel->index(0, DB::DEV_COL_PORT).data();
    QSqlQuery query = CDataBaseHandler::getInstance()->getRegisters(deviceId.toUInt());
    static const QList<int> copied = {
        DB::DATA_COL_REGADDR, DB::DATA_COL_STARTVALUE, DB::DATA_COL_GRATINGPERIOD, DB::DATA_COL_DATATYPE,
        DB::DATA_COL_NAME,    DB::DATA_COL_SOURCE,     DB::DATA_COL_UNIT,          DB::DATA_COL_BITSIZE,
        DB::FMT_COL_ASFLOAT,  DB::FMT_COL_WORDORDER};
    while (query.next()) {
        const int row = registerModel->rowCount();
        registerModel->insertRow(row);
        registerModel->setData(registerModel->index(row, DB::DATA_COL_DEVICE), deviceId, Qt::EditRole);
        registerModel->setData(registerModel->index(row, DB::DATA_COL_PORT), port, Qt::EditRole);
        for (int column : copied)
            registerModel->setData(registerModel->index(row, column), query.value(column), Qt::EditRole);
    }
}

void CEditDeviceForm::addDeviceSlot()
{
    const QString devEui = deviceModel->index(0, DB::DEV_COL_DEVEUI).data().toString();
    const QString appEui = deviceModel->index(0, DB::DEV_COL_APPEUI).data().toString();
    const qint64 startAddr = deviceModel->index(0, DB::DEV_COL_STARTADDR).data().toLongLong();
    qint64 first = 0;
    qint64 end = 0;
    CDeviceFreshness::templateSpan(CAllDeviceHandler::getInstance()->getRegisterInfo(appEui), first, end);
    SDeviceOptions options;
    if (!readStatusOptions(devEui, deviceModel->index(0, DB::DEV_COL_PORT).data().toInt(), first + startAddr,
                           end + startAddr, options))
        return;
    DB::SDbDevRegParamInfo info;
    info.port = static_cast<uint16_t>(deviceModel->index(0, DB::DEV_COL_PORT).data().toUInt());
    info.deviceId = deviceModel->index(0, DB::DEV_COL_DEVICE).data().toUInt();
    CDataBaseHandler* storage = CDataBaseHandler::getInstance();
    bool formatChanged = false;
    for (int r = 0; r < registerModel->rowCount(); ++r) {
        DB::SDbRegParamInfo param;
        param.regAddr = registerModel->index(r, DB::DATA_COL_REGADDR).data().toUInt();
        param.startValue = registerModel->index(r, DB::DATA_COL_STARTVALUE).data().toDouble();
        param.gratingPeriod = registerModel->index(r, DB::DATA_COL_GRATINGPERIOD).data().toDouble();
        param.unit = registerModel->index(r, DB::DATA_COL_UNIT).data().toString();
        param.format = CRegisterDelegat::rowFormat(registerModel->index(r, 0));
        formatChanged |= !(storage->getRegisterParam(devEui, param.regAddr).format == param.format);
        info.params.append(param);
    }
    storage->updateRegInfo(info);
    if (!(options == CDeviceFreshness::getInstance()->options(devEui)))
        keepStatusOptions(devEui, options);
    // A float made from the stored integer keeps its rounding until the
    // device's last packets are decoded again.
    if (formatChanged)
        requestLastPackets(devEui);
    addLog(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
    accept();
    emit refreshDeviceList(QString());
}
