// Uplinks per second from parsed JSON to committed register rows, for 1,000 devices of a
// ten-field template, while 16 Modbus TCP connections poll the same port, twice, each time
// followed by the same with every decoded value kept in history.db (the better of two of each is
// compared); then the same uplinks through a JavaScript codec of ten fields and its decoded
// fields, in the same run.
// The gateway side runs as in the program: the registry on one thread with its event loop,
// the codecs on theirs; the pollers run on threads of their own. Prints figures and the
// final-value check; judges nothing.
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
#include <memory>
#include <cstdio>
#include <random>
#include <vector>

#include "../benchsupport.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "devices/calldevicehandler.h"
#include "devices/ccodecrunner.h"
#include "devices/uplinkdecoder.h"
#include "store/cdatabasehandler.h"
#include "store/chistorystore.h"
#include "store/storecolumns.h"

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

// The same ten fields decoded by a codec as a maker would write it, little-endian as the bytes are.
const char CODEC[] = R"(function u16(b, i) { return b[i] | (b[i + 1] << 8); }
function s16(b, i) { var v = u16(b, i); return v > 0x7fff ? v - 0x10000 : v; }
function u32(b, i) { return u16(b, i) + u16(b, i + 2) * 65536; }
function s8(b, i) { return b[i] > 127 ? b[i] - 256 : b[i]; }
function decodeUplink(input) {
  var b = input.bytes;
  if (b[0] !== 1 || b.length !== 23) {
    return { errors: ["not a measurement"] };
  }
  return {
    data: {
      f0: u16(b, 1), f1: u16(b, 3), f2: u16(b, 5), f3: u16(b, 7),
      f4: s16(b, 9), f5: s16(b, 11),
      f6: u32(b, 13), f7: u32(b, 17),
      f8: s8(b, 21), f9: b[22]
    }
  };
}
)";

bool writeFile(const QString &_name, const QByteArray &_bytes)
{
    QFile file(DEVICE_FOLDER + QStringLiteral("/") + _name);
    return file.open(QIODevice::WriteOnly) && file.write(_bytes) == _bytes.size();
}

// The codec's template: the same registers as the payload template's.
bool writeCodecTemplate()
{
    QJsonArray fields;
    for (int k = 0; k < 10; ++k) {
        const QString format = FIELDS[k].size == 4 ? "uint32" : FIELDS[k].isSigned ? "int16" : "uint16";
        fields.append(QJsonObject { { "path", QStringLiteral("f%1").arg(k) }, { "reg_map_bias", FIELDS[k].regOffset },
            { "reg_format", format }, { "data_name", QStringLiteral("F%1").arg(k) } });
    }
    const QJsonArray server { QJsonObject { { "data_code", "ts" }, { "reg_map_bias", 0 }, { "reg_bit_bias", 0 },
                                  { "reg_bit_size", 32 }, { "data_name", "Time" } },
        QJsonObject { { "data_code", "fcnt" }, { "reg_map_bias", 2 }, { "reg_bit_bias", 0 }, { "reg_bit_size", 32 },
            { "data_name", "Counter" } } };
    const QJsonObject root { { "app_eui", APP_EUI }, { "dev_type", "Bench codec" }, { "server_data", server },
        { "decoder", QJsonObject { { "codec", "bench.js" } } }, { "decoded_fields", fields } };
    return QDir().mkpath(DEVICE_FOLDER) && writeFile(QStringLiteral("bench.js"), CODEC)
        && writeFile(QStringLiteral("bench.json"), QJsonDocument(root).toJson());
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
    return QDir().mkpath(DEVICE_FOLDER) && writeFile(QStringLiteral("bench.json"), QJsonDocument(root).toJson());
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
    qint64 parse = 0, decode = 0, save = 0;
    // As the registry holds it: nothing scaled, nothing looked up in the store.
    const CRegisterScaling plain;
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
        const SDecodedUplink decoded = decodeUplink(data, bench, device, plain);
        decode += timer.nsecsElapsed() - t0;
        t0 = timer.nsecsElapsed();
        store->saveRegisterData(decoded.data);
        save += timer.nsecsElapsed() - t0;
    }
    const auto us = [count](qint64 ns) { return double(ns) / 1000.0 / count; };
    const double total = us(parse) + us(decode) + us(save);
    std::printf(
        "per uplink, alone (%d uplinks): JSON->record %.1f us, decoding %.1f us, saveRegisterData, waiting for its "
        "own write (16 registers) %.1f us; sum %.1f us = %.0f uplinks/s\n",
        count, us(parse), us(decode), us(save), total, 1e6 / total);
}

