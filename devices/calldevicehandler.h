#pragma once

#include <QList>
#include <QMap>
#include <QMutex>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>
#include <QThread>

#include <functional>
#include <memory>

#include "app/cclock.h"
#include "app/ceui.h"
#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "modbus/cacceptwatcher.h"
#include "modbus/cmodbusconnections.h"
#include "modbus/cwriterelay.h"
#include "store/registerdescription.h"
#include "server/apitypes.h"
#include "server/cloglimiter.h"
#include "store/storerecords.h"

// What the registry keeps of a served device for decoding: the template it is decoded with,
// its registers' scaling and its counters, as add, edit and remove left them.
struct SDeviceDecoding
{
    // Null when no loaded template has the device's AppEUI.
    std::shared_ptr<const SDeviceTemplate> deviceTemplate;
    CRegisterScaling scaling;
    SDeviceCounters counters;
};

class CCodecRunner;
class CDataBaseHandler;
class CLogSink;
class CDeviceIdentities;
class CDeviceHandler;
class CGatewayCounters;
struct SDecodedUplink;

// The gateway's device side: the loaded device templates, the served devices with one
// Modbus server per port in use, and the decoding of their uplinks into the store.
class CAllDeviceHandler : public QObject
{
    Q_OBJECT

public:
    // A port that could not be opened is tried again this often.
    static constexpr int PORT_RETRY_MS = 10000;

    // Reads the templates of _templateDir. The store may be missing: uplinks are then
    // dropped with a log line. Templates with a codec need _templates.codecs, which must
    // outlive the registry.
    CAllDeviceHandler(CDataBaseHandler *_store, const QString &_templateDir, CClock *_clock = CClock::system(),
                      const SModbusLimits &_limits = SModbusLimits(),
                      const STemplateContext &_templates = STemplateContext(), QObject *parent = nullptr);

    // Uplinks arriving within _windowMs of each other, up to _maxUplinks, are handed to the
    // store's writer together, and share one transaction with whatever else waits for it;
    // 0 commits each on its own before the next is decoded (the default).
    void setBatching(int _windowMs, int _maxUplinks);
    // Commits the uplinks that wait for their batch and returns once they are written.
    void flushUplinks();

    // Where the Modbus servers listen (every interface by default). With _serve false devices are
    // only recorded, no port is opened: for tools that edit the device list of a running gateway.
    void setServing(const QHostAddress &_address, bool _serve);
    // Who carries out the Modbus writes of connections accepted from now on; it must outlive
    // the registry.
    void setWriteTarget(CModbusWriteTarget *_target);
    // Where uplinks and Modbus requests are counted, for connections accepted from now on too;
    // it must outlive the registry.
    void setCounters(CGatewayCounters *_counters);
    // Who the devices are, for Modbus function 43/14; must outlive the registry.
    void setIdentities(const CDeviceIdentities *_identities);
    ~CAllDeviceHandler() override;

    // Adds every valid template of the template directory whose AppEUI is new.
    void loadTemplates();
    // Reads the template directory afresh: changed templates replace the old, removed ones go.
    void reloadTemplates();
    // Whether the network server sends decoded objects; templates are read again when it changes.
    void setServerDecodes(bool _decodes);
    // The codecs the templates use; null when none were handed in.
    CCodecRunner *codecs() const { return templateContext.codecs; }
    // The codec file of a template, empty when its values are not decoded by a codec of ours.
    QString codecOfTemplate(const QString &_appEui) const;
    // Serves the stored devices of a gateway starting, each with its counters and scaling: every
    // port opens in one go on the Modbus thread, and the log gets a line a port, not a device.
    // Devices whose registers overlap are logged as addNewDevice logs them.
    void serveStored(const QList<SStoredDevice> &_stored);
    // Serves exactly _stored: new devices are added, moved ones change port, others stop
    // being served; ports left without a device close, the others stay up. Logs each change.
    // Devices served already keep their counters; every device takes the stored scaling.
    void serveExactly(const QList<SStoredDevice> &_stored);
    // The device's registers are scaled so from now on (the edited ones; others keep theirs).
    void setScaling(const QString &_devEui, const QVector<SRegisterScale> &_changed);
    // What decoding the device's uplinks goes on from; no template when it is not served.
    SDeviceDecoding decodingOf(const QString &_devEui) const;

