// The gateway's Modbus service under load: a store of devices x 20 registers spread over
// ports (1,000 devices on 50 ports unless given), served the way the program serves them:
// the store file opened as at start, the device registry opening one server per port, all
// on one thread. Values are those the load generator expects. With UPLINKS_PER_SECOND,
// uplinks arrive meanwhile through the registry's uplink path at that rate, each carrying
// its device's expected values again, so every answer stays checkable.
//
// With WEB_CLIENTS the devices are served by the gateway itself (no uplinks then), and with
// WEB_CLIENTS > 0 also by its web console, polled meanwhile by that many live pages: each asks
// for the change counter and the whole device list twice a second, as the devices page at most does.
//
// usage: bench_modbus SECONDS [DEVICES PORTS [UPLINKS_PER_SECOND [WEB_CLIENTS]]]
// Prints "start: ..." and "ports: P1 P2 ..." once every port listens (the port at position i
// holds the values of port index i), serves for SECONDS, then the store line, the uplink
// figures and the check of every served register.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <httplib.h>
#include <malloc.h>
#include <mutex>
#include <thread>
#include <memory>
#include <vector>

#include "../benchsupport.h"
#include "../modbus-load/expectedvalue.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "devices/devicetemplate.h"
#include "gateway/cgateway.h"
#include "store/cdatabasehandler.h"
#include "store/storecolumns.h"
#include "web/cwebusers.h"

