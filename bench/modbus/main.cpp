// Modbus read throughput and latency against a store of 1,000 devices, and the
// uplink write rate of the store. Prints figures; judges nothing.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <vector>

#include "app/clogfile.h"
#include "app/globaltables.h"
#include "modbus/cdevicehandler.h"
#include "store/cdatabasehandler.h"

namespace {

const int DEVICES = 1000;
const int REGISTERS_PER_DEVICE = 16;
const int READS = 10000;
const int READ_QUANTITY = 125;
const int UPLINKS = 5000;

void dropDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

bool fillStore(CDataBaseHandler *store, uint16_t port)
{
    for (int d = 0; d < DEVICES; ++d) {
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("70B3D5E75F%1").arg(d, 6, 16, QLatin1Char('0')).toUpper();
        device.name = QStringLiteral("Device %1").arg(d);
        device.startAddr = d * REGISTERS_PER_DEVICE;
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
            const QString text = QStringLiteral("%1").arg((d + r) & 0xffff, 4, 16, QLatin1Char('0'));
            values.registers << SRegisterValue{text, text, r};
        }
        if (!store->registerNewDevice(device, port) || !store->saveRegisterData(values))
            return false;
    }
    return true;
}

void uplinkRate(CDataBaseHandler *store)
{
    std::mt19937 random(7);
    QElapsedTimer timer;
    timer.start();
    int failed = 0;
    for (int i = 0; i < UPLINKS; ++i) {
        const int d = int(random() % DEVICES);
        SDeviceRegData values;
        values.devEui = QStringLiteral("70B3D5E75F%1").arg(d, 6, 16, QLatin1Char('0')).toUpper();
        values.startAddr = d * REGISTERS_PER_DEVICE;
        for (int r = 0; r < REGISTERS_PER_DEVICE; ++r) {
            const QString text = QStringLiteral("%1").arg((i + r) & 0xffff, 4, 16, QLatin1Char('0'));
            values.registers << SRegisterValue{text, r == 0 ? text : QString(), r};
        }
        failed += store->saveRegisterData(values) ? 0 : 1;
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    std::printf("uplink writes: %d uplinks of %d registers in %.2f s = %.0f uplinks/s (%d failed)\n", UPLINKS,
                REGISTERS_PER_DEVICE, seconds, UPLINKS / seconds, failed);
}

// One client reading its share of requests with blocking calls on its own thread.
void client(uint16_t port, int reads, unsigned seed, std::vector<qint64> *latencies, std::atomic<int> *errors)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000)) {
        errors->fetch_add(reads);
        return;
    }
    std::mt19937 random(seed);
    const int answerSize = 9 + 2 * READ_QUANTITY;
    QElapsedTimer timer;
    for (int i = 0; i < reads; ++i) {
        const uint16_t start = uint16_t(random() % (DEVICES * REGISTERS_PER_DEVICE - READ_QUANTITY));
        const char request[12] = {char(i >> 8), char(i), 0, 0, 0, 6, 1, 3, char(start >> 8), char(start), 0,
                                  char(READ_QUANTITY)};
        timer.start();
        socket.write(request, sizeof(request));
        QByteArray answer;
        while (answer.size() < answerSize && (socket.bytesAvailable() > 0 || socket.waitForReadyRead(5000)))
            answer += socket.read(answerSize - answer.size());
        latencies->push_back(timer.nsecsElapsed() / 1000);
        // The first register must carry what fillStore wrote there.
        const int expected = (start / REGISTERS_PER_DEVICE + start % REGISTERS_PER_DEVICE) & 0xffff;
        if (answer.size() != answerSize || answer.at(7) != 3
            || (uint8_t(answer.at(9)) << 8 | uint8_t(answer.at(10))) != expected)
            errors->fetch_add(1);
    }
}

void readRate(uint16_t port, int connections)
{
    std::vector<std::vector<qint64>> latencies(static_cast<size_t>(connections));
    std::atomic<int> errors{0};
    std::vector<QThread *> threads;
    int running = connections;
    QElapsedTimer timer;
    timer.start();
    for (int c = 0; c < connections; ++c) {
        QThread *thread = QThread::create(client, port, READS / connections, unsigned(c + 1), &latencies[size_t(c)],
                                          &errors);
        QObject::connect(thread, &QThread::finished, [&running] {
            if (--running == 0)
                QCoreApplication::quit();
        });
        threads.push_back(thread);
        thread->start();
    }
    QCoreApplication::exec();
    const double seconds = timer.nsecsElapsed() / 1e9;
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
    std::vector<qint64> all;
    for (const auto &list : latencies)
        all.insert(all.end(), list.begin(), list.end());
    std::sort(all.begin(), all.end());
    const auto at = [&all](double q) { return all.empty() ? 0 : all[size_t(q * double(all.size() - 1))]; };
    std::printf("modbus reads, %2d connection(s): %zu reads of %d registers in %.2f s = %.0f reads/s; "
                "latency us p50 %lld p99 %lld max %lld (%d errors)\n",
                connections, all.size(), READ_QUANTITY, seconds, double(all.size()) / seconds, at(0.5), at(0.99),
                all.empty() ? 0LL : all.back(), errors.load());
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(dropDebug); // the per-request debug line would measure the terminal
    QTemporaryDir dir;
    if (!dir.isValid() || !QDir::setCurrent(dir.path()))
        return 1;
    fillGlobalTables();
    CLogFile::getInstance(QStringLiteral("history.log"));
    CDataBaseHandler *store = CDataBaseHandler::getInstance();
    if (!store)
        return 1;

    QTcpServer probe;
    if (!probe.listen(QHostAddress::Any, 0))
        return 1;
    const uint16_t port = probe.serverPort();
    probe.close();
    CDeviceHandler server(port);
    if (!server.isListening())
        return 1;
    QElapsedTimer fill;
    fill.start();
    if (!fillStore(store, port))
        return 1;
    std::printf("store: %d devices, %d registers, filled in %.2f s\n", DEVICES, DEVICES * REGISTERS_PER_DEVICE,
                fill.nsecsElapsed() / 1e9);

    readRate(port, 1);
    readRate(port, 16);
    uplinkRate(store);
    return 0;
}