    // Open Modbus client connections over every port; safe from any thread.
    int modbusConnectionCount() const { return modbusConnections.openCount(); }
    // Ports whose Modbus server is listening, ascending.
    QList<uint16_t> getPortList() const;
    // True when a device is served on the port, whether or not it could be opened yet (or is only recorded).
    bool hasPort(uint16_t _port) const;
    // Every port a device is served on, whether or not its server could be opened yet.
    QList<uint16_t> servedPorts() const;
    // DevEUIs (as stored) of the devices served on the port, ascending.
    QStringList devicesOnPort(uint16_t _port) const;

    // Type name and colour of a template (AppEUI in any case); empty texts when unknown.
    SDeviceTemplateInfo getTemplateInfo(const QString &appEui) const;
    // One entry per template, ascending AppEUI.
    QList<SDeviceTemplateInfo> getTemplateList() const;
    // AppEUI of the template whose device_profile is _profile (ChirpStack's name); empty when none.
    QString templateOfDeviceProfile(const QString &_profile) const;
    // The register map a template exposes; empty AppEUI and list when unknown.
    SDeviceRegMap getRegMapDescription(const QString &appEui) const;

    // The commands of a template (AppEUI in any case); empty when unknown.
    QList<SDownlinkCommand> getDownlinkCommands(const QString &appEui) const;
    // Register of the template's "downlink" server value, -1 when it has none.
    qint32 downlinkCodeRegister(const QString &appEui) const;
    // The device as served (DevEUI in any case); an empty DevEUI when it is not.
    DB::SDeviceRegMapDescription getServedDevice(const QString &_devEui) const;

