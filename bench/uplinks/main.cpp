// Uplinks per second from parsed JSON to committed register rows, for 1,000 devices of a
// ten-field template, while 16 Modbus TCP connections poll the same port. The gateway side
// runs as in the program: everything on one thread with its event loop; the pollers run on
// threads of their own. Prints figures and the final-value check; judges nothing.
//
// usage: bench_uplinks [UPLINKS [POLLERS]]   (40,000 uplinks and 16 pollers unless given)

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <vector>

#include "../benchsupport.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "devices/uplinkdecoder.h"
#include "store/cdatabasehandler.h"

namespace {

const int DEVICES = 1000;
const int REGISTERS_PER_DEVICE = 16;
const int POLL_QUANTITY = 125;
const int UPLINKS_PER_TICK = 8;
const int SAMPLE = 2000;
const QString APP_EUI = QStringLiteral("B0B0B0B0B0B0B0B0");
const quint64 FIRST_TS_MS = 1700000000000ULL;

// The ten payload fields: byte size, signedness and register offset (after ts and fcnt).
struct SField
{
    int size;
    bool isSigned;
    int regOffset;
};
const SField FIELDS[10] = { { 2, false, 4 }, { 2, false, 5 }, { 2, false, 6 }, { 2, false, 7 }, { 2, true, 8 },
    { 2, true, 9 }, { 4, false, 10 }, { 4, false, 12 }, { 1, true, 14 }, { 1, false, 15 } };

QString devEuiOf(int d)
{
    return QStringLiteral("70B3D5E75F%1").arg(d, 6, 16, QLatin1Char('0')).toUpper();
}

bool writeTemplate()
{
    QJsonArray fields;
    int bias = 1;
    for (int k = 0; k < 10; ++k) {
        fields.append(QJsonObject { { "packet_bias", bias }, { "data_bit_bias", 0 },
            { "data_bit_size", FIELDS[k].size * 8 }, { "data_type", FIELDS[k].isSigned ? "integer" : "uinteger" },
            { "reg_map_bias", FIELDS[k].regOffset }, { "reg_bit_bias", 0 }, { "reg_bit_size", FIELDS[k].size * 8 },
            { "data_name", QStringLiteral("F%1").arg(k) } });
        bias += FIELDS[k].size;
    }
    const QJsonObject packet { { "packet_type", 1 }, { "packet_size", bias }, { "packet_fields", fields } };
    const QJsonArray server { QJsonObject { { "data_code", "ts" }, { "reg_map_bias", 0 }, { "reg_bit_bias", 0 },
                                  { "reg_bit_size", 32 }, { "data_name", "Time" } },
        QJsonObject { { "data_code", "fcnt" }, { "reg_map_bias", 2 }, { "reg_bit_bias", 0 }, { "reg_bit_size", 32 },
            { "data_name", "Counter" } } };
    const QJsonObject root { { "app_eui", APP_EUI }, { "dev_type", "Bench" }, { "server_data", server },
        { "device_packets", QJsonArray { packet } } };
    if (!QDir().mkpath(DEVICE_FOLDER))
        return false;
    QFile file(DEVICE_FOLDER + QStringLiteral("/bench.json"));
    const QByteArray bytes = QJsonDocument(root).toJson();
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// Raw value of field k in uplink i, as the bytes carry it (two's complement for signed ones).
quint32 fieldValue(int i, int k)
{
    const quint32 v = quint32(i) * 2654435761u + quint32(k) * 40503u;
    const int bits = FIELDS[k].size * 8;
    return bits == 32 ? v : v & ((1u << bits) - 1);
}

QJsonObject uplinkJson(int i)
{
    QByteArray payload(1, char(1));
    for (int k = 0; k < 10; ++k) {
        const quint32 v = fieldValue(i, k);
        for (int b = 0; b < FIELDS[k].size; ++b)
            payload.append(char((v >> (8 * b)) & 0xff));
    }
    const QString text = QStringLiteral(
        "{\"cmd\":\"rx\",\"type\":\"UNCONF_UP\",\"devEui\":\"%1\",\"ts\":%2,\"gatewayId\":\"00000000000000ab\","
        "\"ack\":false,\"fcnt\":%3,\"port\":2,\"data\":\"%4\",\"freq\":868100000,\"dr\":5,\"rssi\":-80,\"snr\":7.5}")
                             .arg(devEuiOf(i % DEVICES))
                             .arg(FIRST_TS_MS + quint64(i) * 1000)
                             .arg(i)
                             .arg(QString::fromLatin1(payload.toHex()));
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// The 16 register words uplink i leaves behind, computed from the bytes by hand rules:
// numbers as 16-bit words, most significant first, signed bytes sign-extended.
QList<uint16_t> expectedWords(int i)
{
    QList<uint16_t> words;
    const quint32 seconds = quint32((FIRST_TS_MS + quint64(i) * 1000) / 1000);
    words << uint16_t(seconds >> 16) << uint16_t(seconds) << uint16_t(quint32(i) >> 16) << uint16_t(i);
    for (int k = 0; k < 10; ++k) {
        const quint32 v = fieldValue(i, k);
        if (FIELDS[k].size == 4)
            words << uint16_t(v >> 16) << uint16_t(v);
        else if (FIELDS[k].size == 1 && FIELDS[k].isSigned)
            words << uint16_t(qint8(v));
        else
            words << uint16_t(v);
    }
    return words;
}

struct SPollStats
{
    std::atomic<bool> stop { false };
    std::atomic<long> reads { 0 };
    std::atomic<long> errors { 0 };
};

void poll(uint16_t port, unsigned seed, SPollStats *stats)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        stats->errors.fetch_add(1);
        return;
    }
    std::mt19937 random(seed);
    const int answerSize = 9 + 2 * POLL_QUANTITY;
    for (int i = 0; !stats->stop.load(); ++i) {
        const uint16_t start = uint16_t(random() % (DEVICES * REGISTERS_PER_DEVICE - POLL_QUANTITY));
        const char request[12]
            = { char(i >> 8), char(i), 0, 0, 0, 6, 1, 3, char(start >> 8), char(start), 0, char(POLL_QUANTITY) };
        if (socket.write(request, sizeof(request)) != sizeof(request)) {
            stats->errors.fetch_add(1);
            return;
        }
        QByteArray answer;
        while (answer.size() < answerSize && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(5000)))
            answer += socket.read(answerSize - answer.size());
        if (answer.size() != answerSize || answer.at(7) != 3)
            stats->errors.fetch_add(1);
        else
            stats->reads.fetch_add(1);
    }
}

