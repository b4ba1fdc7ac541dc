#pragma once

#include <QList>

#include "gateway/cgateway.h"
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
    explicit CAddNewDeviceForm(CGateway *_gateway, QWidget *parent = nullptr);

public slots:
    void getDevicesListRespSlot(bool status, QList<API::SServerDeviceInfo> _regInfoList);

protected slots:
    void deviceSearchNameSlot(QString str) override;
    void refresh() override;
    void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) override;
    void addDeviceSlot() override;

private:
    void showStatus(const QString &_text);
    // Each shows its field's marker and answers false when the field is not usable.
    bool readPort(uint16_t &_port);
    bool readStartAddress(int32_t &_startAddr);
    // Shows the marker of the field the gateway refused, with its reason as tool tip.
    void markRefusal(const SGatewayResult &_result);
    QList<SRegisterDescription> editedRegisters() const;
};
