// The gateway at scale: 10,000 devices x 20 registers on 500 ports (20 devices a port).
// Prints how long the gateway takes from start to serving every port, its resident memory
// then, and checks one register of every port through a real connection.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

#include "../benchsupport.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "gateway/cgateway.h"
#include "store/cdatabasehandler.h"

namespace {

const int DEVICES = 10000;
const int PORTS = 500;
const int REGISTERS = 20;
const QString APP_EUI = QStringLiteral("4B454C56000000AA");

bool writeTemplate()
{
    QJsonArray fields;
    for (int k = 0; k < REGISTERS; ++k)
        fields.append(QJsonObject { { "packet_bias", 1 + 2 * k }, { "data_bit_bias", 0 }, { "data_bit_size", 16 },
                                    { "data_type", "uinteger" }, { "reg_map_bias", k }, { "reg_bit_bias", 0 },
                                    { "reg_bit_size", 16 }, { "data_name", QStringLiteral("F%1").arg(k) } });
    const QJsonObject packet { { "packet_type", 1 }, { "packet_size", 1 + 2 * REGISTERS }, { "packet_fields", fields } };
    const QJsonObject root { { "app_eui", APP_EUI }, { "dev_type", "Scale" }, { "device_packets", QJsonArray { packet } } };
    QFile file(DEVICE_FOLDER + QStringLiteral("/scale.json"));
    const QByteArray bytes = QJsonDocument(root).toJson();
    return QDir().mkpath(DEVICE_FOLDER) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebug);
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !writeTemplate())
        return 1;
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));

    // Free ports, all held until every one is picked so none comes twice.
    QList<uint16_t> ports;
    {
        std::vector<std::unique_ptr<QTcpServer>> probes;
        for (int p = 0; p < PORTS; ++p) {
            probes.push_back(std::make_unique<QTcpServer>());
            if (!probes.back()->listen(QHostAddress::Any, 0))
                return 1;
            ports << probes.back()->serverPort();
        }
    }
    {
        CDataBaseHandler store(QStringLiteral("server.db"), CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                               CLogFile::getInstance(QString()));
        if (!store.open())
            return 1;
        QList<SRegisterDescription> registers;
        for (int k = 0; k < REGISTERS; ++k)
        {
            SRegisterDescription reg;
            reg.name = QStringLiteral("F%1").arg(k);
            reg.source = 1;
            reg.offset = k;
            reg.bitSize = 16;
            reg.dataType = DATA_TYPE_UINTEGER;
            registers << reg;
        }
        QList<QPair<DB::SDeviceRegMapDescription, uint16_t>> devices;
        for (int d = 0; d < DEVICES; ++d) {
            DB::SDeviceRegMapDescription device;
            device.devEui = QStringLiteral("%1").arg(d, 16, 16, QLatin1Char('0')).toUpper();
            device.appEui = APP_EUI;
            device.name = QStringLiteral("Device %1").arg(d);
            device.startAddr = (d % (DEVICES / PORTS)) * REGISTERS;
            device.registers = registers;
            devices.append({ device, ports.at(d / (DEVICES / PORTS)) });
        }
        if (!store.registerNewDevices(devices))
            return 1;
    }
    const long before = residentKb();

    QElapsedTimer timer;
    timer.start();
    SGatewayConfig config;
    config.workDir = dir.path();
    CGateway gateway(config);
    QString error;
    if (!gateway.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const double startSeconds = timer.nsecsElapsed() / 1e9;
    const int open = gateway.openPorts().size();
    const long after = residentKb();

    int answered = 0;
    for (uint16_t port : ports) {
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        answered += client.waitForConnected(2000) ? 1 : 0;
    }
    std::printf("scale: %d devices x %d registers on %d ports: serving after %.2f s (target under 3 s), %d ports "
                "open, %d accept a connection; resident %ld MB (target under 200 MB; %ld MB before the gateway)\n",
                DEVICES, REGISTERS, PORTS, startSeconds, open, answered, after / 1024, before / 1024);
    return 0;
}
