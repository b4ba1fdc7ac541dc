#include "ui/caddnewdeviceform.h"

#include <QHostAddress>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStackedLayout>
#include <QStandardItemModel>
#include <QTcpServer>

#include <algorithm>

#include "app/clogfile.h"
#include "devices/calldevicehandler.h"
#include "server/cserverhandler.h"
#include "store/cdatabasehandler.h"
#include "ui/cdevicesearchmodel.h"
#include "ui/cusernotice.h"
#include "ui/devicecolumns.h"
#include "ui/registercolumns.h"
#include "ui/registertext.h"

namespace {

const int LAST_REGISTER_ADDRESS = 65535;
const int LAST_TCP_PORT = 65535;

// Lowest and highest register address the map takes from _startAddr on; a value
// takes one register per started 16 bits, and at least one.
QPair<qint64, qint64> registerSpan(qint64 _startAddr, const QList<SRegisterDescription> &_registers)
{
    qint64 lowest = _startAddr;
    qint64 highest = _startAddr;
    for (const SRegisterDescription &reg : _registers) {
        const qint64 first = _startAddr + reg.offset;
        lowest = std::min(lowest, first);
        highest = std::max(highest, first + std::max(1, registerCount(reg.bitSize)) - 1);
    }
    return { lowest, highest };
}

} // namespace

CAddNewDeviceForm *CAddNewDeviceForm::getInstance()
{
    static CAddNewDeviceForm *instance = new CAddNewDeviceForm();
    return instance;
}

CAddNewDeviceForm::CAddNewDeviceForm() = default;

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
    QStringList appEuis;
    for (const SDeviceTemplateInfo &info : fillDeviceTypeGrid())
        appEuis.append(info.appEui);

    registerModel->removeRows(0, registerModel->rowCount());
    currentAppEui.clear();
    pageStack->setCurrentIndex(eStatusPage);
    if (CServerHandler::getInstance()->getDevicesList(appEuis))
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
        showStatus(tr("EMPTY DEVICE LIST\nFROM SERVER"));
        return;
    }
    const QStringList registered = CDataBaseHandler::getInstance()->getRegisteredDevices();
    deviceSourceModel->removeRows(0, deviceSourceModel->rowCount());
    const CAllDeviceHandler *registry = CAllDeviceHandler::getInstance();
    for (const API::SServerDeviceInfo &info : _regInfoList) {
        if (registered.contains(info.devEui.toUpper()) || registry->getTemplateInfo(info.appEui).appEui.isEmpty())
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
    const SDeviceRegMap map = CAllDeviceHandler::getInstance()->getRegMapDescription(appEui);
    for (const SRegisterDescription &reg : map.registers)
        appendRegisterRow({ { REG_COL_NAME, reg.name },
                            { REG_COL_SOURCE, reg.source },
                            { REG_COL_REG_ADDR, reg.offset },
                            { REG_COL_BIT_SIZE, reg.bitSize },
                            { REG_COL_START_VALUE, reg.startValue },
                            { REG_COL_GRATING_PERIOD, reg.gratingPeriod },
                            { REG_COL_DATA_TYPE, reg.dataType } });
}

bool CAddNewDeviceForm::readPort(uint16_t &_port)
{
    bool ok = false;
    const int port = portEdit->text().toInt(&ok, 10);
    const bool valid = ok && port >= 1 && port <= LAST_TCP_PORT;
    portErrorButton->setVisible(!valid);
    _port = valid ? static_cast<uint16_t>(port) : 0;
    return valid;
}

bool CAddNewDeviceForm::readStartAddress(const QList<SRegisterDescription> &_registers, int32_t &_startAddr)
{
    if (startAddressEdit->text().isEmpty()) {
        startAddressErrorButton->setToolTip(tr("Empty start address"));
        startAddressErrorButton->show();
        return false;
    }
    bool ok = false;
    const int startAddr = startAddressEdit->text().toInt(&ok, 10);
    const QPair<qint64, qint64> span = registerSpan(startAddr, _registers);
    if (!ok || startAddr < 0 || span.first < 0 || span.second > LAST_REGISTER_ADDRESS) {
        startAddressErrorButton->setToolTip(tr("Invalid start address: the device's registers must lie in 0-65535"));
        startAddressErrorButton->show();
        return false;
    }
    startAddressErrorButton->hide();
    _startAddr = startAddr;
    return true;
}

bool CAddNewDeviceForm::portAvailable(uint16_t _port)
{
    QTcpServer probe;
    if (probe.listen(QHostAddress::Any, _port)) {
        probe.close();
        return true;
    }
    // Held by the gateway itself: the new device shares that port's server.
    return CAllDeviceHandler::getInstance()->getPortList().contains(_port);
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
        reg.startValue = cell(REG_COL_START_VALUE).toInt();
        reg.gratingPeriod = cell(REG_COL_GRATING_PERIOD).toInt();
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

    const QList<SRegisterDescription> registers = editedRegisters();
    uint16_t port = 0;
    int32_t startAddr = 0;
    const bool portValid = readPort(port);
    const bool startValid = readStartAddress(registers, startAddr);
    if (!portValid || !startValid)
        return;
    if (!portAvailable(port)) {
        portErrorButton->show();
        return;
    }
    portErrorButton->hide();

    DB::SDeviceRegMapDescription description;
    description.devEui = deviceProxyModel->index(current.row(), DEV_COL_DEV_EUI).data().toString();
    description.name = deviceProxyModel->index(current.row(), DEV_COL_NAME).data().toString();
    description.appEui = currentAppEui;
    description.startAddr = startAddr;
    description.registers = registers;

    if (!CDataBaseHandler::getInstance()->registerNewDevice(description, port)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CAddNewDeviceForm::addDeviceSlot] device is not created!"));
        CUserNotice::notify(this, QMessageBox::Critical, tr("Add new device status"),
                            tr("Device is not added! See LOG-file for more details"));
        return;
    }
    CAllDeviceHandler::getInstance()->addNewDevice(description, port);
    CLogFile::addLog(QStringLiteral("INFO: [CAddNewDeviceForm::addDeviceSlot] device created successfully"));
    accept();
    emit refreshDeviceList(QString());
}
