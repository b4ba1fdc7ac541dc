#include "ui/caddnewdeviceform.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStackedLayout>
#include <QStandardItemModel>

#include "app/ceui.h"
#include "app/clogfile.h"
#include "ui/cdevicesearchmodel.h"
#include "devices/devicetemplate.h"
#include "ui/cusernotice.h"
#include "store/storecolumns.h"
#include "app/registertext.h"

namespace {

const int LAST_TCP_PORT = 65535;

} // namespace

CAddNewDeviceForm::CAddNewDeviceForm(CGateway *_gateway, QWidget *parent)
    : CAbstractDeviceForm(_gateway, parent)
{
}

void CAddNewDeviceForm::deviceSearchNameSlot(QString str)
{
    deviceProxyModel->setSearchValue(str);
}

void CAddNewDeviceForm::refresh()
{
    portErrorButton->hide();
    startAddressErrorButton->hide();
    portEdit->clear();
    startAddressEdit->clear();
    writableBox->setChecked(false);
    fillDeviceTypeGrid();

    registerModel->removeRows(0, registerModel->rowCount());
    currentAppEui.clear();
    pageStack->setCurrentIndex(eStatusPage);
    if (gateway->requestDeviceList())
        statusLabel->setText(tr("WAITING..."));
    else
        statusLabel->setText(tr("EMPTY LIST OF\nKNOWN DEVICE TYPES"));
}

void CAddNewDeviceForm::showStatus(const QString &_text)
{
    pageStack->setCurrentIndex(eStatusPage);
    statusLabel->setText(_text);
}

void CAddNewDeviceForm::getDevicesListRespSlot(bool status, QList<API::SServerDeviceInfo> _regInfoList)
{
    if (!status) {
        showStatus(tr("SERVER TIMEOUT"));
        return;
    }
    if (_regInfoList.isEmpty()) {
        // A broker cannot be asked: the list is what was heard, with templates already matched.
        showStatus(gateway->listsHeardDevices() ? tr("NO DEVICES HEARD YET") : tr("EMPTY DEVICE LIST\nFROM SERVER"));
        return;
    }
    const QStringList registered = gateway->registeredDevices();
    deviceSourceModel->removeRows(0, deviceSourceModel->rowCount());
    for (const API::SServerDeviceInfo &info : _regInfoList) {
        if (registered.contains(CEui(info.devEui).text()) || gateway->templateInfo(info.appEui).appEui.isEmpty())
            continue;
        const int row = deviceSourceModel->rowCount();
        deviceSourceModel->insertRow(row);
        deviceSourceModel->setData(deviceSourceModel->index(row, DEV_COL_DEV_EUI), info.devEui);
        deviceSourceModel->setData(deviceSourceModel->index(row, DEV_COL_NAME), info.devName);
        deviceSourceModel->setData(deviceSourceModel->index(row, DEV_COL_APP_EUI), info.appEui);
    }
    if (deviceSourceModel->rowCount() == 0) {
        showStatus(tr("NOT NEW DEVICES\nALL DEVICES ALREADY REGISTERED"));
        return;
    }
    pageStack->setCurrentIndex(eDeviceListPage);
    deviceView->setCurrentIndex(deviceProxyModel->index(0, 0));
}

void CAddNewDeviceForm::deviceListSelectSlot(QItemSelection, QItemSelection)
{
    const QModelIndex current = deviceView->currentIndex();
    const QString appEui = deviceProxyModel->index(current.row(), DEV_COL_APP_EUI).data().toString();
    if (appEui == currentAppEui)
        return;
    currentAppEui = appEui;
    registerModel->removeRows(0, registerModel->rowCount());
    const SDeviceRegMap map = gateway->regMap(appEui);
    for (const SRegisterDescription &reg : map.registers)
        appendRegisterRow({ { REG_COL_NAME, reg.name },
                            { REG_COL_SOURCE, reg.source },
                            { REG_COL_REG_ADDR, reg.offset },
                            { REG_COL_BIT_SIZE, reg.bitSize },
                            { REG_COL_START_VALUE, reg.startValue },
                            { REG_COL_GRATING_PERIOD, reg.gratingPeriod },
                            { REG_COL_DATA_TYPE, reg.dataType } },
                          reg.format == REG_FORMAT_FLOAT32);
}

