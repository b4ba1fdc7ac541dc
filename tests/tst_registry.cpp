#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <memory>
#include <thread>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/globaltables.h"
#include "app/threadpriority.h"
#include "devices/calldevicehandler.h"
#include "modbus/cdevicehandler.h"
#include "modbustestsupport.h"
#include "peertestsupport.h"
#include "server/cserverhandler.h"
#include "store/cdatabasehandler.h"
#include "storetestsupport.h"
#include "testworkdir.h"
#include "workedexample.h"

using namespace ModbusTest;

// The registry is a singleton in the program; each test builds a fresh one.
class TestHandler : public CAllDeviceHandler
{
public:
    explicit TestHandler(CDataBaseHandler *_store, CClock *_clock = CClock::system())
        : CAllDeviceHandler(_store, QDir::current().filePath(DEVICE_FOLDER), _clock, SModbusLimits(), loggingContext())
    {
    }
    static STemplateContext loggingContext()
    {
        STemplateContext context;
        context.log = CLogFile::getInstance(QString());
        return context;
    }
    const QMap<uint16_t, CDeviceHandler *> &servers() const { return ports; }
    QMap<CEui, DB::SDeviceRegMapDescription> served() const
    {
        QMap<CEui, DB::SDeviceRegMapDescription> byEui;
        for (auto it = devices.constBegin(); it != devices.constEnd(); ++it)
            byEui.insert(it.key(), it->device);
        return byEui;
    }
    QStringList servedDevEuis() const
    {
        QStringList keys;
        for (const CEui &eui : served().keys())
            keys << eui.text();
        return keys;
    }
};

// Plays the network server: accepts the ping and the log-in, then pushes what the test says.
class FakeNetworkServer : public QObject
{
public:
    QWebSocketServer server { QStringLiteral("fake"), QWebSocketServer::NonSecureMode };
    QWebSocket *client = nullptr;

    FakeNetworkServer()
    {
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            client = server.nextPendingConnection();
            client->setParent(this);
            connect(client, &QWebSocket::textMessageReceived, this, [this](const QString &_text) {
                if (_text.contains(QStringLiteral("\"cmd\":\"cmd\"")))
                    client->sendTextMessage(QStringLiteral("{\"cmd\":\"cmd\",\"err_string\":\"unknown_cmd\"}"));
                else if (_text.contains(QStringLiteral("\"cmd\":\"auth_req\"")))
                    client->sendTextMessage(QStringLiteral("{\"cmd\":\"auth_resp\",\"status\":true,\"token\":\"T\"}"));
            });
        });
    }
};

static const QString METER_APP_EUI = QStringLiteral("0A0B0C0D01020304");
static const QString HIGH_TYPE_APP_EUI = QStringLiteral("00000000000000C8");

static const QByteArray highTypeTemplate = R"({
    "app_eui": "00000000000000c8", "dev_type": "Alarm",
    "device_packets": [ { "packet_type": 200, "packet_size": 3, "packet_fields": [
        { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "integer",
          "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Level" } ] } ]
})";

// Takes CAP_SYS_NICE from the calling thread alone, as an unprivileged gateway runs; the
// threads it starts afterwards lack it too. True when it was held and is gone, or never was.
static bool dropNiceCapability()
{
    __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct data[2] {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
    return syscall(SYS_capset, &header, data) == 0;
}

// The nice values of this process's threads of that name.
static QList<int> niceOfThreads(const QString &name)
{
    QList<int> values;
    for (const QString &task : QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(task));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name.toLatin1()
            || !stat.open(QIODevice::ReadOnly))
            continue;
        // Past the name in parentheses: state is field 3, nice field 19.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        values << fields.value(16).toInt();
    }
    return values;
}

static API::SApiDeviceData uplink(const QString &devEui, const char *payloadHex)
{
    API::SApiDeviceData u;
    u.devEui = devEui;
    u.ts = 1700000000123ULL;
    u.data = QByteArray::fromHex(payloadHex);
    return u;
}

