#pragma once

#include <QList>
#include <QObject>
#include <QSqlQuery>
#include <QString>

#include <memory>

#include "app/cclock.h"
#include "store/registerdescription.h"
#include "server/apitypes.h"
#include "server/cserverhandler.h"
#include "server/serverstatus.h"
#include "store/storerecords.h"

class CAllDeviceHandler;
class CDataBaseHandler;
class QThread;

// Where the gateway keeps its files and how long it waits for what.
struct SGatewayConfig
{
    // Holds "server.db" and "deviceFolder".
    QString workDir;
    CClock *clock = CClock::system();
    SServerTimings serverTimings;
    int storeBusyTimeoutMs = 5000;
};

// One network-server log-in: where and as whom.
struct SServerLogin
{
    QString scheme = QStringLiteral("ws");
    QString host;
    QString port;
    QString login;
    QString password;

    QString origin() const { return QStringLiteral("%1://%2:%3").arg(scheme, host, port); }
};

// Why a device operation was refused; NONE when it was done.
enum class EGatewayError {
    NONE,
    INVALID_PORT,
    PORT_BUSY,
    INVALID_START_ADDRESS,
    OVERLAP,
    UNKNOWN_TEMPLATE,
    ALREADY_REGISTERED,
    STORE_FAILED
};

struct SGatewayResult
{
    EGatewayError error = EGatewayError::NONE;
    QString message;

    bool ok() const { return error == EGatewayError::NONE; }
};

// The gateway without its window: builds the register store, the device registry and the
// network-server link, wires them, and is the one place where devices are added, edited
// and removed. The window, the dialogs and the command line are its clients.
class CGateway : public QObject
{
    Q_OBJECT

public:
    explicit CGateway(const SGatewayConfig &_config, QObject *_parent = nullptr);
    ~CGateway() override;

    // Opens the store and serves every stored device; false with the reason when the
    // store cannot be used.
    bool start(QString *_error);

    // Validates the placement, stores the device with its registers and opens its port.
    SGatewayResult addDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port);
    // Changes register parameters, all or nothing.
    SGatewayResult editDevice(const SDeviceRegUpdate &_update);
    // Forgets the device in the store first, then stops serving it.
    SGatewayResult removeDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port);
    // The first check addDevice makes, for a dialog that marks the field early.
    SGatewayResult checkPlacement(const QList<SRegisterDescription> &_registers, uint16_t _port, qint64 _startAddr,
                                  const QString &_devEui = QString()) const;

    // Logs in to the network server. With _saveOnSuccess the log-in is written to the
    // settings once the server accepts it, exactly as given here.
    void connectToServer(const SServerLogin &_login, bool _saveOnSuccess);
    COMM::EServerStatus serverStatus() const;
    // Asks the server for its devices of every known template; false when it cannot be asked.
    bool requestDeviceList();

    QSqlQuery devices(const QString &_search) const;
    QSqlQuery registers(uint32_t _deviceId) const;
    // Upper-case DevEUIs of the stored devices.
    QStringList registeredDevices() const;
    QList<SDeviceTemplateInfo> templates() const;
    SDeviceTemplateInfo templateInfo(const QString &_appEui) const;
    SDeviceRegMap regMap(const QString &_appEui) const;
    // Ports whose Modbus server is listening.
    QList<uint16_t> openPorts() const;
    // The thread the store lives on; none before start().
    QThread *storeThread() const { return storeWorker; }

signals:
    void serverStatusChanged(COMM::EServerStatus _status);
    void deviceListReceived(bool _status, QList<API::SServerDeviceInfo> _devices);
    void newDataForDevice(QString _devEui);
    // A device was added, edited or removed.
    void devicesChanged();
    // Decoded values stopped reaching the store's file (SQLite's reason; Modbus goes on
    // serving them from memory), or they reach it again.
    void storeStatusChanged(bool _saving, QString _reason);

private slots:
    void serverStatusSlot(COMM::EServerStatus _status);

private:
    void serveStoredDevices();
    bool portFreeForUs(uint16_t _port) const;

    SGatewayConfig config;
    CServerHandler server;
    std::unique_ptr<CDataBaseHandler> store;
    QThread *storeWorker = nullptr;
    std::unique_ptr<CAllDeviceHandler> registry;
    // The operator's log-in, kept until the server accepts it.
    bool saveLoginOnSuccess = false;
    SServerLogin pendingLogin;
};
