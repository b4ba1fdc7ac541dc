#pragma once

#include <QList>

#include "server/apitypes.h"
#include "store/storerecords.h"
#include "ui/cabstractdeviceform.h"

// The dialog through which a device the network server knows becomes a served
// Modbus device: lists the server's new devices of the known types, shows the
// type's register map for editing, and on OK stores the device and opens its port.
class CAddNewDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT

public:
    static CAddNewDeviceForm *getInstance();

public slots:
    void getDevicesListRespSlot(bool status, QList<API::SServerDeviceInfo> _regInfoList);

protected slots:
    void deviceSearchNameSlot(QString str) override;
    void refresh() override;
    void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) override;
    void addDeviceSlot() override;

private:
    CAddNewDeviceForm();

    void showStatus(const QString &_text);
    // Each shows its field's marker and answers false when the field is not usable.
    bool readPort(uint16_t &_port);
    bool readStartAddress(const QList<SRegisterDescription> &_registers, int32_t &_startAddr);
    bool portAvailable(uint16_t _port);
    QList<SRegisterDescription> editedRegisters() const;
};
