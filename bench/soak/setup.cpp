// Prepares the soak's working directory for a real gateway run: the soak
// template in "deviceFolder", "server.db" with every device registered through
// the store (as the add dialog does it), and the simulator's devices file whose
// payloads make every register block self-checking (see soaklayout.h).
//
// usage: kelvara-soak-setup TEMPLATE DIR
// Prints "ports: P1 P2 ..." (free loopback ports, one per port index).

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>

#include <cstdio>
#include <memory>
#include <vector>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/devicetemplate.h"
#include "soaklayout.h"
#include "store/cdatabasehandler.h"
#include "store/storecolumns.h"

namespace {

const QString TEMPLATE_FILE = QStringLiteral("soak.json");
const QString DEVICES_FILE = QStringLiteral("netsim-devices.json");

// Always false, so a step can fail in one line.
bool fail(const QString &_message)
{
    std::fprintf(stderr, "soak setup: %s\n", qPrintable(_message));
    return false;
}

QString devEuiOf(int _device)
{
    return QStringLiteral("4B454C56534B%1").arg(_device, 4, 16, QLatin1Char('0')).toUpper();
}

// Distinct free ports: every probe stays bound until all are chosen.
std::vector<uint16_t> freePorts(int _count)
{
    std::vector<std::unique_ptr<QTcpServer>> probes;
    std::vector<uint16_t> ports;
    for (int i = 0; i < _count; ++i) {
        probes.push_back(std::make_unique<QTcpServer>());
        if (!probes.back()->listen(QHostAddress::LocalHost, 0))
            return {};
        ports.push_back(probes.back()->serverPort());
    }
    return ports;
}

// The register map must put every value where the checker looks for it.
bool matchesLayout(const SDeviceRegMap &_map)
{
    const QList<QPair<int, int>> expected { { soak::OFFSET_FCNT, 32 }, { soak::OFFSET_INDEX, 32 },
        { soak::OFFSET_COMPLEMENT, 32 }, { soak::OFFSET_PHASE, 16 }, { soak::OFFSET_MAGIC, 16 } };
    if (_map.registers.size() != expected.size())
        return false;
    for (int i = 0; i < expected.size(); ++i) {
        if (_map.registers.at(i).offset != expected.at(i).first || _map.registers.at(i).bitSize != expected.at(i).second)
            return false;
    }
    return true;
}

QByteArray littleEndian(quint32 _value, int _bytes)
{
    QByteArray bytes;
    for (int i = 0; i < _bytes; ++i)
        bytes.append(char((_value >> (8 * i)) & 0xff));
    return bytes;
}

// Uplink k of the device (k from 0) carries phase k % PHASES.
QJsonArray payloadsOf(int _device)
{
    QJsonArray payloads;
    for (int phase = 0; phase < soak::PHASES; ++phase) {
        const QByteArray payload = QByteArray(1, '\x01') + littleEndian(quint32(_device), 4)
            + littleEndian(~quint32(_device), 4) + littleEndian(quint32(phase), 2) + littleEndian(soak::MAGIC, 2);
        payloads.append(QString::fromLatin1(payload.toHex()));
    }
    return payloads;
}

bool setUp(const QString &_templatePath, const std::vector<uint16_t> &_ports)
{
    if (!QDir().mkpath(DEVICE_FOLDER) || !QFile::copy(_templatePath, DEVICE_FOLDER + QStringLiteral("/") + TEMPLATE_FILE))
        return fail(QStringLiteral("cannot copy the template into %1").arg(DEVICE_FOLDER));
    const SDeviceTemplate deviceTemplate = loadTemplateFile(DEVICE_FOLDER, TEMPLATE_FILE);
    const SDeviceRegMap regMap = regMapOfTemplate(deviceTemplate);
    if (!deviceTemplate.valid || !matchesLayout(regMap))
        return fail(QStringLiteral("the template does not give the register layout the checker expects"));

    CDataBaseHandler opened(DB_FILE_NAME, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                            CLogFile::getInstance(QString()));
    if (!opened.open())
        return fail(QStringLiteral("cannot open the store"));
    CDataBaseHandler *store = &opened;
    QJsonArray simulated;
    for (int d = 0; d < soak::DEVICES; ++d) {
        DB::SDeviceRegMapDescription device;
        device.devEui = devEuiOf(d);
        device.appEui = deviceTemplate.appEui;
        device.name = QStringLiteral("Soak %1").arg(d, 4, 10, QLatin1Char('0'));
        device.startAddr = (d % soak::DEVICES_PER_PORT) * soak::DEVICE_STRIDE;
        device.registers = regMap.registers;
        if (!store->registerNewDevice(device, _ports[size_t(d / soak::DEVICES_PER_PORT)]))
            return fail(QStringLiteral("cannot register device %1").arg(device.devEui));
        simulated.append(QJsonObject { { QStringLiteral("devEui"), device.devEui },
            { QStringLiteral("devName"), device.name }, { QStringLiteral("appEui"), device.appEui },
            { QStringLiteral("payloads"), payloadsOf(d) } });
    }
    QFile devicesFile(DEVICES_FILE);
    const QByteArray json = QJsonDocument(simulated).toJson(QJsonDocument::Compact);
    if (!devicesFile.open(QIODevice::WriteOnly) || devicesFile.write(json) != json.size() || !devicesFile.flush())
        return fail(QStringLiteral("cannot write %1").arg(DEVICES_FILE));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s TEMPLATE DIR\n", argv[0]);
        return 2;
    }
    const QString templatePath = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    const QString dir = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(dir) || !QDir::setCurrent(dir)) {
        fail(QStringLiteral("cannot enter %1").arg(dir));
        return 1;
    }
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));
    const std::vector<uint16_t> ports = freePorts(soak::PORTS);
    if (ports.empty()) {
        fail(QStringLiteral("no free ports"));
        return 1;
    }
    if (!setUp(templatePath, ports))
        return 1;
    std::printf("ports:");
    for (uint16_t port : ports)
        std::printf(" %u", port);
    std::printf("\n");
    return 0;
}