    // Name and DevEUI ("name [DevEUI]") of a device served on _port whose registers share an
    // address with a map starting at _startAddr; empty when none. _except is left out.
    // Devices of two different non-zero unit IDs may share addresses: a request names one of them.
    QString overlappingDevice(uint16_t _port, qint64 _startAddr, const QList<SRegisterDescription> &_registers,
                              const CEui &_except = CEui(), quint8 _unitId = 0) const;

signals:
    void newDataForDevice(QString _devEui);

protected slots:
    void processDataSlot(API::SApiDeviceData _devData);

public slots:
    // Serves the device on the port, opening the port's server when it is the first there.
    // A device served on another port is taken off that port first. False when the port
    // could not be opened now; it is tried again every PORT_RETRY_MS.
    bool addNewDevice(DB::SDeviceRegMapDescription _devInfo, uint16_t _port);
    // Stops serving the device; the port's server closes with its last device.
    void removeDevice(QString _devEui, uint16_t _port);
    // Decodes the uplink when its DevEUI (any letter case) is served.
    void newPacketReceivedSlot(API::SApiDeviceData _devData);

private slots:
    void retryClosedPorts();

protected:
    struct SServed;

private:
    // Stores what a decoder template made of an uplink.
    void storeObjectUplink(const API::SApiDeviceData &_devData, const SCodecResult &_decoded);
    // Decodes the uplink as the registry holds the device: payload, codec or network-decoded.
    void decodeServed(const API::SApiDeviceData &_devData, const SServed &_served);
    // Counters, registers and log lines of one decoded uplink into the store.
    void storeDecoded(const API::SApiDeviceData &_devData, const SDecodedUplink &_decoded);
    // Counts the uplink and keeps it in the device's journal.
    void noteUplink(const API::SApiDeviceData &_uplink, const SDecodedUplink &_decoded);
    // Hands the waiting batch to the store's writer; with _wait, returns once it is written.
    void commitPending(bool _wait);
    // Tells of the devices whose uplinks are written, every ticket up to _ticket.
    void announceWritten(quint64 _ticket);
    // Runs _work on the Modbus thread and returns once it is done.
    void onModbusThread(const std::function<void()> &_work) const;
    // A server for the port, listening when it can be opened; the retry timer takes the others.
    // Under mutex. _open false leaves the opening to the caller.
    CDeviceHandler *serverOfPort(uint16_t _port, bool _open);
    // addNewDevice, with what decoding goes on from when given; otherwise a device served already
    // keeps its own, a new one takes its map's scaling (or the store's) and the store's counters.
    bool placeDevice(const DB::SDeviceRegMapDescription &_devInfo, uint16_t _port, const SDeviceDecoding *_decoding);
    // Records the device as served on the port, with what decoding it needs. Under mutex.
    void record(const DB::SDeviceRegMapDescription &_device, uint16_t _port, const SDeviceDecoding &_decoding);
    // The loaded template of an AppEUI in any case; null when none.
    std::shared_ptr<const SDeviceTemplate> templateOf(const QString &_appEui) const;
    // Takes the DevEUI off every server but the one on _keepPort.
    void detachFromOtherPorts(const CEui &_devEui, uint16_t _keepPort);
    void closePort(uint16_t _port);
    // Register addresses a device's map takes from its start address, each value with all its
    // registers: the template's own list (shared, not copied) unless the device brings a map.
    QVector<QPair<qint64, qint64>> addressRanges(const DB::SDeviceRegMapDescription &_device) const;
    // The device of the port whose ranges meet _wanted (from _startAddr on), as overlappingDevice says it.
    QString deviceOverlapping(uint16_t _port, qint64 _startAddr, const QVector<QPair<qint64, qint64>> &_wanted,
                              const CEui &_except, quint8 _unitId) const;
    // Logs each device of _devices whose registers share an address with one before it on its port.
    void logOverlaps(const QList<SStoredDevice> &_devices) const;

protected:
    CDataBaseHandler *store;
    CGatewayCounters *counters = nullptr;
    QString templateDir;
    STemplateContext templateContext;
    // The registry's own lines and its Modbus servers' go where its templates' do.
    CLogSink *log;
    // A device whose decoder refuses its uplinks is told of once a minute, with a count.
    CLogLimiter refusalLog;
    // Uplinks are timed on it: the age and staleness of a device's values.
    CClock *clock;
    CClockTimer portRetryTimer;
    CClockTimer batchTimer;
    int batchWindowMs = 0;
    int batchMaxUplinks = 1;
    QList<SDeviceRegData> pendingUplinks;
    // The devices of batches handed to the store's writer, by ticket, until they are written.
    QList<QPair<quint64, QStringList>> unannounced;
    // Every Modbus server and connection lives on it: neither decoding nor the window delays
    // an answer. The registry changes the servers only through onModbusThread.
    QThread modbusThread;
    // The client connections of all ports, under one cap; outlives every server.
    CModbusConnections modbusConnections;
    // Watches every port's listening socket, so that the event loop watches only live connections.
    CAcceptWatcher acceptWatcher;
    std::unique_ptr<CWriteRelay> writeRelay;
    // The ports whose servers listen, as their last open or close left them: a server stops
    // listening only when the registry closes it.
    QSet<uint16_t> listeningPorts;
    QHostAddress bindAddress = QHostAddress::Any;
    bool serving = true;
    // A loaded template with what every device of it shares: its register map and the address
    // ranges of that map from offset 0.
    struct SLoadedTemplate
    {
        std::shared_ptr<const SDeviceTemplate> parsed;
        SDeviceRegMap regMap;
        QVector<QPair<qint64, qint64>> ranges;
    };
    // One served device: where, the register ranges of its map (from its start address; worked
    // out once, so the overlap check of a port with many devices builds no neighbour's map again),
    // and what decoding its uplinks needs.
    struct SServed
    {
        DB::SDeviceRegMapDescription device;
        uint16_t port = 0;
        QVector<QPair<qint64, qint64>> ranges;
        SDeviceDecoding decoding;
    };
    QMap<QString, SLoadedTemplate> templates; // by upper-case AppEUI
    QMap<uint16_t, CDeviceHandler *> ports;
    QHash<CEui, SServed> devices;
    // The devices of each port, so a port's questions need not look at every device.
    QHash<uint16_t, QSet<CEui>> portMembers;
    mutable QMutex mutex;
};
