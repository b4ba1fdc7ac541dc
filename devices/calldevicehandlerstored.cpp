// The registry serving the stored devices: all of them at start, and afresh after a reload.

#include "devices/calldevicehandler.h"

#include <QMutexLocker>

#include <algorithm>

#include "app/logsink.h"
#include "modbus/cdevicehandler.h"

void CAllDeviceHandler::serveStored(const QList<SStoredDevice> &_stored)
{
    logOverlaps(_stored);
    QMap<uint16_t, int> perPort;
    QList<CDeviceHandler *> opening;
    {
        QMutexLocker locker(&mutex);
        for (const SStoredDevice &stored : _stored) {
            detachFromOtherPorts(CEui(stored.device.devEui), stored.port);
            if (!ports.contains(stored.port))
                opening.append(serverOfPort(stored.port, false));
            SDeviceDecoding decoding;
            decoding.deviceTemplate = templateOf(stored.device.appEui);
            decoding.scaling = CRegisterScaling(stored.scaled);
            decoding.counters = stored.counters;
            record(stored.device, stored.port, decoding);
            ++perPort[stored.port];
        }
        // Every new port in one trip to the Modbus thread.
        QList<uint16_t> opened;
        if (serving && !opening.isEmpty()) {
            onModbusThread([this, &opening, &opened] {
                for (CDeviceHandler *server : qAsConst(opening)) {
                    if (server->open(bindAddress, true))
                        opened.append(server->getPort());
                }
            });
        }
        for (uint16_t port : qAsConst(opened))
            listeningPorts.insert(port);
        if (serving && opened.size() < opening.size() && !portRetryTimer.isActive())
            portRetryTimer.start(PORT_RETRY_MS);
    }
    for (auto it = perPort.constBegin(); it != perPort.constEnd(); ++it)
        log->addLine(QStringLiteral("[CAllDeviceHandler::serveStored] Port [%1] serves %2 stored devices")
                         .arg(it.key())
                         .arg(it.value()));
}

void CAllDeviceHandler::logOverlaps(const QList<SStoredDevice> &_devices) const
{
    // Port by port, for each unit the first device at every Modbus address (its index + 1): a
    // stored device is checked against those before it without looking at each of them.
    QMap<uint16_t, QVector<int>> byPort;
    for (int i = 0; i < _devices.size(); ++i)
        byPort[_devices.at(i).port].append(i);
    const qint64 LAST_ADDRESS = 65535;
    for (auto port = byPort.constBegin(); port != byPort.constEnd(); ++port) {
        QMap<quint8, QVector<int>> owners;
        for (int index : port.value()) {
            const DB::SDeviceRegMapDescription &device = _devices.at(index).device;
            const QVector<QPair<qint64, qint64>> ranges = addressRanges(device);
            int other = 0;
            for (auto unit = owners.constBegin(); other == 0 && unit != owners.constEnd(); ++unit) {
                if (device.unitId != 0 && unit.key() != 0 && unit.key() != device.unitId)
                    continue;
                for (const auto &range : ranges) {
                    const qint64 first = std::max<qint64>(0, device.startAddr + range.first);
                    const qint64 last = std::min(LAST_ADDRESS, device.startAddr + range.second);
                    for (qint64 addr = first; other == 0 && addr <= last; ++addr)
                        other = unit->at(int(addr));
                }
            }
            if (other != 0) {
                const DB::SDeviceRegMapDescription &earlier = _devices.at(other - 1).device;
                log->addLine(QStringLiteral("WARNING: [CAllDeviceHandler::serveStored] Registers of device [%1] on "
                                            "port [%2] overlap those of %3 [%4]")
                                 .arg(device.devEui)
                                 .arg(port.key())
                                 .arg(earlier.name, earlier.devEui));
            }
            QVector<int> &mine = owners[device.unitId];
            if (mine.isEmpty())
                mine.resize(int(LAST_ADDRESS) + 1);
            for (const auto &range : ranges) {
                const qint64 first = std::max<qint64>(0, device.startAddr + range.first);
                const qint64 last = std::min(LAST_ADDRESS, device.startAddr + range.second);
                for (qint64 addr = first; addr <= last; ++addr) {
                    if (mine.at(int(addr)) == 0)
                        mine[int(addr)] = index + 1;
                }
            }
        }
    }
}

void CAllDeviceHandler::serveExactly(const QList<SStoredDevice> &_stored)
{
    QMap<CEui, const SStoredDevice *> wanted;
    for (const SStoredDevice &device : _stored)
        wanted.insert(CEui(device.device.devEui), &device);
    QList<QPair<QString, uint16_t>> gone;
    {
        QMutexLocker locker(&mutex);
        for (auto it = devices.constBegin(); it != devices.constEnd(); ++it) {
            if (!wanted.contains(it.key()))
                gone.append({ it->device.devEui, it->port });
        }
    }
    for (const auto &device : gone) {
        removeDevice(device.first, device.second);
        log->addLine(QStringLiteral("INFO: [CAllDeviceHandler::serveExactly] Device [%1] is no longer served on "
                                    "port [%2]")
                         .arg(device.first)
                         .arg(device.second));
    }
    for (const SStoredDevice *device : qAsConst(wanted)) {
        const CEui devEui(device->device.devEui);
        uint16_t servedPort = 0;
        bool known = false;
        {
            QMutexLocker locker(&mutex);
            const auto served = devices.find(devEui);
            known = served != devices.end();
            if (known) {
                // The file's scaling may have been edited by another program; the counters are ours.
                served->decoding.scaling = CRegisterScaling(device->scaled);
                if (served->device.startAddr == device->device.startAddr)
                    servedPort = served->port;
            }
            if (known && servedPort == device->port) {
                // Same place: the settings (unit, word order, stale time) may still have changed.
                served->device = device->device;
                served->ranges = addressRanges(device->device);
                continue;
            }
        }
        if (known) {
            addNewDevice(device->device, device->port);
            continue;
        }
        SDeviceDecoding decoding;
        decoding.scaling = CRegisterScaling(device->scaled);
        decoding.counters = device->counters;
        placeDevice(device->device, device->port, &decoding);
    }
}
