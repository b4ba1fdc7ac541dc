#pragma once

#include <QIcon>
#include <QItemSelection>
#include <QMainWindow>
#include <QString>

#include "server/serverstatus.h"

class CSearchEditWidget;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSqlQueryModel;

// The gateway's one window: server log-in with the connection state, the stored
// devices with add, edit and delete, and the selected device's Modbus parameters
// and live register values.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);

signals:
    void setConnectStatusIco(QIcon ico);
    void connectToServer(QString _origin, QString _login, QString _password);
    void disconnectDevice(QString _devEui, uint16_t _port);

private slots:
    void debugSlot(QString str);
    void readSettings();
    void saveSettings();
    void deviceSelectSlot(QItemSelection item1, QItemSelection item2);
    void refreshRegisterSlot();
    void addNewItemSlot();
    void editItemSlot();
    void deleteItemSlot();
    void tryToConnectToServerSlot();
    void changeServerStatusSlot(COMM::EServerStatus _status);

public slots:
    void refreshDevicesSlot(QString _search = QString());
    void newDataForDeviceSlot(QString _devEui);

private:
    QWidget *buildLoginBox();
    QLayout *buildDeviceColumn();
    QLayout *buildRegisterColumn();
    void showNoDevice();
    void registerStoredDevices();
    // Column of the device list's current row; invalid without one.
    QVariant currentDevice(int _column) const;

    CSearchEditWidget *searchEdit;
    QListView *deviceView;
    QSqlQueryModel *deviceModel;
    QPushButton *addButton;
    QPushButton *editButton;
    QPushButton *deleteButton;
    QListView *registerView;
    QSqlQueryModel *registerModel;
    QLabel *deviceTitleLabel;
    QGroupBox *modbusGroup;
    QLabel *tcpPortValueLabel;
    QLabel *beginRegisterValueLabel;
    QComboBox *protocolCombo;
    QLineEdit *ipEdit;
    QLineEdit *portEdit;
    QLineEdit *loginEdit;
    QLineEdit *passwordEdit;
    QLabel *connectionStateLabel;
};
