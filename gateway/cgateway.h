#pragma once

#include <QList>
#include <QMap>
#include <QHostAddress>
#include <QObject>
#include <QSqlRecord>
#include <QVector>
#include <QString>

#include <memory>

#include "app/cclock.h"
#include "gateway/cdownlinks.h"
#include "modbus/deviceidentification.h"
#include "modbus/modbuslimits.h"
#include "server/apitypes.h"
#include "server/cheardevices.h"
#include "server/cmqttlink.h"
#include "server/cserverhandler.h"
#include "server/mqttsettings.h"
#include "server/serverstatus.h"
#include "store/cgatewaycounters.h"
#include "store/historysettings.h"
#include "store/registerdescription.h"
#include "store/storerecords.h"
#include "store/storerecords.h"
#include "web/websettings.h"

class CAllDeviceHandler;
class CCodecRunner;
class CDataBaseHandler;
class CHistoryStore;
class CLogSink;
class CWebConsole;
class QThread;

// Where the gateway keeps its files and how long it waits for what.
struct SGatewayConfig
{
    // Holds "server.db" and "deviceFolder".
    QString workDir;
    CClock *clock = CClock::system();
    // Where every part of the gateway writes its log lines; the program's log file when none.
    CLogSink *log = nullptr;
    SServerTimings serverTimings;
    int storeBusyTimeoutMs = 5000;
    // Idle time-out, connection cap and the other bounds of the Modbus clients.
    SModbusLimits modbusLimits;
    // Where the Modbus servers listen: every interface unless settings say otherwise.
    QHostAddress modbusBind = QHostAddress::Any;
    // False for tools that change the device list while a gateway may be serving it.
    bool serveDevices = true;
    // Uplinks arriving within this many ms share one commit, up to uplinkBatchMax of them; 0 commits
    // each alone. A crash loses at most the open batch.
    int uplinkBatchMs = 20;
    int uplinkBatchMax = 1000;
    // Where uplinks come from: the WebSocket server (the log-in of the settings' [server] group)
    // or a ChirpStack / The Things Stack broker (the [mqtt] group).
    EServerKind serverKind = EServerKind::eWebSocket;
    SMqttSettings mqtt;
    // The MQTT link's first reconnect delay; tests shorten it.
    int mqttFirstRetryMs = CReconnectBackoff::FIRST_DELAY_MS;
    // Modbus clients that may write ([modbus] write_allow); empty: any.
    MODBUS::WriteAllowList writeAllow;
    // The web console ([web] group); off unless listen is set.
    SWebSettings web;
    // How much of the decoded values history.db keeps ([history] group).
    SHistorySettings history;
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
    // The log-in kept in the settings file; fields missing there stay empty.
    static SServerLogin fromSettings();
};

// Highest Modbus unit ID a device may have; 0 answers every unit.
constexpr int MAX_UNIT_ID = 247;

// Why a device operation was refused; NONE when it was done.
enum class EGatewayError {
    NONE,
    INVALID_PORT,
    PORT_BUSY,
    INVALID_START_ADDRESS,
    INVALID_UNIT_ID,
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

    // Commits the uplinks waiting for their batch, as before a stop.
    void flushUplinks();
    // Reads the templates and the stored devices again (another process may have changed them):
    // new ports open, freed ports close, connections on unchanged ports stay up. False when
    // the store cannot be read.
    bool reload();

