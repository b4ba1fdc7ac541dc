#pragma once

#include <QPointer>

#include <QIcon>
#include <QItemSelection>
#include <QList>
#include <QMainWindow>
#include <QString>

#include <memory>

#include "server/mqttsettings.h"
#include "server/serverstatus.h"

class CAddNewDeviceForm;
class CEditDeviceForm;
class CTrendWindow;
class CGateway;
class CSearchEditWidget;
class QCheckBox;
class QComboBox;
class QTimer;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListView;
class QPushButton;
class QSpinBox;
class CRecordModel;

// The gateway's one window: the network server (WebSocket log-in or a ChirpStack /
// The Things Stack broker) with the connection state, the stored
// devices with add, edit and delete, and the selected device's Modbus parameters
// and live register values.
// Stale device cards are marked within this long of turning stale.
constexpr int STALE_REPAINT_MS = 1000;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // Shows the gateway's devices and connects to the server saved in the settings.
    explicit MainWindow(CGateway *_gateway, QWidget *parent = nullptr);
    ~MainWindow() override;

    CAddNewDeviceForm *addForm() const { return addDeviceForm.get(); }
    CEditDeviceForm *editForm() const { return editDeviceForm.get(); }

signals:
    void setConnectStatusIco(QIcon ico);

private slots:
    void debugSlot(QString str);
    void readSettings();
    void deviceSelectSlot(QItemSelection item1, QItemSelection item2);
    void refreshRegisterSlot();
    void addNewItemSlot();
    void editItemSlot();
    void deleteItemSlot();
    // Opens the selected device's trend, or raises the one open.
    void trendSlot();
    // Writes every device's register map as CSV, or Markdown for a name ending in .md.
    void exportRegisterMapSlot();
    void connectButtonSlot();
    void changeServerStatusSlot(COMM::EServerStatus _status);
    void storeStatusSlot(bool _saving, QString _reason);

public slots:
    void refreshDevicesSlot(QString _search = QString());
    void newDataForDeviceSlot(QString _devEui);

private:
    QWidget *buildLoginBox();
    QWidget *buildWebSocketFields();
    QWidget *buildMqttFields();
    QLayout *buildDeviceColumn();
    QLayout *buildRegisterColumn();
    void showNoDevice();
    EServerKind chosenKind() const;
    // Shows the fields of the chosen kind and the default topic of a broker kind.
    void showKindFields();
    // With TLS the default port is the TLS one, and the TLS files show.
    void showTlsFields(bool _tls);
    // Connects the way the fields say, logging the first missing one instead.
    void connectToWebSocket();
    void connectToMqtt();
    // Column of the device list's current row; invalid without one.
    QVariant currentDevice(int _column) const;

    CGateway *gateway;
    // Top-level windows of their own, as every dialog of the program.
    std::unique_ptr<CAddNewDeviceForm> addDeviceForm;
    std::unique_ptr<CEditDeviceForm> editDeviceForm;
    CSearchEditWidget *searchEdit;
    QListView *deviceView;
    CRecordModel *deviceModel;
    QPushButton *addButton;
    QPushButton *editButton;
    QPushButton *deleteButton;
    QPushButton *trendButton;
    // The trend windows open, each drawn again as its device's uplinks arrive.
    QList<QPointer<CTrendWindow>> trends;
    QPushButton *exportMapButton;
    // Repaints the device cards so a device turning stale is marked without an uplink.
    QTimer *staleRepaintTimer;
    QListView *registerView;
    CRecordModel *registerModel;
    QLabel *deviceTitleLabel;
    QGroupBox *modbusGroup;
    QLabel *tcpPortValueLabel;
    QLabel *beginRegisterValueLabel;
    QComboBox *kindCombo;
    QWidget *webSocketFields;
    QWidget *mqttFields;
    QComboBox *protocolCombo;
    QLineEdit *ipEdit;
    QLineEdit *portEdit;
    QLineEdit *loginEdit;
    QLineEdit *passwordEdit;
    QLineEdit *hostEdit;
    QSpinBox *mqttPortSpin;
    QCheckBox *tlsCheck;
    QLineEdit *caFileEdit;
    QLineEdit *certFileEdit;
    QLineEdit *keyFileEdit;
    // The TLS file rows, label and field, shown with TLS only.
    QList<QWidget *> tlsRowWidgets;
    QLineEdit *usernameEdit;
    QLineEdit *mqttPasswordEdit;
    QLineEdit *clientIdEdit;
    QLineEdit *topicEdit;
    QLabel *connectionStateLabel;
    // Shown only while decoded values cannot be saved.
    QLabel *storeStatusLabel;
};