// One codec call with its trip to the codec thread and back, measured on its own.
void codecBreakdown(CCodecRunner &_codecs, const QVector<QJsonObject> &_uplinks)
{
    const int count = qMin(SAMPLE, _uplinks.size());
    const QString codec = QDir::current().filePath(DEVICE_FOLDER + QStringLiteral("/bench.js"));
    QElapsedTimer timer;
    timer.start();
    int refused = 0;
    for (int i = 0; i < count; ++i) {
        const API::SApiDeviceData data(_uplinks.at(i));
        refused += _codecs.decode(codec, data.port, data.data, qint64(data.ts)).ok() ? 0 : 1;
    }
    std::printf("per uplink, alone (%d uplinks): codec call with its thread hop %.1f us, %d refused\n", count,
        double(timer.nsecsElapsed()) / 1000.0 / count, refused);
}

struct SRunFigures
{
    double uplinksPerSecond = 0;
    int wrong = 0;
};

// One whole run in a folder of its own: the payload template, or with _codecs the codec's;
// with _history every decoded value also goes to history.db.
SRunFigures runUplinks(CCodecRunner *_codecs, int uplinkCount, int pollerCount, bool _history)
{
    SRunFigures figures;
    figures.wrong = -1;
    const QByteArray labelText = _codecs ? "[codec]" : _history ? "[template, history on]" : "[template, history off]";
    const char *label = labelText.constData();
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()) || !(_codecs ? writeCodecTemplate() : writeTemplate()))
        return figures;
    CLogFile::getInstance(QStringLiteral("history.log"));
    CDataBaseHandler *store = new CDataBaseHandler(DB_FILE_NAME, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                                                   CLogFile::getInstance(QString()));
    if (!store->open())
        return figures;
    // Written by the store's writer: it goes after the store.
    std::unique_ptr<CHistoryStore> history;
    if (_history) {
        history = std::make_unique<CHistoryStore>(QStringLiteral("history.db"), SHistorySettings(), CClock::system(),
                                                  CLogFile::getInstance(QString()));
        if (!history->open())
            return figures;
        store->setHistory(history.get());
    }
    STemplateContext context;
    context.codecs = _codecs;
    CAllDeviceHandler *registry
        = new CAllDeviceHandler(store, QDir::current().filePath(DEVICE_FOLDER), CClock::system(), SModbusLimits(), context);
    // As the gateway runs it: uplinks arriving together share one commit.
    registry->setBatching(20, 1000);
    if (registry->getTemplateList().size() != 1)
        return figures;
    int errorLines = 0;
    const QMetaObject::Connection counting = QObject::connect(CLogFile::getInstance(QString()), &CLogFile::addLogSignal,
        [&errorLines](const QString &_line) {
        errorLines += _line.contains(QStringLiteral("ERROR")) || _line.contains(QStringLiteral("WARNING")) ? 1 : 0;
    });

    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return figures;
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
            return figures;
        registry->addNewDevice(device, port);
    }
    std::printf("%s setup: %d devices of %d registers (10 %s fields, ts, fcnt) on one port in %.2f s\n", label,
        DEVICES, REGISTERS_PER_DEVICE, _codecs ? "decoded" : "payload", timer.nsecsElapsed() / 1e9);

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
    figures.uplinksPerSecond = uplinkCount / seconds;
    std::printf("%s uplinks: %d decoded and committed in %.2f s = %.0f uplinks/s (target %s)\n", label, uplinkCount,
        seconds, figures.uplinksPerSecond, _codecs ? "10000" : "25000");
    std::printf("%s modbus meanwhile: %d connections, %ld reads of %d registers = %.0f reads/s, %ld errors\n", label,
        pollerCount, readsAtEnd, POLL_QUANTITY, readsAtEnd / seconds, pollStats.errors.load());

    // Every device must hold what its last uplink carried, in the file as a
    // restarted gateway would read it, and in what Modbus clients are served.
    QSqlDatabase file = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("verify") + label);
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
    std::printf("%s stored vs sent: %d uplinks sent, %d device updates announced, %d devices checked, %d with "
                "wrong final values, %d error/warning log lines\n",
        label, uplinkCount, announced, qMin(DEVICES, uplinkCount), wrong, errorLines);
    if (_history) {
        // Every uplink's row and every one of its values, committed.
        QSqlDatabase values = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("history") + label);
        values.setDatabaseName(QStringLiteral("history.db"));
        QSqlQuery count(values);
        const bool counted = values.open() && count.exec(QStringLiteral("SELECT count(*), sum(length(vals)) / 8 FROM uplinks"))
            && count.next();
        const qint64 rows = counted ? count.value(0).toLongLong() : -1;
        const qint64 kept = counted ? count.value(1).toLongLong() : -1;
        std::printf("%s history: %lld uplinks' rows with %lld values committed (%d x 10 sent)\n", label,
                    static_cast<long long>(rows), static_cast<long long>(kept), uplinkCount);
        wrong += rows == uplinkCount && kept == qint64(uplinkCount) * 10 ? 0 : 1;
        values.close();
    }
    figures.wrong = wrong;
    file.close();
    QObject::disconnect(counting);

    if (_codecs)
        codecBreakdown(*_codecs, uplinks);
    else
        breakdown(store, uplinks);
    delete registry;
    delete store;
    history.reset();
    return figures;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The per-uplink and per-request debug lines would measure the terminal.
    qInstallMessageHandler(dropDebug);
    const int uplinkCount = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 40 * DEVICES;
    const int pollerCount = argc > 2 ? QString::fromLocal8Bit(argv[2]).toInt() : 16;
    fillGlobalTables();
    // History on and off in turn, twice each: the host's other load drifts within a run, and the
    // better of two of each is compared.
    SRunFigures payload;
    SRunFigures withHistory;
    QStringList onRates;
    QStringList offRates;
    for (int round = 0; round < 2; ++round) {
        const SRunFigures off = runUplinks(nullptr, uplinkCount, pollerCount, false);
        const SRunFigures on = runUplinks(nullptr, uplinkCount, pollerCount, true);
        offRates << QString::number(off.uplinksPerSecond, 'f', 0);
        onRates << QString::number(on.uplinksPerSecond, 'f', 0);
        // A failed run counts -1: any run's fault shows.
        payload.uplinksPerSecond = qMax(payload.uplinksPerSecond, off.uplinksPerSecond);
        payload.wrong += qAbs(off.wrong);
        withHistory.uplinksPerSecond = qMax(withHistory.uplinksPerSecond, on.uplinksPerSecond);
        withHistory.wrong += qAbs(on.wrong);
    }
    CCodecRunner codecs;
    const SRunFigures codec = runUplinks(&codecs, uplinkCount, pollerCount, false);
    std::printf("uplinks/s, JSON to committed rows: payload template %.0f, JavaScript codec %.0f (%.0f %% of the "
                "template; goal 10000); wrong final values %d and %d\n",
        payload.uplinksPerSecond, codec.uplinksPerSecond,
        payload.uplinksPerSecond > 0 ? 100.0 * codec.uplinksPerSecond / payload.uplinksPerSecond : 0.0, payload.wrong,
        codec.wrong);
    std::printf("uplinks/s, JSON to committed rows and history: history on %s (best %.0f), off %s (best %.0f): "
                "%.0f %% (target 25000 with history on); wrong final values or history rows %d\n",
        qPrintable(onRates.join(QStringLiteral(", "))), withHistory.uplinksPerSecond,
        qPrintable(offRates.join(QStringLiteral(", "))), payload.uplinksPerSecond,
        payload.uplinksPerSecond > 0 ? 100.0 * withHistory.uplinksPerSecond / payload.uplinksPerSecond : 0.0,
        withHistory.wrong);
    return payload.wrong == 0 && codec.wrong == 0 && withHistory.wrong == 0 ? 0 : 1;
}

#include "main.moc"
