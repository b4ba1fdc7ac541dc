#pragma once

#include <QMutex>

#include <QHash>
#include <QSet>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>

#include "app/cclock.h"
#include "devices/downlinkcommand.h"
#include "modbus/modbuswrite.h"
#include "server/downlinkmessages.h"
#include "server/mqttsettings.h"
#include "store/storerecords.h"

class CGatewayCounters;

class CAllDeviceHandler;
class CCodecRunner;
class CDataBaseHandler;
class CHeardDevices;
class CMqttLink;
class CServerHandler;

// Turns Modbus writes of the devices' commands into downlinks: checks them, sends them over
// the link of the current server kind, answers the client once the downlink is handed on,
// and follows each until the server accepts or fails it. Keeps the last written values
// (registers in the store, coils here) and each device's "downlink" code.
class CDownlinks : public CModbusWriteTarget
{
    Q_OBJECT

public:
    // Downlinks of one device the server has not confirmed yet; one more is refused as busy.
    static constexpr int MAX_UNCONFIRMED = 8;

    // The "downlink" code a template's server_data may show.
    enum ECode { eNone = 0, eQueued = 1, eAccepted = 2, eFailed = 3 };

    CDownlinks(CServerHandler &_server, CMqttLink &_mqtt, const CHeardDevices &_heard, CClock *_clock,
        int _responseTimeoutMs, QObject *_parent = nullptr);

    // What the writes act on; set once the gateway has started.
    void setDevices(CDataBaseHandler *_store, CAllDeviceHandler *_registry);
    void setServerKind(EServerKind _kind) { serverKind = _kind; }
    // The codecs whose encoders make the payloads of commands with "encode".
    void setCodecs(CCodecRunner *_codecs) { codecs = _codecs; }
    void setWriteAllow(const MODBUS::WriteAllowList &_allow) { writeAllow = _allow; }
    // Where each downlink's result is counted; it must outlive this.
    void setCounters(CGatewayCounters *_counters) { counters = _counters; }

    void write(const SModbusWrite &_write, Done _done) override;
    MODBUS::EException coils(uint16_t _port, uint16_t _first, uint16_t _count, QVector<bool> *_states) const override;
    // Learns again which addresses of each port are coils, after the devices changed.
    void refreshCoils();

signals:
    // The device's command values or downlink code changed in the store.
    void registersChanged(QString _devEui);

private:
    // One downlink on its way.
    struct SPending
    {
        QString devEui;
        qint32 startAddr = 0;
        QString appEui;
        SDownlinkCommand command;
        QString valueText;
        QVector<uint16_t> words; // the registers written; empty for a coil
        uint16_t port = 0;
        bool coilOn = false;
        QString client; // "address:port unit N"
        Done done; // empty once answered
        qint64 deadlineMs = 0; // MQTT: when the broker's acknowledgement is given up
    };

    struct STarget
    {
        DB::SDeviceRegMapDescription device;
        SDownlinkCommand command;
        bool found = false;
        bool anyWritable = false;
    };
    STarget findTarget(const SModbusWrite &_write) const;
    // Why the downlink cannot go now (not connected, address unknown), or empty.
    QString unreachable(const QString &_devEui) const;

    void handedSlot(quint64 _id);
    void doneSlot(quint64 _id, bool _accepted, const QString &_reason);
    void publishedSlot(int _mid);
    void mqttDeadlineSlot();
    // Keeps the written value: registers in the store, a coil here.
    void keepWritten(const SPending &_pending);
    void setCode(const QString &_devEui, const QString &_appEui, qint32 _startAddr, ECode _code);
    // The payload and port the codec's encoder makes of a command's value; the error otherwise.
    QString encodeWithCodec(const STarget &_target, const QJsonValue &_value, API::SDownlink &_downlink) const;
    void refuse(const SModbusWrite &_write, const QString &_device, const QString &_command, const QString &_value,
        const QString &_reason, MODBUS::EException _exception, const Done &_done);

    CServerHandler &server;
    CMqttLink &mqtt;
    const CHeardDevices &heard;
    CClock *clock;
    int responseTimeoutMs;
    CDataBaseHandler *store = nullptr;
    CAllDeviceHandler *registry = nullptr;
    CCodecRunner *codecs = nullptr;
    EServerKind serverKind = EServerKind::eWebSocket;
    MODBUS::WriteAllowList writeAllow;
    CGatewayCounters *counters = nullptr;

    quint64 nextId = 1;
    QMap<quint64, SPending> pending;
    QHash<int, quint64> idOfMid;
    QHash<QString, int> unconfirmed; // by upper-case DevEUI
    // Read by the Modbus connections' thread as well.
    mutable QMutex coilMutex;
    QMap<QPair<uint16_t, uint16_t>, bool> coilStates; // (port, coil address)
    // The coil addresses of each port's devices; read on the Modbus thread under coilMutex.
    QHash<uint16_t, QSet<uint16_t>> coilAddresses;
    CClockTimer mqttDeadline;
};
