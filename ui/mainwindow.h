#pragma once

#include <QIcon>
#include <QMainWindow>
#include <QString>

class CAddNewDeviceForm;
class CDeviceListPanel;
class CEditDeviceForm;
class CGateway;
class CRegisterPanel;
class CServerPanel;

// The gateway's one window: the network-server panel (CServerPanel), the stored devices
// (CDeviceListPanel) and the selected device's Modbus parameters and live register values
// (CRegisterPanel). It wires them to the gateway and to each other.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Shows the gateway's devices and connects to the server saved in the settings.
    explicit MainWindow(CGateway *_gateway, QWidget *parent = nullptr);
    ~MainWindow() override;

    CAddNewDeviceForm *addForm() const;
    CEditDeviceForm *editForm() const;

signals:
    void setConnectStatusIco(QIcon ico);

private slots:
    void debugSlot(QString str);

private:
    CGateway *gateway;
    CServerPanel *serverPanel;
    CDeviceListPanel *deviceList;
    CRegisterPanel *registerPanel;
};
