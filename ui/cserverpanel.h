#pragma once

#include <QIcon>
#include <QList>
#include <QWidget>

#include "server/mqttsettings.h"
#include "server/serverstatus.h"

class CGateway;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;

// The window's network-server panel: the kind of server, a WebSocket log-in or a ChirpStack /
// The Things Stack broker, the connect button and the connection state.
class CServerPanel : public QWidget
{
    Q_OBJECT

public:
    explicit CServerPanel(CGateway *_gateway, QWidget *_parent = nullptr);

    // Fills the fields with the saved server, or the defaults the gateway would use.
    void readSettings();

signals:
    // The icon the panel's button shows for the connection state.
    void connectionIconChanged(QIcon _icon);

public slots:
    void showServerStatus(COMM::EServerStatus _status);

private:
    QWidget *buildWebSocketFields();
    QWidget *buildMqttFields();
    EServerKind chosenKind() const;
    // Shows the fields of the chosen kind and the default topic of a broker kind.
    void showKindFields();
    // With TLS the default port is the TLS one, and the TLS files show.
    void showTlsFields(bool _tls);
    void connectChosen();
    // Connects the way the fields say, logging the first missing one instead.
    void connectToWebSocket();
    void connectToMqtt();

    CGateway *gateway;
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
};
