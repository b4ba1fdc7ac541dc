#include "ui/ceditdeviceform.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSet>
#include <QStackedLayout>
#include <QStandardItemModel>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "devices/devicetemplate.h"
#include "ui/cusernotice.h"
#include "store/storecolumns.h"

CEditDeviceForm::CEditDeviceForm(CGateway *_gateway, QWidget *parent)
    : CAbstractDeviceForm(_gateway, parent)
{
    titleLabel->setText(tr("Edit device's parameters interface"));
    // One given device: no search proxy, the list page for good.
    disconnect(deviceView->selectionModel(), nullptr, nullptr, nullptr);
    deviceView->setModel(deviceSourceModel);
    connect(deviceView->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CEditDeviceForm::deviceListSelectSlot);
    portEdit->setEnabled(false);
    startAddressEdit->setEnabled(false);
    pageStack->setCurrentIndex(eDeviceListPage);
}

void CEditDeviceForm::setOriginal(uint32_t _deviceId, QString _devEui, QString _devName, QString _appEui,
                                  uint16_t _port, uint32_t _startAddr)
{
    deviceSourceModel->removeRows(0, deviceSourceModel->rowCount());
    deviceSourceModel->insertRow(0);
    const auto set = [this](int column, const QVariant &value) {
        deviceSourceModel->setData(deviceSourceModel->index(0, column), value, Qt::EditRole);
    };
    set(DEV_COL_DEVICE, _deviceId);
    set(DEV_COL_DEV_EUI, _devEui);
    set(DEV_COL_NAME, _devName);
    set(DEV_COL_APP_EUI, _appEui);
    set(DEV_COL_PORT, _port);
    set(DEV_COL_START_ADDR, _startAddr);
    deviceView->setCurrentIndex(deviceSourceModel->index(0, 0));
    portEdit->setText(QString::number(_port));
    startAddressEdit->setText(QString::number(_startAddr));
    writableBox->setChecked(gateway->isWritable(_devEui));
}

void CEditDeviceForm::deviceSearchNameSlot(QString)
{
    // The list holds the one device being edited.
}

void CEditDeviceForm::refresh()
{
    portErrorButton->hide();
    startAddressErrorButton->hide();
    fillDeviceTypeGrid();
}

void CEditDeviceForm::deviceListSelectSlot(QItemSelection, QItemSelection)
{
    registerModel->removeRows(0, registerModel->rowCount());
    if (deviceSourceModel->rowCount() == 0)
        return;
    const QVariant deviceId = deviceSourceModel->index(0, DEV_COL_DEVICE).data();
    const QVariant port = deviceSourceModel->index(0, DEV_COL_PORT).data();
    const CEui devEui(deviceSourceModel->index(0, DEV_COL_DEV_EUI).data().toString());
    for (const auto &device : gateway->storedDevices()) {
        if (CEui(device.first.devEui) == devEui)
            showSettings(device.first);
    }
    // Which registers are float32 the template tells, by offset from the device's start.
    const int startAddr = deviceSourceModel->index(0, DEV_COL_START_ADDR).data().toInt();
    QSet<qint64> float32Offsets;
    for (const SRegisterDescription &reg : gateway->regMap(deviceSourceModel->index(0, DEV_COL_APP_EUI).data().toString()).registers) {
        if (reg.format == REG_FORMAT_FLOAT32)
            float32Offsets.insert(reg.offset);
    }
    const int copied[] = { REG_COL_REG_ADDR, REG_COL_START_VALUE, REG_COL_GRATING_PERIOD, REG_COL_DATA_TYPE,
                           REG_COL_NAME,     REG_COL_SOURCE,      REG_COL_UNIT };
    for (const QSqlRecord &reg : gateway->registers(deviceId.toUInt())) {
        QList<QPair<int, QVariant>> cells = { { REG_COL_DEVICE, deviceId }, { REG_COL_PORT, port } };
        for (int column : copied)
            cells.append({ column, reg.value(devDataColumns.at(column)) });
        appendRegisterRow(cells, float32Offsets.contains(reg.value(devDataColumns.at(REG_COL_REG_ADDR)).toLongLong() - startAddr));
    }
}

void CEditDeviceForm::addDeviceSlot()
{
    SDeviceRegUpdate update;
    update.deviceId = deviceSourceModel->index(0, DEV_COL_DEVICE).data().toUInt();
    update.port = static_cast<quint16>(deviceSourceModel->index(0, DEV_COL_PORT).data().toUInt());
    for (int row = 0; row < registerModel->rowCount(); ++row) {
        const auto cell = [&](int column) { return registerModel->index(row, column).data(Qt::EditRole); };
        SRegisterUpdate reg;
        reg.regAddr = cell(REG_COL_REG_ADDR).toUInt();
        reg.startValue = cell(REG_COL_START_VALUE).toDouble();
        reg.gratingPeriod = cell(REG_COL_GRATING_PERIOD).toDouble();
        reg.unit = cell(REG_COL_UNIT).toString();
        update.registers.append(reg);
    }
    DB::SDeviceRegMapDescription settings;
    readSettings(&settings);
    update.hasSettings = true;
    update.unitId = settings.unitId;
    update.wordOrder = settings.wordOrder;
    update.staleAfter = settings.staleAfter;
    update.stalePolicy = settings.stalePolicy;
    const SGatewayResult result = gateway->editDevice(update);
    if (result.error == EGatewayError::OVERLAP || result.error == EGatewayError::INVALID_UNIT_ID) {
        CUserNotice::notify(this, QMessageBox::Critical, tr("Edit device status"), result.message);
        return;
    }
    const QString devEui = deviceSourceModel->index(0, DEV_COL_DEV_EUI).data().toString();
    if (!result.ok()
        || (writableBox->isChecked() != gateway->isWritable(devEui)
            && !gateway->setWritable(devEui, writableBox->isChecked()).ok())) {
        CLogFile::addLog(QStringLiteral("ERROR: [CEditDeviceForm::updateDeviceSlot] device's register update failed!"));
        CUserNotice::notify(this, QMessageBox::Critical, tr("Edit device status"),
                            tr("Device's registers are not updated! See LOG-file for more details"));
        return;
    }
    CLogFile::addLog(QStringLiteral("INFO: [CEditDeviceForm::updateDeviceSlot] device's register update successfully"));
    accept();
    emit refreshDeviceList(QString());
}
