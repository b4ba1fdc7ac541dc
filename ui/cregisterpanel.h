#pragma once

#include <QString>
#include <QWidget>

class CGateway;
class CRecordModel;
class QGroupBox;
class QLabel;
class QListView;

// The device the window shows the registers of.
struct SShownDevice
{
    quint32 id = 0;
    QString devEui;
    QString appEui;
    quint16 port = 0;
    quint32 startAddr = 0;
};

// The window's register view: the selected device's Modbus parameters and live register values.
class CRegisterPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CRegisterPanel(CGateway *_gateway, QWidget *_parent = nullptr);

public slots:
    void showDevice(const SShownDevice &_device);
    void showNoDevice();
    // Reads the registers again when _devEui is the device shown.
    void refreshDevice(const QString &_devEui);

private:
    void refreshRegisters();

    CGateway *gateway;
    // Set while a device is shown.
    bool showing = false;
    SShownDevice shown;
    QListView *registerView;
    CRecordModel *registerModel;
    QLabel *deviceTitleLabel;
    QGroupBox *modbusGroup;
    QLabel *tcpPortValueLabel;
    QLabel *beginRegisterValueLabel;
};