    // Validates the placement, stores the device with its registers and opens its port.
    SGatewayResult addDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port);
    // Adds every device or none: each is checked as addDevice checks it, against the stored
    // devices and those before it in the list. On refusal *_failedAt is the index of the culprit.
    SGatewayResult addDevices(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices,
                              int *_failedAt);
    // Changes register parameters, all or nothing.
    SGatewayResult editDevice(const SDeviceRegUpdate &_update);
    // Turns Modbus writes to the device's commands into downlinks, or stops doing so.
    SGatewayResult setWritable(const QString &_devEui, bool _writable);
    bool isWritable(const QString &_devEui) const;
    // Forgets the device in the store first, then stops serving it.
    SGatewayResult removeDevice(uint32_t _deviceId, const QString &_devEui, uint16_t _port);
    // The first check addDevice makes, for a dialog that marks the field early.
    SGatewayResult checkPlacement(const QList<SRegisterDescription> &_registers, uint16_t _port, qint64 _startAddr,
                                  const QString &_devEui = QString(), quint8 _unitId = 0) const;

    // Connects to the server of the configured kind: the WebSocket server with the settings'
    // log-in, when it is complete, or the configured broker; logs what is missing otherwise.
    void connectToSavedServer();
    // Logs in to the WebSocket network server, stopping the MQTT link. With _saveOnSuccess the
    // log-in and the kind are written to the settings once the server accepts it, exactly as given here.
    void connectToServer(const SServerLogin &_login, bool _saveOnSuccess);
    // Connects to the broker of a ChirpStack or The Things Stack server, stopping the WebSocket
    // link. With _saveOnSuccess the kind and the [mqtt] group are written to the settings once
    // the broker accepts the log-in, exactly as given here.
    void connectToMqtt(const SMqttSettings &_settings, bool _saveOnSuccess);
    // The kind of server the gateway takes its uplinks from now.
    EServerKind serverKind() const { return config.serverKind; }
    COMM::EServerStatus serverStatus() const;
    // Asks the server for its devices of every known template; false when it cannot be asked.
    // From an MQTT broker, which cannot be asked, the answer is the devices heard since start
    // whose template is known, and it comes at once.
    bool requestDeviceList();
    // True when uplinks come over MQTT: the devices to add are those heard since start.
    bool listsHeardDevices() const { return config.serverKind != EServerKind::eWebSocket; }
    // What a downlink to a device heard over MQTT will need.
    const CHeardDevices &heard() const { return heardDevices; }

    // Copies of the rows: what the window and the commands show never holds the store's connection.
    QVector<QSqlRecord> devices(const QString &_search) const;
    // Every stored device with its settings (no register map) and port, by name.
    QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> storedDevices() const;
    // What adding makes sure of first: a known template, a DevEUI not in _registered, the placement.
    SGatewayResult checkNewDevice(const DB::SDeviceRegMapDescription &_device, uint16_t _port,
                                  const QStringList &_registered) const;
    // True when the device's values are older than its stale time.
    bool isDeviceStale(const QString &_devEui) const;
    // The seconds since the device's last decoded uplink and its counters.
    SDeviceCounters deviceCounters(const QString &_devEui) const;
    QVector<QSqlRecord> registers(uint32_t _deviceId) const;
    // Upper-case DevEUIs of the stored devices.
    QStringList registeredDevices() const;
    QList<SDeviceTemplateInfo> templates() const;
    SDeviceTemplateInfo templateInfo(const QString &_appEui) const;
    SDeviceRegMap regMap(const QString &_appEui) const;
    // The commands a Modbus client may write to devices of the template.
    QList<SDownlinkCommand> downlinkCommands(const QString &_appEui) const;
    // Ports whose Modbus server is listening.
    QList<uint16_t> openPorts() const;
    // The words a Modbus client reads at those addresses of the port.
    QMap<uint16_t, uint16_t> registerWords(uint16_t _port, int _first, int _count) const;
    // What the gateway has counted since start; safe to read from any thread.
    CGatewayCounters *counters() { return &counted; }
    // Open Modbus client connections, from any thread.
    int modbusConnectionCount() const;
    CClock *clock() const { return config.clock; }
    CLogSink *logSink() const { return log; }
    // The port the web console listens on; 0 when it does not run.
    int webPort() const;
    // Where history.db lies; it may not exist (history off, nothing decoded yet).
    QString historyFile() const;
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

private:
    // A status of the link of the current kind.
    void serverStatusSlot(COMM::EServerStatus _status);
    void saveConnection();
    // Says where a first-time operator sets up the network server.
    void logNoServerConfigured() const;
    // Tells the store which registers of each device read its age: they come from the templates.
    void publishAgeRegisters(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices);
    bool portFreeForUs(uint16_t _port) const;
    // Tells function 43/14 who each port's devices are.
    void publishIdentities(const QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> &_devices);
    // Every stored device with what the registry decodes its uplinks with: its counters and
    // scaled registers (one query for all).
    QList<SStoredDevice> storedRecords() const;

    // The heard device's template: by JoinEUI = app_eui, or by ChirpStack's device profile.
    QString templateOfHeard(const API::SHeardDevice &_device) const;

    SGatewayConfig config;
    // Handed to every part below; built before them.
    CLogSink *log;
    // Before everything that counts into it, so it goes last.
    CGatewayCounters counted;
    CServerHandler server;
    CMqttLink mqtt;
    CHeardDevices heardDevices;
    CDownlinks downlinks;
    COMM::EServerStatus status = COMM::eDisconnected;
    // Written by the store's writer: goes after the store.
    std::unique_ptr<CHistoryStore> history;
    std::unique_ptr<CDataBaseHandler> store;
    QThread *storeWorker = nullptr;
    // The templates' JavaScript codecs on their own thread; outlives the registry.
    std::unique_ptr<CCodecRunner> codecs;
    // Read by the registry's Modbus connections: destroyed after the registry.
    CDeviceIdentities identities;
    std::unique_ptr<CAllDeviceHandler> registry;
    // The operator's log-in or broker settings, kept until the server accepts them.
    bool saveLoginOnSuccess = false;
    SServerLogin pendingLogin;
    std::unique_ptr<CWebConsole> console;
};