namespace {

const int REGISTERS_PER_DEVICE = 20;
const QString APP_EUI = QStringLiteral("4B454C5641524101");
const QString TEMPLATE_FILE = QStringLiteral("bench.json");
// Uplinks are handed over on a tick this often; each tick sends what is due by then.
const int FEED_TICK_MS = 5;

using StoredDevices = QList<QPair<DB::SDeviceRegMapDescription, uint16_t>>;

// One packet type: 20 unsigned 16-bit fields, each on the register of its position.
bool writeTemplate()
{
    QJsonArray fields;
    for (int r = 0; r < REGISTERS_PER_DEVICE; ++r)
        fields.append(QJsonObject { { "packet_bias", 1 + 2 * r }, { "data_bit_bias", 0 }, { "data_bit_size", 16 },
            { "data_type", "uinteger" }, { "reg_map_bias", r }, { "reg_bit_bias", 0 }, { "reg_bit_size", 16 },
            { "data_name", QStringLiteral("R%1").arg(r) } });
    const QJsonObject packet { { "packet_type", 1 }, { "packet_size", 1 + 2 * REGISTERS_PER_DEVICE },
        { "packet_fields", fields } };
    const QJsonObject root { { "app_eui", APP_EUI }, { "dev_type", "Bench" },
        { "device_packets", QJsonArray { packet } } };
    QFile file(DEVICE_FOLDER + QStringLiteral("/") + TEMPLATE_FILE);
    const QByteArray bytes = QJsonDocument(root).toJson();
    return QDir().mkpath(DEVICE_FOLDER) && file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QString hexWord(int word)
{
    return QStringLiteral("%1").arg(word, 4, 16, QLatin1Char('0'));
}

// Free ports, all held until every one is picked so none comes twice.
std::vector<uint16_t> freePorts(int count)
{
    std::vector<uint16_t> ports;
    std::vector<std::unique_ptr<QTcpServer>> probes;
    for (int p = 0; p < count; ++p) {
        probes.push_back(std::make_unique<QTcpServer>());
        if (!probes.back()->listen(QHostAddress::Any, 0))
            return {};
        ports.push_back(probes.back()->serverPort());
    }
    return ports;
}

// Device d sits on the port of index d / devicesPerPort, one device after the other.
StoredDevices layDevices(int deviceCount, const std::vector<uint16_t> &ports)
{
    const int devicesPerPort = deviceCount / int(ports.size());
    StoredDevices devices;
    for (int d = 0; d < deviceCount; ++d) {
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("4B454C56%1").arg(d, 8, 16, QLatin1Char('0')).toUpper();
        device.appEui = APP_EUI;
        device.name = QStringLiteral("Device %1").arg(d);
        device.startAddr = (d % devicesPerPort) * REGISTERS_PER_DEVICE;
        devices.append({ device, ports[size_t(d / devicesPerPort)] });
    }
    return devices;
}

// The words the load generator expects at the device's registers.
QList<uint16_t> expectedWords(int portIndex, int startAddr)
{
    QList<uint16_t> words;
    for (int r = 0; r < REGISTERS_PER_DEVICE; ++r)
        words << expectedRegisterValue(portIndex, startAddr + r);
    return words;
}

// The payload that decodes to those words: packet type 1, then each word little-endian.
QString payloadHex(const QList<uint16_t> &words)
{
    QByteArray payload(1, char(1));
    for (uint16_t word : words)
        payload.append(char(word & 0xff)).append(char(word >> 8));
    return QString::fromLatin1(payload.toHex());
}

// The store file as an earlier run of the gateway left it: every device with its values.
bool writeStore(const StoredDevices &devices, int devicesPerPort, const QList<SRegisterDescription> &registers)
{
    CDataBaseHandler store(DB_FILE_NAME, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                           CLogFile::getInstance(QString()));
    if (!store.open())
        return false;
    StoredDevices withRegisters = devices;
    QList<SDeviceRegData> values;
    for (int d = 0; d < withRegisters.size(); ++d) {
        DB::SDeviceRegMapDescription &device = withRegisters[d].first;
        device.registers = registers;
        SDeviceRegData data;
        data.devEui = device.devEui;
        data.startAddr = device.startAddr;
        const QList<uint16_t> words = expectedWords(d / devicesPerPort, device.startAddr);
        for (int r = 0; r < words.size(); ++r)
            data.registers << SRegisterValue { hexWord(words[r]), hexWord(words[r]), r, words[r] };
        values << data;
    }
    return store.registerNewDevices(withRegisters) && store.saveRegisterBatch(values);
}

// Hands the registry uplinks the way the server link does, parsed from the message text and
// sent by a queued signal each, at a steady rate on the event loop's clock: a tick sends all
// that is due by then, so a late tick is made up by the next. Uplink i is device i % devices'
// frame i / devices, so no frame counts as lost.
class CUplinkFeeder : public QObject
{
    Q_OBJECT

public:
    CUplinkFeeder(const QStringList &_devEuis, const QStringList &_payloads, int _perSecond)
        : devEuis(_devEuis)
        , payloads(_payloads)
        , perSecond(_perSecond)
    {
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, &CUplinkFeeder::tick);
    }
    void start()
    {
        clock.start();
        timer.start(FEED_TICK_MS);
    }
    void stop()
    {
        seconds = clock.nsecsElapsed() / 1e9;
        timer.stop();
    }
    qint64 sentCount() const { return sent; }
    double sentSeconds() const { return seconds; }

signals:
    void newPacketReceived(API::SApiDeviceData _devData);

private:
    void tick()
    {
        const qint64 due = clock.nsecsElapsed() / 1000 * perSecond / 1000000;
        for (; sent < due; ++sent) {
            const int device = int(sent % devEuis.size());
            const QString text = QStringLiteral(
                "{\"cmd\":\"rx\",\"type\":\"UNCONF_UP\",\"devEui\":\"%1\",\"ts\":%2,\"gatewayId\":"
                "\"00000000000000ab\",\"ack\":false,\"fcnt\":%3,\"port\":2,\"data\":\"%4\",\"freq\":868100000,"
                "\"dr\":5,\"rssi\":-80,\"snr\":7.5}")
                                     .arg(devEuis.at(device))
                                     .arg(QDateTime::currentMSecsSinceEpoch())
                                     .arg(sent / devEuis.size())
                                     .arg(payloads.at(device));
            emit newPacketReceived(API::SApiDeviceData(QJsonDocument::fromJson(text.toUtf8()).object()));
        }
    }

    const QStringList devEuis;
    const QStringList payloads;
    const qint64 perSecond;
    QElapsedTimer clock;
    QTimer timer;
    qint64 sent = 0;
    double seconds = 0;
};

// "ports: P1 P2 ...", in one write: the script reads the line as soon as it sees its start.
void printPorts(const std::vector<uint16_t> &_ports)
{
    QByteArray line("ports:");
    for (uint16_t port : _ports)
        line += ' ' + QByteArray::number(port);
    line += '\n';
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fflush(stdout);
}

// Live pages of the console: each asks for the change counter and the device list twice a second.
class CLivePages
{
public:
    CLivePages(int _clients, int _port, const std::string &_token)
    {
        for (int c = 0; c < _clients; ++c)
            pollers.emplace_back([this, _port, _token] { poll(_port, _token); });
    }