// Feeds the registry the way the server link does: a queued signal per uplink.
class CFeeder : public QObject
{
    Q_OBJECT

public:
    explicit CFeeder(const QVector<QJsonObject> &_uplinks)
        : uplinks(_uplinks)
    {
        connect(&timer, &QTimer::timeout, this, &CFeeder::tick);
    }
    void start() { timer.start(0); }

signals:
    void newPacketReceived(API::SApiDeviceData _devData);

private:
    void tick()
    {
        for (int n = 0; n < UPLINKS_PER_TICK && next < uplinks.size(); ++n)
            emit newPacketReceived(API::SApiDeviceData(uplinks.at(next++)));
        if (next == uplinks.size())
            timer.stop();
    }

    const QVector<QJsonObject> &uplinks;
    QTimer timer;
    int next = 0;
};

// Where one uplink's time goes, measured on its own without the pollers.
void breakdown(CDataBaseHandler *store, const QVector<QJsonObject> &uplinks)
{
    const int count = qMin(SAMPLE, uplinks.size());
    QElapsedTimer timer;
    qint64 parse = 0, params = 0, decode = 0, save = 0;
    const RegisterParamSource neutral = [](const QString &, uint32_t) { return SRegisterParam(); };
    const RegisterParamSource fromStore = [store, &params, &timer](const QString &_devEui, uint32_t _regAddr) {
        const qint64 before = timer.nsecsElapsed();
        const SRegisterParam param = store->getRegisterParam(_devEui, _regAddr);
        params += timer.nsecsElapsed() - before;
        return param;
    };
    const SDeviceTemplate bench
        = loadTemplateFile(QDir::currentPath() + QStringLiteral("/") + DEVICE_FOLDER, QStringLiteral("bench.json"));
    timer.start();
    for (int i = 0; i < count; ++i) {
        qint64 t0 = timer.nsecsElapsed();
        const API::SApiDeviceData data(uplinks.at(i));
        qint64 t1 = timer.nsecsElapsed();
        parse += t1 - t0;
        DB::SDeviceRegMapDescription device;
        device.devEui = data.devEui;
        device.appEui = APP_EUI;
        device.startAddr = (i % DEVICES) * REGISTERS_PER_DEVICE;
        t0 = timer.nsecsElapsed();
        decodeUplink(data, bench, device, neutral);
        decode += timer.nsecsElapsed() - t0;
        const SDecodedUplink decoded = decodeUplink(data, bench, device, fromStore);
        t0 = timer.nsecsElapsed();
        store->saveRegisterData(decoded.data);
        save += timer.nsecsElapsed() - t0;
    }
    const auto us = [count](qint64 ns) { return double(ns) / 1000.0 / count; };
    const double total = us(parse) + us(decode) + us(params) + us(save);
    std::printf(
        "per uplink, alone (%d uplinks): JSON->record %.1f us, decoding %.1f us, 10 x getRegisterParam %.1f us, "
        "saveRegisterData, waiting for its own write (16 registers) %.1f us; sum %.1f us = %.0f uplinks/s\n",
        count, us(parse), us(decode), us(params), us(save), total, 1e6 / total);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The per-uplink and per-request debug lines would measure the terminal.
    qInstallMessageHandler(dropDebug);
    const int uplinkCount = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 40 * DEVICES;
    const int pollerCount = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 16;
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !writeTemplate())
        return 1;
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));
    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store)
        return 1;
    CAllDeviceHandler *registry = new CAllDeviceHandler(store, QDir::current().filePath(DEVICE_FOLDER));
    // As the gateway runs it: uplinks arriving together share one commit.
    registry->setBatching(20, 1000);
    if (registry->getTemplateList().size() != 1)
        return 1;
    int errorLines = 0;
    QObject::connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal, [&errorLines](const QString &_line) {
        errorLines += _line.contains(QStringLiteral("ERROR")) || _line.contains(QStringLiteral("WARNING")) ? 1 : 0;
    });

    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 1;
    const uint16_t port = probe.serverPort();
    probe.close();

    QElapsedTimer timer;
    timer.start();
    const SDeviceRegMap map = registry->getRegMapDescription(APP_EUI);
    for (int d = 0; d < DEVICES; ++d) {
        DB::SDeviceRegMapDescription device;
        device.devEui = devEuiOf(d);
        device.appEui = APP_EUI;
        device.name = QStringLiteral("Device %1").arg(d);
        device.startAddr = d * REGISTERS_PER_DEVICE;
        device.registers = map.registers;
        if (!store->registerNewDevice(device, port))
            return 1;
        registry->addNewDevice(device, port);
    }
    std::printf("setup: %d devices of %d registers (10 payload fields, ts, fcnt) on one port in %.2f s\n", DEVICES,
        REGISTERS_PER_DEVICE, timer.nsecsElapsed() / 1e9);

    QVector<QJsonObject> uplinks;
    uplinks.reserve(uplinkCount);
    for (int i = 0; i < uplinkCount; ++i)
        uplinks.append(uplinkJson(i));

    SPollStats pollStats;
    std::vector<QThread *> pollers;
    for (int c = 0; c < pollerCount; ++c) {
        pollers.push_back(QThread::create(poll, port, unsigned(c + 1), &pollStats));
        pollers.back()->start();
    }

    CFeeder feeder(uplinks);
    QObject::connect(&feeder, &CFeeder::newPacketReceived, registry, &CAllDeviceHandler::newPacketReceivedSlot,
        Qt::QueuedConnection);
    int announced = 0;
    int processed = 0;
    qint64 elapsed = 0;
    long readsAtEnd = 0;
    QObject::connect(registry, &CAllDeviceHandler::newDataForDevice, [&] { ++announced; });
    // Runs after the registry has taken the same uplink: after the last, its open batch is
    // committed and the clock stops.
    QObject::connect(&feeder, &CFeeder::newPacketReceived, registry, [&] {
        if (++processed == uplinkCount) {
            registry->flushUplinks();
            elapsed = timer.nsecsElapsed();
            readsAtEnd = pollStats.reads.load();
            QCoreApplication::quit();
        }
    }, Qt::QueuedConnection);
    // Let the pollers connect and settle before the clock starts.
    QTimer::singleShot(500, [&] {
        pollStats.reads.store(0);
        timer.restart();
        feeder.start();
    });
    QCoreApplication::exec();

    pollStats.stop.store(true);
    // The pollers' last requests still need the event loop to be answered.
    while (std::any_of(pollers.begin(), pollers.end(), [](QThread *t) { return !t->isFinished(); }))
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (QThread *thread : pollers)
        delete thread;

    const double seconds = elapsed / 1e9;
    std::printf("uplinks: %d decoded and committed in %.2f s = %.0f uplinks/s (target 25000)\n", uplinkCount, seconds,
        uplinkCount / seconds);
    std::printf("modbus meanwhile: %d connections, %ld reads of %d registers = %.0f reads/s, %ld errors\n", pollerCount,
        readsAtEnd, POLL_QUANTITY, readsAtEnd / seconds, pollStats.errors.load());

    // Every device must hold what its last uplink carried, in the file as a
    // restarted gateway would read it, and in what Modbus clients are served.
    QSqlDatabase file = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verify"));
    file.setDatabaseName(QStringLiteral("server.db"));
    const bool fileOpen = file.open();
    int wrong = 0;
    for (int d = 0; d < DEVICES; ++d) {
        const int last = ((uplinkCount - 1 - d) / DEVICES) * DEVICES + d;
        if (last < 0)
            continue;
        QList<uint16_t> stored;
        QSqlQuery rows(file);
        rows.prepare(QStringLiteral("SELECT value FROM dev_data WHERE port=:port AND reg_addr BETWEEN :first AND "
                                    ":last ORDER BY reg_addr;"));
        rows.bindValue(QStringLiteral(":port"), port);
        rows.bindValue(QStringLiteral(":first"), d * REGISTERS_PER_DEVICE);
        rows.bindValue(QStringLiteral(":last"), (d + 1) * REGISTERS_PER_DEVICE - 1);
        if (fileOpen && rows.exec())
            while (rows.next())
                stored << CDataBaseHandler::registerWord(rows.value(0).toString());
        const QList<uint16_t> served = store->getRegisterData(port, d * REGISTERS_PER_DEVICE, REGISTERS_PER_DEVICE).values();
        wrong += stored == expectedWords(last) && served == stored ? 0 : 1;
    }
    std::printf("stored vs sent: %d uplinks sent, %d device updates announced, %d devices checked, %d with wrong "
                "final values, "
                "%d error/warning log lines\n",
        uplinkCount, announced, qMin(DEVICES, uplinkCount), wrong, errorLines);

    breakdown(store, uplinks);
    return 0;
}

#include "main.moc"