bool CAddNewDeviceForm::readPort(uint16_t &_port)
{
    bool ok = false;
    const int port = portEdit->text().toInt(&ok, 10);
    const bool valid = ok && port >= 1 && port <= LAST_TCP_PORT;
    portErrorButton->setToolTip(tr("Invalid TCP port (is used or unsupported)"));
    portErrorButton->setVisible(!valid);
    _port = valid ? static_cast<uint16_t>(port) : 0;
    return valid;
}

bool CAddNewDeviceForm::readStartAddress(int32_t &_startAddr)
{
    if (startAddressEdit->text().isEmpty()) {
        startAddressErrorButton->setToolTip(tr("Empty start address"));
        startAddressErrorButton->show();
        return false;
    }
    bool ok = false;
    const int startAddr = startAddressEdit->text().toInt(&ok, 10);
    if (!ok || startAddr < 0) {
        startAddressErrorButton->setToolTip(tr("Invalid start address: the device's registers must lie in 0-65535"));
        startAddressErrorButton->show();
        return false;
    }
    startAddressErrorButton->hide();
    _startAddr = startAddr;
    return true;
}

void CAddNewDeviceForm::markRefusal(const SGatewayResult &_result)
{
    switch (_result.error) {
    case EGatewayError::INVALID_PORT:
        // The marker's own tool tip says the port is used or unsupported.
        portErrorButton->show();
        break;
    case EGatewayError::PORT_BUSY:
        portErrorButton->setToolTip(_result.message);
        portErrorButton->show();
        break;
    case EGatewayError::INVALID_START_ADDRESS:
    case EGatewayError::INVALID_UNIT_ID:
    case EGatewayError::OVERLAP:
        startAddressErrorButton->setToolTip(_result.message);
        startAddressErrorButton->show();
        break;
    default:
        CUserNotice::notify(this, QMessageBox::Critical, tr("Add new device status"), _result.message);
        break;
    }
}

QList<SRegisterDescription> CAddNewDeviceForm::editedRegisters() const
{
    QList<SRegisterDescription> registers;
    for (int row = 0; row < registerModel->rowCount(); ++row) {
        const auto cell = [&](int column) { return registerModel->index(row, column).data(Qt::EditRole); };
        SRegisterDescription reg;
        reg.name = cell(REG_COL_NAME).toString();
        reg.source = static_cast<qint32>(cell(REG_COL_SOURCE).toUInt());
        reg.offset = cell(REG_COL_REG_ADDR).toInt();
        reg.bitSize = cell(REG_COL_BIT_SIZE).toInt();
        reg.dataType = cell(REG_COL_DATA_TYPE).toString();
        reg.startValue = cell(REG_COL_START_VALUE).toDouble();
        reg.gratingPeriod = cell(REG_COL_GRATING_PERIOD).toDouble();
        reg.unit = cell(REG_COL_UNIT).toString();
        registers.append(reg);
    }
    return registers;
}

void CAddNewDeviceForm::addDeviceSlot()
{
    // Only a device picked from the server's list can be added.
    const QModelIndex current = deviceView->currentIndex();
    if (pageStack->currentIndex() != eDeviceListPage || !current.isValid())
        return;

    uint16_t port = 0;
    int32_t startAddr = 0;
    const bool portValid = readPort(port);
    const bool startValid = readStartAddress(startAddr);
    if (!portValid || !startValid)
        return;

    DB::SDeviceRegMapDescription description;
    description.devEui = deviceProxyModel->index(current.row(), DEV_COL_DEV_EUI).data().toString();
    description.name = deviceProxyModel->index(current.row(), DEV_COL_NAME).data().toString();
    description.appEui = currentAppEui;
    description.startAddr = startAddr;
    description.registers = editedRegisters();
    description.writable = writableBox->isChecked();
    readSettings(&description);

    const SGatewayResult result = gateway->addDevice(description, port);
    if (!result.ok()) {
        markRefusal(result);
        return;
    }
    portErrorButton->hide();
    startAddressErrorButton->hide();
    accept();
    emit refreshDeviceList(QString());
}