    // Stops the pages and prints what the device list took.
    void report(int _devices)
    {
        stopping = true;
        for (std::thread &poller : pollers)
            poller.join();
        std::sort(timesMs.begin(), timesMs.end());
        const auto at = [this](double _share) {
            return timesMs.empty() ? 0.0 : timesMs.at(std::min(timesMs.size() - 1, size_t(_share * timesMs.size())));
        };
        std::printf("web: %zu live pages, GET /api/v1/devices of %d devices (%.1f MB) answered %zu times: p50_ms=%.1f "
                    "p99_ms=%.1f max_ms=%.1f failed=%d\n",
            pollers.size(), _devices, double(bytes) / std::max<size_t>(1, timesMs.size()) / 1e6, timesMs.size(),
            at(0.5), at(0.99), timesMs.empty() ? 0.0 : timesMs.back(), int(failed));
    }

private:
    void poll(int _port, const std::string &_token)
    {
        httplib::Client client("127.0.0.1", _port);
        client.set_default_headers({ { "Authorization", "Bearer " + _token } });
        while (!stopping) {
            const auto begin = std::chrono::steady_clock::now();
            const auto changes = client.Get("/api/v1/changes");
            const auto asked = std::chrono::steady_clock::now();
            const auto list = client.Get("/api/v1/devices");
            const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - asked).count();
            {
                std::lock_guard<std::mutex> locker(mutex);
                if (!changes || !list || list->status != 200) {
                    ++failed;
                } else {
                    timesMs.push_back(ms);
                    bytes += list->body.size();
                }
            }
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(500));
        }
    }

    std::vector<std::thread> pollers;
    std::atomic<bool> stopping { false };
    std::mutex mutex;
    std::vector<double> timesMs;
    size_t bytes = 0;
    int failed = 0;
};

