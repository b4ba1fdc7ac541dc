// The gateway's Modbus service under load: a store of 1,000 devices x 20
// registers spread over 50 ports, served the way the program serves them (one
// thread, one server per port). Values are those the load generator expects.
//
// usage: bench_modbus SECONDS
// Prints "ports: P1 P2 ..." once every port listens, serves for SECONDS, then
// the time it took to fill the store.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <vector>

#include "../modbus-load/expectedvalue.h"
#include "app/clogfile.h"
#include "app/globaltables.h"
#include "modbus/cdevicehandler.h"
#include "modbus/cmodbusconnections.h"
#include "store/cdatabasehandler.h"

namespace {

const int DEVICES = 1000;
const int REGISTERS_PER_DEVICE = 20;
const int PORTS = 50;
const int DEVICES_PER_PORT = DEVICES / PORTS;

void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

uint16_t freePort()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

QString hexWord(int word) { return QStringLiteral("%1").arg(word, 4, 16, QLatin1Char('0')); }

bool fillStore(CDataBaseHandler *store, const std::vector<uint16_t> &ports)
{
    for (int d = 0; d < DEVICES; ++d) {
        const int portIndex = d / DEVICES_PER_PORT;
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("4B454C56%1").arg(d, 8, 16, QLatin1Char('0')).toUpper();
        device.appEui = QStringLiteral("4B454C5641524101");
        device.name = QStringLiteral("Device %1").arg(d);
        device.startAddr = (d % DEVICES_PER_PORT) * REGISTERS_PER_DEVICE;
        SDeviceRegData values;
        values.devEui = device.devEui;
        values.startAddr = device.startAddr;
        for (int r = 0; r < REGISTERS_PER_DEVICE; ++r) {
            SRegisterDescription reg;
            reg.name = QStringLiteral("R%1").arg(r);
            reg.offset = r;
            reg.bitSize = 16;
            reg.dataType = QStringLiteral("uinteger");
            device.registers << reg;
            const QString text = hexWord(expectedRegisterValue(portIndex, device.startAddr + r));
            values.registers << SRegisterValue{text, text, r, expectedRegisterValue(portIndex, device.startAddr + r)};
        }
        if (!store->registerNewDevice(device, ports[size_t(portIndex)]) || !store->saveRegisterData(values))
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2)
        return 2;
    const int seconds = QString::fromLatin1(argv[1]).toInt();
    qInstallMessageHandler(dropDebug); // the per-request debug line would measure the terminal
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));
    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store)
        return 1;

    std::vector<uint16_t> ports;
    std::vector<CDeviceHandler *> servers;
    CModbusConnections connections{SModbusLimits()};
    for (int p = 0; p < PORTS; ++p) {
        ports.push_back(freePort());
        servers.push_back(new CDeviceHandler(ports.back(), store, connections));
        if (!servers.back()->open(QHostAddress::Any, true))
            return 1;
    }
    QElapsedTimer fill;
    fill.start();
    if (!fillStore(store, ports))
        return 1;
    const double fillSeconds = fill.nsecsElapsed() / 1e9;

    std::printf("ports:");
    for (uint16_t port : ports)
        std::printf(" %u", port);
    std::printf("\n");
    std::fflush(stdout);
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    std::printf("store: %d devices x %d registers on %d ports, filled in %.2f s\n", DEVICES, REGISTERS_PER_DEVICE,
                PORTS, fillSeconds);
    for (CDeviceHandler *server : servers)
        delete server;
    return 0;
}
