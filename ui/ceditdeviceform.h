#pragma once

#include "ui/cabstractdeviceform.h"

// Changes the register parameters (added value, multiplier, unit) of one registered
// device; the device itself, its port and start address are shown, not changed.
class CEditDeviceForm : public CAbstractDeviceForm
{
    Q_OBJECT

public:
    explicit CEditDeviceForm(CGateway *_gateway, QWidget *parent = nullptr);

public slots:
    void setOriginal(uint32_t _deviceId, QString _devEui, QString _devName, QString _appEui, uint16_t _port,
                     uint32_t _startAddr);

protected slots:
    void deviceSearchNameSlot(QString str) override;
    void refresh() override;
    void deviceListSelectSlot(QItemSelection item1, QItemSelection item2) override;
    void addDeviceSlot() override;
};