// The stored devices served by the gateway as the program serves them, with the console on
// when _webClients > 0; checks every device's words at the end like the registry's run.
int serveThroughGateway(QCoreApplication &_app, int _seconds, const StoredDevices &_devices, int _devicesPerPort,
                        const std::vector<uint16_t> &_ports, int _webClients)
{
    CWebUsers users(QDir::current().filePath(CWebUsers::FILE_NAME));
    QString error;
    const QString token = users.addToken(QStringLiteral("bench"), false, &error);
    if (token.isEmpty() || !users.save(&error))
        return 1;
    SGatewayConfig config;
    config.workDir = QDir::currentPath();
    config.web.enabled = _webClients > 0;
    config.web.host = QStringLiteral("127.0.0.1");
    QElapsedTimer start;
    start.start();
    CGateway gateway(config);
    if (!gateway.start(&error) || gateway.openPorts().size() != int(_ports.size())) {
        std::fprintf(stderr, "bench_modbus: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("start: %d devices on %zu ports served by the gateway%s %.2f s after start\n", int(_devices.size()),
        _ports.size(), _webClients > 0 ? " and its web console" : " (web console off)", start.nsecsElapsed() / 1e9);
    printPorts(_ports);
    std::unique_ptr<CLivePages> pages;
    if (_webClients > 0)
        pages = std::make_unique<CLivePages>(_webClients, gateway.webPort(), token.toStdString());
    QTimer::singleShot(_seconds * 1000, &_app, &QCoreApplication::quit);
    _app.exec();
    if (pages)
        pages->report(int(_devices.size()));
    int wrongDevices = 0;
    for (int d = 0; d < _devices.size(); ++d) {
        const DB::SDeviceRegMapDescription &device = _devices.at(d).first;
        const QList<uint16_t> served
            = gateway.registerWords(_devices.at(d).second, device.startAddr, REGISTERS_PER_DEVICE).values();
        wrongDevices += served == expectedWords(d / _devicesPerPort, device.startAddr) ? 0 : 1;
    }
    std::printf("check: %d of %d devices serve other words than expected\n", wrongDevices, int(_devices.size()));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2 && argc != 4 && argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: %s SECONDS [DEVICES PORTS [UPLINKS_PER_SECOND [WEB_CLIENTS]]]\n", argv[0]);
        return 2;
    }
    const int seconds = QString::fromLatin1(argv[1]).toInt();
    const int deviceCount = argc > 2 ? QString::fromLatin1(argv[2]).toInt() : 1000;
    const int portCount = argc > 3 ? QString::fromLatin1(argv[3]).toInt() : 50;
    const int uplinksPerSecond = argc > 4 ? QString::fromLatin1(argv[4]).toInt() : 0;
    const int webClients = argc > 5 ? QString::fromLatin1(argv[5]).toInt() : -1;
    if (seconds <= 0 || portCount <= 0 || deviceCount <= 0 || deviceCount % portCount != 0
        || deviceCount / portCount * REGISTERS_PER_DEVICE > 65536 || uplinksPerSecond < 0
        || (argc > 5 && (webClients < 0 || uplinksPerSecond > 0))) {
        std::fprintf(
            stderr, "bench_modbus: DEVICES must be a multiple of PORTS, with at most 65,536 registers a port\n");
        return 2;
    }
    const int devicesPerPort = deviceCount / portCount;
    qInstallMessageHandler(dropDebug); // the per-request and per-uplink debug lines would measure the terminal
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !writeTemplate())
        return 1;
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));
    int errorLines = 0;
    QObject::connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, [&errorLines](const QString &_line) {
        errorLines += _line.contains(QStringLiteral("ERROR")) || _line.contains(QStringLiteral("WARNING")) ? 1 : 0;
    });

    const std::vector<uint16_t> ports = freePorts(portCount);
    if (int(ports.size()) != portCount)
        return 1;
    const StoredDevices devices = layDevices(deviceCount, ports);
    QElapsedTimer fill;
    fill.start();
    const QList<SRegisterDescription> registers
        = regMapOfTemplate(loadTemplateFile(QDir::current().filePath(DEVICE_FOLDER), TEMPLATE_FILE)).registers;
    if (registers.size() != REGISTERS_PER_DEVICE || !writeStore(devices, devicesPerPort, registers))
        return 1;
    const double fillSeconds = fill.nsecsElapsed() / 1e9;

    // What writing the store took goes back to the system, so the resident figure is the gateway's.
    malloc_trim(0);
    if (webClients >= 0)
        return serveThroughGateway(app, seconds, devices, devicesPerPort, ports, webClients);
    // From here on as the gateway starts: open the store file, read the templates, serve every
    // stored device (without its register map, which comes from the template).
    const long residentBefore = residentKb();
    QElapsedTimer start;
    start.start();
    QString error;
    CDataBaseHandler store(DB_FILE_NAME, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                           CLogFile::getInstance(QString()));
    if (!store.open(&error)) {
        std::fprintf(stderr, "bench_modbus: %s\n", qPrintable(error));
        return 1;
    }
    const double storeSeconds = start.nsecsElapsed() / 1e9;
    // Room for the burst of 2,000 clients connecting at once that scripts/bench sends.
    SModbusLimits limits;
    limits.maxConnections = 4096;
    CAllDeviceHandler registry(&store, QDir::current().filePath(DEVICE_FOLDER), CClock::system(), limits);
    const SGatewayConfig gatewayDefaults;
    registry.setBatching(gatewayDefaults.uplinkBatchMs, gatewayDefaults.uplinkBatchMax);
    for (const auto &device : devices) {
        if (!registry.addNewDevice(device.first, device.second))
            return 1;
    }
    const double startSeconds = start.nsecsElapsed() / 1e9;
    if (registry.getPortList().size() != portCount)
        return 1;
    const long resident = residentKb();
    std::printf("start: %d devices x %d registers on %d ports serving %.2f s after opening the store (%.2f s of it "
                "loading the store); resident %ld MB (%ld MB before)\n",
        deviceCount, REGISTERS_PER_DEVICE, portCount, startSeconds, storeSeconds, resident / 1024,
        residentBefore / 1024);
    std::fflush(stdout);
    printPorts(ports);

    QStringList devEuis;
    QStringList payloads;
    for (int d = 0; d < deviceCount; ++d) {
        devEuis << devices.at(d).first.devEui;
        payloads << payloadHex(expectedWords(d / devicesPerPort, devices.at(d).first.startAddr));
    }
    CUplinkFeeder feeder(devEuis, payloads, uplinksPerSecond);
    QObject::connect(&feeder, &CUplinkFeeder::newPacketReceived, &registry, &CAllDeviceHandler::newPacketReceivedSlot,
        Qt::QueuedConnection);
    if (uplinksPerSecond > 0)
        feeder.start();
    QTimer::singleShot(seconds * 1000, &app, &QCoreApplication::quit);
    app.exec();
    feeder.stop();
    // The uplinks handed over but not yet taken, then the batch they left open.
    QCoreApplication::sendPostedEvents();
    registry.flushUplinks();

    std::printf("store: %d devices x %d registers on %d ports, filled in %.2f s\n", deviceCount, REGISTERS_PER_DEVICE,
        portCount, fillSeconds);
    if (uplinksPerSecond > 0) {
        SDeviceCounters total;
        for (const QString &devEui : devEuis) {
            const SDeviceCounters counters = store.getDeviceCounters(devEui);
            total.uplinks += counters.uplinks;
            total.errors += counters.errors;
            total.lost += counters.lost;
        }
        std::printf("uplinks: %lld sent in %.2f s = %.0f uplinks/s (asked %d/s); the devices counted %llu, %llu "
                    "dropped, %llu lost\n",
            feeder.sentCount(), feeder.sentSeconds(), feeder.sentCount() / feeder.sentSeconds(), uplinksPerSecond,
            total.uplinks, total.errors, total.lost);
    }
    int wrongDevices = 0;
    for (int d = 0; d < deviceCount; ++d) {
        const DB::SDeviceRegMapDescription &device = devices.at(d).first;
        const QList<uint16_t> served
            = store.getRegisterData(devices.at(d).second, device.startAddr, REGISTERS_PER_DEVICE).values();
        wrongDevices += served == expectedWords(d / devicesPerPort, device.startAddr) ? 0 : 1;
    }
    std::printf("check: %d of %d devices serve other words than expected; %d error/warning log lines\n", wrongDevices,
        deviceCount, errorLines);
    return 0;
}

#include "main.moc"