class TestRegistry : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;
    CDataBaseHandler *store = nullptr;
    std::unique_ptr<TestHandler> handler;
    std::unique_ptr<QSignalSpy> logSpy;
    std::unique_ptr<QSignalSpy> dataSpy;

    static bool writeFile(const QString &name, const QByteArray &content)
    {
        QFile file(DEVICE_FOLDER + QStringLiteral("/") + name);
        return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
    }

    static DB::SDeviceRegMapDescription description(const QString &devEui, const QString &appEui, int startAddr)
    {
        DB::SDeviceRegMapDescription d;
        d.devEui = devEui;
        d.appEui = appEui;
        d.name = devEui;
        d.startAddr = startAddr;
        return d;
    }

    // Stores the device with its template's register map and serves it, as the add dialog does.
    bool addStoredDevice(const QString &devEui, const QString &appEui, int startAddr, uint16_t port)
    {
        DB::SDeviceRegMapDescription d = description(devEui, appEui, startAddr);
        d.registers = handler->getRegMapDescription(appEui).registers;
        if (!store->registerNewDevice(d, port))
            return false;
        handler->addNewDevice(d, port);
        return true;
    }

    QList<uint16_t> words(uint16_t port, int first, int count) const
    {
        return store->getRegisterData(port, first, count).values();
    }

    int logCount(const QString &text) const
    {
        int count = 0;
        for (const QList<QVariant> &args : *logSpy)
            count += args.at(0).toString().endsWith(text) ? 1 : 0;
        return count;
    }

    static bool canBind(uint16_t port)
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::Any, port);
    }

    static bool accepts(uint16_t port)
    {
        QTcpSocket client;
        return connectClient(client, port);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        qRegisterMetaType<QProcess::ExitStatus>();
        QVERIFY(QDir().mkpath(DEVICE_FOLDER));
        QVERIFY(writeFile(QStringLiteral("meter.json"), workedExampleTemplate));
        QVERIFY(writeFile(QStringLiteral("alarm.json"), highTypeTemplate));
        store = StoreTest::workingDirectoryStore();
        QVERIFY(store);
    }

    void init()
    {
        handler.reset(new TestHandler(store));
        QCOMPARE(handler->getTemplateList().size(), 2);
        logSpy.reset(new QSignalSpy(CLogFile::getInstance(QString()), &CLogFile::addLogSignal));
        dataSpy.reset(new QSignalSpy(handler.get(), &CAllDeviceHandler::newDataForDevice));
    }
    void cleanup()
    {
        dataSpy.reset();
        logSpy.reset();
        handler.reset();
    }

    void modbusThreadRunsAheadOrSaysWhyNot()
    {
        // Built the way an unprivileged gateway is: raising the Modbus thread is refused, the log
        // says why once, and the thread serves at the normal priority.
        QSignalSpy lines(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        bool dropped = false;
        bool refused = false;
        QString why;
        QList<int> nice;
        std::thread unprivileged([&] {
            dropped = dropNiceCapability();
            refused = !ThreadPriority::raiseThisThread(ThreadPriority::MODBUS_NICE, &why);
            TestHandler registry(store);
            nice = niceOfThreads(QStringLiteral("modbus"));
        });
        unprivileged.join();
        QVERIFY(dropped);
        QVERIFY(refused);
        QVERIFY2(why.contains(QStringLiteral("CAP_SYS_NICE")), qPrintable(why));
        int told = 0;
        for (const QList<QVariant> &line : lines)
            told += line.at(0).toString().contains(QStringLiteral("The Modbus thread keeps the normal priority: "))
                ? 1
                : 0;
        QCOMPARE(told, 1);
        // This case's registry and the one of init(), which kept what this process may do.
        QVERIFY2(nice.contains(0), qPrintable(QString::number(nice.size())));

        // Where raising is allowed (root here, or a nice limit), init()'s registry was raised.
        QString allowed;
        std::thread probe([&allowed] {
            if (!ThreadPriority::raiseThisThread(ThreadPriority::MODBUS_NICE, &allowed))
                return;
            allowed.clear();
        });
        probe.join();
        if (allowed.isEmpty())
            QCOMPARE(niceOfThreads(QStringLiteral("modbus")), QList<int>({ ThreadPriority::MODBUS_NICE }));
    }

    void twoDevicesShareOnePort()
    {
        const uint16_t port = freePort();
        handler->addNewDevice(description("A1", METER_APP_EUI, 0), port);
        handler->addNewDevice(description("A2", METER_APP_EUI, 10), port);
        QCOMPARE(handler->servers().keys(), QList<uint16_t>({ port }));
        QCOMPARE(handler->getPortList(), QList<uint16_t>({ port }));
        QCOMPARE(handler->devicesOnPort(port), QStringList({ "A1", "A2" }));
        QCOMPARE(
            logCount(QStringLiteral("INFO: [CAllDeviceHandler::addNewDevice] port [%1] is already open").arg(port)), 1);
        QCOMPARE(
            logCount(QStringLiteral("[CAllDeviceHandler::addNewDevice] New device: DevEUI[A2], port[%1]").arg(port)),
            1);
        QVERIFY(accepts(port));

        handler->removeDevice("A1", port);
        QCOMPARE(handler->devicesOnPort(port), QStringList({ "A2" }));
        QVERIFY(accepts(port));
        QVERIFY(!canBind(port));

        handler->removeDevice("A2", port);
        QVERIFY(handler->servers().isEmpty());
        QVERIFY(handler->served().isEmpty());
        QVERIFY(canBind(port));
    }

    void removeWithUnknownPortStillForgetsTheDevice()
    {
        const uint16_t port = freePort();
        handler->addNewDevice(description("B1", METER_APP_EUI, 0), port);
        const uint16_t otherPort = freePort();
        QVERIFY(otherPort != port);
        handler->removeDevice("B1", otherPort);
        QCOMPARE(
            logCount(QStringLiteral("WARNING: [CAllDeviceHandler::removeDevice] uncknown port [%1]!").arg(otherPort)),
            1);
        QVERIFY(!handler->served().contains(CEui("B1")));
        // Its uplinks are no longer decoded.
        const int lines = logSpy->size();
        handler->newPacketReceivedSlot(uplink("B1", "0145230100"));
        QCOMPARE(dataSpy->size(), 0);
        QCOMPARE(logSpy->size(), lines);
    }

    void addingTwiceKeepsOneEntry()
    {
        const uint16_t port = freePort();
        handler->addNewDevice(description("C1", METER_APP_EUI, 0), port);
        DB::SDeviceRegMapDescription renamed = description("C1", METER_APP_EUI, 40);
        renamed.name = QStringLiteral("Renamed");
        handler->addNewDevice(renamed, port);
        QCOMPARE(handler->devicesOnPort(port), QStringList({ "C1" }));
        QCOMPARE(handler->served().size(), 1);
        QCOMPARE(handler->served().value(CEui("C1")).name, QStringLiteral("Renamed"));
        QCOMPARE(handler->served().value(CEui("C1")).startAddr, 40);
    }

    void movingToAnotherPort()
    {
        const uint16_t first = freePort();
        handler->addNewDevice(description("D1", METER_APP_EUI, 0), first);
        handler->addNewDevice(description("D2", METER_APP_EUI, 10), first);
        const uint16_t second = freePort();
        QVERIFY(second != first);

        // D1 leaves the first port, which keeps serving D2.
        handler->addNewDevice(description("D1", METER_APP_EUI, 0), second);
        QCOMPARE(handler->devicesOnPort(first), QStringList({ "D2" }));
        QCOMPARE(handler->devicesOnPort(second), QStringList({ "D1" }));

        // D2 leaves too, in another letter case: the first port closes.
        handler->addNewDevice(description("d2", METER_APP_EUI, 10), second);
        QCOMPARE(handler->servers().keys(), QList<uint16_t>({ second }));
        QCOMPARE(handler->devicesOnPort(second), QStringList({ "D1", "d2" }));
        QCOMPARE(handler->servedDevEuis(), QStringList({ "D1", "D2" }));
        QVERIFY(canBind(first));
        QVERIFY(!canBind(second));
    }

    void uplinkWithoutAStoreIsDroppedWithALogLine()
    {
        TestHandler noStore(nullptr);
        DB::SDeviceRegMapDescription device;
        device.devEui = QStringLiteral("70B3D5E75F600001");
        device.appEui = METER_APP_EUI;
        noStore.addNewDevice(device, freePort());
        QSignalSpy data(&noStore, &CAllDeviceHandler::newDataForDevice);
        noStore.newPacketReceivedSlot(uplink(device.devEui, "0145230100"));
        QCOMPARE(data.size(), 0);
        QCOMPARE(logCount(QStringLiteral("ERROR: [CAllDeviceHandler::processDataSlot] Register store is not running, "
                                         "uplink of [70B3D5E75F600001] dropped")),
                 1);
    }

    void uplinkIsDecodedIntoTheStore_data()
    {
        QTest::addColumn<QString>("storedDevEui");
        QTest::newRow("upper-case DevEUI") << "E000000000000001";
        QTest::newRow("lower-case DevEUI") << "e000000000000002";
    }
    void uplinkIsDecodedIntoTheStore()
    {
        QFETCH(QString, storedDevEui);
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice(storedDevEui, METER_APP_EUI, 100, port));
        // Uplinks carry the DevEUI in upper case.
        const QString devEui = storedDevEui.toUpper();
        handler->newPacketReceivedSlot(uplink(devEui, "0145230100"));
        QCOMPARE(dataSpy->size(), 1);
        QCOMPARE(dataSpy->at(0).at(0).toString(), devEui);
        QCOMPARE(words(port, 100, 4), QList<uint16_t>({ 0x6553, 0xf100, 0x0001, 0x2345 }));
    }

    // Accepting and answering run on the Modbus thread: a poll is answered while the main
    // thread is busy with something else and runs no event loop at all.
    void pollIsAnsweredWhileTheMainThreadIsBusy()
    {
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice("E0000000000000C1", METER_APP_EUI, 100, port));
        handler->newPacketReceivedSlot(uplink("E0000000000000C1", "0145230100"));
        QByteArray answer;
        std::thread client([port, &answer] {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(2000))
                return;
            socket.write(QByteArray::fromHex("000700000006010300640004"));
            while (answer.size() < 17 && socket.waitForReadyRead(2000))
                answer += socket.readAll();
        });
        client.join();
        QCOMPARE(answer.toHex(), QByteArray("00070000000b0103086553f10000012345"));
    }

    // The worked example's uplink gives 6553 f100 0001 2345 from register 100 on.
    void uplinksArrivingTogetherShareOneCommit()
    {
        CManualClock clock;
        handler.reset(new TestHandler(store, &clock));
        dataSpy.reset(new QSignalSpy(handler.get(), &CAllDeviceHandler::newDataForDevice));
        handler->setBatching(20, 3);
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice("E0000000000000B1", METER_APP_EUI, 100, port));
        QVERIFY(addStoredDevice("E0000000000000B2", METER_APP_EUI, 200, port));
        const QList<uint16_t> nothing = { 0, 0, 0, 0 };
        const QList<uint16_t> decoded = { 0x6553, 0xf100, 0x0001, 0x2345 };

        handler->newPacketReceivedSlot(uplink("E0000000000000B1", "0145230100"));
        handler->newPacketReceivedSlot(uplink("E0000000000000B2", "0145230100"));
        // Waiting for the batch: nothing a poll could read is uncommitted.
        clock.advance(19);
        QCOMPARE(words(port, 100, 4), nothing);
        QCOMPARE(words(port, 200, 4), nothing);
        QCOMPARE(dataSpy->size(), 0);
        // The batch goes to the store's writer; the devices are told once it is written.
        clock.advance(1);
        QTRY_COMPARE(dataSpy->size(), 2);
        QCOMPARE(words(port, 100, 4), decoded);
        QCOMPARE(words(port, 200, 4), decoded);

        // A full batch goes at once; the later uplink of a register wins.
        handler->newPacketReceivedSlot(uplink("E0000000000000B1", "0100000000"));
        handler->newPacketReceivedSlot(uplink("E0000000000000B2", "0100000000"));
        handler->newPacketReceivedSlot(uplink("E0000000000000B1", "0145230100"));
        QTRY_COMPARE(dataSpy->size(), 4);
        QCOMPARE(words(port, 100, 4), decoded);
        QCOMPARE(words(port, 200, 4).mid(2), QList<uint16_t>({ 0, 0 }));

        // What waits when the registry goes is committed, not lost.
        handler->newPacketReceivedSlot(uplink("E0000000000000B2", "0145230100"));
        handler.reset();
        QCOMPARE(words(port, 200, 4), decoded);
        QCOMPARE(StoreTest::peerCount("SELECT COUNT(*) FROM dev_data d JOIN devices v ON d.device = v.device "
                                      "WHERE v.dev_eui = 'E0000000000000B2' AND d.reg_addr = 203 "
                                      "AND d.value = '2345';"),
                 1);
    }

    void scalingComesFromTheStore()
    {
        const uint16_t port = freePort();
        DB::SDeviceRegMapDescription stored = description("E000000000000003", METER_APP_EUI, 100);
        stored.registers = handler->getRegMapDescription(METER_APP_EUI).registers;
        QVERIFY(store->registerNewDevice(stored, port));
        // Named after its DevEUI, so the name search finds it.
        const QVector<QSqlRecord> devices = store->getDevices(QStringLiteral("E000000000000003"));
        QVERIFY(!devices.isEmpty());
        SDeviceRegUpdate update;
        update.deviceId = devices.first().value(0).toUInt();
        update.port = port;
        update.registers << SRegisterUpdate { 102, 5, 10, QString() };
        QVERIFY(store->updateRegInfo(update));
        // Served as stored, without its map: its scaling is read with it, once.
        handler->addNewDevice(description("E000000000000003", METER_APP_EUI, 100), port);
        handler->newPacketReceivedSlot(uplink("E000000000000003", "0145230100"));
        QCOMPARE(words(port, 102, 2), QList<uint16_t>({ 0x000b, 0x60b7 }));
    }

    void decodingFollowsAddEditAndRemove()
    {
        const uint16_t port = freePort();
        const QString devEui = QStringLiteral("E0000000000000C4");
        QVERIFY(addStoredDevice(devEui, METER_APP_EUI, 100, port));
        SDeviceDecoding decoding = handler->decodingOf(devEui.toLower());
        QVERIFY(decoding.deviceTemplate);
        QCOMPARE(decoding.deviceTemplate->appEui, METER_APP_EUI);
        QVERIFY(decoding.scaling.scaled().isEmpty());
        QCOMPARE(decoding.counters.uplinks, 0u);

        API::SApiDeviceData first = uplink(devEui, "0145230100");
        first.fcnt = 7;
        handler->newPacketReceivedSlot(first);
        QCOMPARE(words(port, 102, 2), QList<uint16_t>({ 0x0001, 0x2345 }));
        decoding = handler->decodingOf(devEui);
        QCOMPARE(decoding.counters.uplinks, 1u);
        QCOMPARE(decoding.counters.lastFcnt, 7u);

        // Edited: the next uplink is scaled so, 74565 * 10 + 5 = 745655 = 0xb60b7.
        handler->setScaling(devEui, { SRegisterScale { 102, 5, 10 } });
        API::SApiDeviceData second = uplink(devEui, "0145230100");
        second.fcnt = 9;
        handler->newPacketReceivedSlot(second);
        QCOMPARE(words(port, 102, 2), QList<uint16_t>({ 0x000b, 0x60b7 }));
        decoding = handler->decodingOf(devEui);
        QCOMPARE(decoding.counters.uplinks, 2u);
        QCOMPARE(decoding.counters.lost, 1u);

        // New settings keep what decoding goes on from.
        DB::SDeviceRegMapDescription little = description(devEui, METER_APP_EUI, 100);
        little.wordOrder = EWordOrder::Little;
        handler->addNewDevice(little, port);
        decoding = handler->decodingOf(devEui);
        QCOMPARE(decoding.counters.uplinks, 2u);
        QCOMPARE(decoding.scaling.at(102).gratingPeriod, 10.0);
        QCOMPARE(decoding.scaling.at(102).startValue, 5.0);

        // Removed, nothing is kept; served again, the counters come back from the store.
        handler->removeDevice(devEui, port);
        QVERIFY(!handler->decodingOf(devEui).deviceTemplate);
        handler->addNewDevice(description(devEui, METER_APP_EUI, 100), port);
        QCOMPARE(handler->decodingOf(devEui).counters.uplinks, 2u);
        QCOMPARE(handler->decodingOf(devEui).counters.lastFcnt, 9u);
    }

    void unknownPacketTypeStoresNothing()
    {
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice("E000000000000004", METER_APP_EUI, 100, port));
        handler->newPacketReceivedSlot(uplink("E000000000000004", "0245230100"));
        QCOMPARE(dataSpy->size(), 0);
        QCOMPARE(logCount("WARNING: [CAllDeviceHandler::processDataSlot] Uncknown packet type [02]"), 1);
        QCOMPARE(words(port, 100, 4), QList<uint16_t>({ 0, 0, 0, 0 }));
        QCOMPARE(StoreTest::peerCount(
                     QStringLiteral("SELECT COUNT(*) FROM dev_data WHERE port=%1 AND time IS NOT NULL;").arg(port)),
            0);
    }

    void highPacketTypeEndToEnd()
    {
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice("E000000000000005", HIGH_TYPE_APP_EUI, 7, port));
        handler->newPacketReceivedSlot(uplink("E000000000000005", "c89cff"));
        QCOMPARE(dataSpy->size(), 1);
        QCOMPARE(words(port, 7, 1), QList<uint16_t>({ 0xff9c }));
    }

    void unservedDevEuiIsDroppedSilently()
    {
        const int lines = logSpy->size();
        handler->newPacketReceivedSlot(uplink("E0000000000000FF", "0145230100"));
        QCOMPARE(dataSpy->size(), 0);
        QCOMPARE(logSpy->size(), lines);
    }

    // The road of one uplink as at start-up: network server -> server link -> queued
    // -> registry -> store -> a real Modbus client.
    void uplinkFromTheNetworkReadByModbusClient()
    {
        const uint16_t port = freePort();
        QVERIFY(addStoredDevice("E000000000000006", METER_APP_EUI, 100, port));

        FakeNetworkServer network;
        QVERIFY(network.server.listen(QHostAddress::LocalHost, 0));
        CServerHandler link;
        QSignalSpy statusSpy(&link, &CServerHandler::changeServerStatus);
        connect(&link, &CServerHandler::newPacketReceived, handler.get(), &CAllDeviceHandler::newPacketReceivedSlot,
            Qt::QueuedConnection);
        link.connectSlot(QStringLiteral("ws://127.0.0.1:%1").arg(network.server.serverPort()),
            QStringLiteral("operator"), QStringLiteral("secret"));
        QTRY_VERIFY_WITH_TIMEOUT(
            !statusSpy.isEmpty() && statusSpy.last().at(0).value<COMM::EServerStatus>() == COMM::eSuccess, 5000);

        network.client->sendTextMessage(QStringLiteral(
            "{\"cmd\":\"rx\",\"type\":\"UNCONF_UP\",\"devEui\":\"e000000000000006\",\"ts\":1700000000123,"
            "\"gatewayId\":\"00000000000000ab\",\"ack\":false,\"fcnt\":1,\"port\":2,\"data\":\"0145230100\","
            "\"freq\":868100000,\"dr\":5,\"rssi\":-80,\"snr\":7.5}"));
        QVERIFY(dataSpy->wait(5000));

        const QString missing = PeerTest::missingProgram("mbpoll", "mbpoll");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        QProcess mbpoll;
        QSignalSpy finished(&mbpoll, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
        mbpoll.start("mbpoll",
            { "-m", "tcp", "-p", QString::number(port), "-a", "1", "-r", "100", "-c", "4", "-t", "4:hex", "-1", "-0",
                "127.0.0.1" });
        QVERIFY(finished.wait(20000));
        const QString output = QString::fromLatin1(mbpoll.readAllStandardOutput() + mbpoll.readAllStandardError());
        const QStringList expected { "\\[100\\]:\\s+0x6553\\b", "\\[101\\]:\\s+0xF100\\b", "\\[102\\]:\\s+0x0001\\b",
            "\\[103\\]:\\s+0x2345\\b" };
        for (const QString &pattern : expected)
            QVERIFY2(QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption).match(output).hasMatch(),
                qPrintable(output));
    }
};

QTEST_GUILESS_MAIN(TestRegistry)
#include "tst_registry.moc"
