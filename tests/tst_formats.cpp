#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QtTest>

#include <memory>

#include "app/cclock.h"
#include "app/constants.h"
#include "devices/calldevicehandler.h"
#include "devices/uplinkdecoder.h"
#include "modbustestsupport.h"
#include "peertestsupport.h"
#include "store/cdatabasehandler.h"
#include "store/storecolumns.h"
#include "testworkdir.h"

using namespace ModbusTest;

namespace {

const QString PROBE_APP_EUI = QStringLiteral("4B454C5641524109");

// Counters at 0-3, a big-endian float at 4-5 and a big-endian count at 6.
const QByteArray probeTemplate = R"({
    "app_eui": "4B454C5641524109", "dev_type": "Formats probe",
    "server_data": [
        { "data_code": "age", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Age" },
        { "data_code": "uplinks", "reg_map_bias": 1, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Uplinks" },
        { "data_code": "lost", "reg_map_bias": 2, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Lost" },
        { "data_code": "errors", "reg_map_bias": 3, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Errors" }
    ],
    "device_packets": [ { "packet_type": 1, "packet_size": 7, "packet_fields": [
        { "packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 32, "data_type": "float", "byte_order": "big",
          "reg_map_bias": 4, "reg_bit_bias": 0, "reg_bit_size": 32, "data_name": "Level" },
        { "packet_bias": 5, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "uinteger", "byte_order": "big",
          "reg_map_bias": 6, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Count" } ] } ]
})";

// Level 21.5 (41 ac 00 00), count 0x1234.
const char *PROBE_PAYLOAD = "0141ac00001234";

API::SApiDeviceData uplink(const QString &_devEui, quint32 _fcnt, const char *_payloadHex = PROBE_PAYLOAD)
{
    API::SApiDeviceData data;
    data.devEui = _devEui;
    data.ts = 1700000000123ULL;
    data.fcnt = _fcnt;
    data.data = QByteArray::fromHex(_payloadHex);
    return data;
}

QByteArray runClient(const QString &_program, const QStringList &_arguments)
{
    QProcess process;
    QSignalSpy finished(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished));
    process.start(_program, _arguments);
    if (!finished.wait(20000))
        process.kill();
    return process.readAllStandardOutput() + process.readAllStandardError();
}

QString mbpoll(
    uint16_t _port, int _unit, int _first, int _count, const QString &_type, const QStringList &_extra = QStringList())
{
    return QString::fromUtf8(runClient(QStringLiteral("mbpoll"),
        QStringList { "-m", "tcp", "-p", QString::number(_port), "-a", QString::number(_unit), "-0", "-r",
            QString::number(_first), "-c", QString::number(_count), "-t", _type, "-1" }
            + _extra + QStringList { "127.0.0.1" }));
}

bool matches(const QString &_text, const QString &_pattern)
{
    return QRegularExpression(_pattern, QRegularExpression::CaseInsensitiveOption).match(_text).hasMatch();
}

} // namespace

// Unit IDs, word order, decimal scaling, stale values, counters and older server.db files,
// with the real Modbus clients a SCADA engineer would use.
class TestFormats : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;
    CManualClock clock;
    std::unique_ptr<CDataBaseHandler> store;
    std::unique_ptr<CAllDeviceHandler> registry;

    DB::SDeviceRegMapDescription probe(const QString &_devEui, quint8 _unit, EWordOrder _order)
    {
        DB::SDeviceRegMapDescription device;
        device.devEui = _devEui;
        device.appEui = PROBE_APP_EUI;
        device.name = QStringLiteral("probe ") + _devEui.right(2);
        device.registers = registry->getRegMapDescription(PROBE_APP_EUI).registers;
        device.unitId = _unit;
        device.wordOrder = _order;
        return device;
    }

    // Stores and serves the device as the gateway does, its age register included.
    bool add(const DB::SDeviceRegMapDescription &_device, uint16_t _port)
    {
        if (!store->registerNewDevice(_device, _port))
            return false;
        store->setAgeRegisters(_device.devEui, { { qint64(_device.startAddr), 16 } });
        return registry->addNewDevice(_device, _port);
    }

    void setLevelScaling(DB::SDeviceRegMapDescription &_device, double _multiplier, double _added)
    {
        for (SRegisterDescription &reg : _device.registers) {
            if (reg.name == QLatin1String("Level")) {
                reg.gratingPeriod = _multiplier;
                reg.startValue = _added;
            }
        }
    }

    uint16_t wordAt(uint16_t _port, uint8_t _unit, int _addr)
    {
        return store->readRegisters(_port, _unit, _addr, 1).words.value(uint16_t(_addr));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        QVERIFY(QDir().mkpath(DEVICE_FOLDER));
        QFile file(QDir(DEVICE_FOLDER).filePath(QStringLiteral("probe.json")));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(probeTemplate) == probeTemplate.size());
        file.close();
        store = std::make_unique<CDataBaseHandler>(DB_FILE_NAME);
        QVERIFY(store->open());
        store->setClock(&clock);
        registry = std::make_unique<CAllDeviceHandler>(store.get(), QDir::current().filePath(DEVICE_FOLDER), &clock);
        QVERIFY(!registry->getTemplateInfo(PROBE_APP_EUI).appEui.isEmpty());
    }

    void decimalScalingOfFloat32_data()
    {
        QTest::addColumn<double>("multiplier");
        QTest::addColumn<double>("added");
        QTest::addColumn<QString>("expected");
        // Singles by hand: 21.5 * 0.1 - 40.5 = -38.35 is c2196666, 21.5 * 2 = 43 is 422c0000.
        QTest::newRow("tenth, minus 40.5") << 0.1 << -40.5 << "c2196666";
        QTest::newRow("whole multiplier") << 2.0 << 0.0 << "422c0000";
    }
    void decimalScalingOfFloat32()
    {
        QFETCH(double, multiplier);
        QFETCH(double, added);
        QFETCH(QString, expected);
        const SDeviceTemplate probeType(QJsonDocument::fromJson(probeTemplate).object());
        DB::SDeviceRegMapDescription device;
        const SDecodedUplink decoded = decodeUplink(
            uplink(QStringLiteral("AA00000000000001"), 1), probeType, device,
            CRegisterScaling({ SRegisterScale { 4, added, multiplier } }));
        QVERIFY(decoded.accepted);
        QString level;
        for (const SRegisterValue &reg : decoded.data.registers) {
            if (reg.regOffset == 4)
                level = reg.fullValue;
        }
        QCOMPARE(level, expected);
    }

    void unitIdsAndWordOrderWithRealClients()
    {
        const QString missing = PeerTest::missingPythonModule(
            "pymodbus.client", "python3-pymodbus (and python3-serial-asyncio, which its client imports)");
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString noMbpoll = PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
        QVERIFY2(noMbpoll.isEmpty(), qPrintable(noMbpoll));

        const uint16_t port = freePort();
        DB::SDeviceRegMapDescription big = probe(QStringLiteral("AA00000000000001"), 1, EWordOrder::Big);
        setLevelScaling(big, 0.1, -40.5);
        DB::SDeviceRegMapDescription little = probe(QStringLiteral("AA00000000000002"), 2, EWordOrder::Little);
        setLevelScaling(little, 2, 0);
        QVERIFY(add(big, port));
        QVERIFY(add(little, port));
        registry->newPacketReceivedSlot(uplink(big.devEui, 1));
        registry->newPacketReceivedSlot(uplink(little.devEui, 1));

        const QString script = QStringLiteral(
            "import struct, sys\n"
            "from pymodbus.client import ModbusTcpClient\n"
            "c = ModbusTcpClient('127.0.0.1', port=int(sys.argv[1]), timeout=3)\n"
            "assert c.connect()\n"
            "w = c.read_holding_registers(4, 3, slave=1).registers\n"
            "print('unit 1 level %.2f count %d' % (struct.unpack('>f', struct.pack('>HH', w[0], w[1]))[0], w[2]))\n"
            "w = c.read_input_registers(4, 3, slave=2).registers\n"
            "print('unit 2 level %.2f count %d' % (struct.unpack('>f', struct.pack('>HH', w[1], w[0]))[0], w[2]))\n"
            "print('unit 3 exception', c.read_holding_registers(4, 2, slave=3).exception_code)\n"
            "c.close()\n");
        const QString output
            = QString::fromUtf8(runClient("/usr/bin/python3", { "-c", script, QString::number(port) }));
        QVERIFY2(output.contains("unit 1 level -38.35 count 4660"), qPrintable(output));
        QVERIFY2(output.contains("unit 2 level 43.00 count 4660"), qPrintable(output));
        QVERIFY2(output.contains("unit 3 exception 11"), qPrintable(output));

        const QString unit1 = mbpoll(port, 1, 4, 1, QStringLiteral("4:float"), { QStringLiteral("-B") });
        QVERIFY2(matches(unit1, QStringLiteral("\\[4\\]:\\s+-38\\.35")), qPrintable(unit1));
        const QString unit2 = mbpoll(port, 2, 4, 1, QStringLiteral("4:float"));
        QVERIFY2(matches(unit2, QStringLiteral("\\[4\\]:\\s+43\\b")), qPrintable(unit2));
        const QString unit3 = mbpoll(port, 3, 4, 1, QStringLiteral("4:hex"));
        QVERIFY2(matches(unit3, QStringLiteral("target device failed to respond")), qPrintable(unit3));
    }

    void staleDeviceExceptionOrKeep()
    {
        const QString noMbpoll = PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
        QVERIFY2(noMbpoll.isEmpty(), qPrintable(noMbpoll));
        const uint16_t refusing = freePort();
        DB::SDeviceRegMapDescription strict = probe(QStringLiteral("BB00000000000001"), 0, EWordOrder::Big);
        strict.staleAfter = 60;
        strict.stalePolicy = EStalePolicy::Exception;
        QVERIFY(add(strict, refusing));
        const uint16_t keeping = freePort();
        DB::SDeviceRegMapDescription lenient = probe(QStringLiteral("BB00000000000002"), 0, EWordOrder::Big);
        lenient.staleAfter = 60;
        QVERIFY(add(lenient, keeping));

        // Never received: the strict device refuses, the other reads zeros as always.
        QVERIFY2(matches(mbpoll(refusing, 1, 6, 1, "4:hex"), "target device failed to respond"), "never received");
        QVERIFY(matches(mbpoll(keeping, 1, 6, 1, "4:hex"), "\\[6\\]:\\s+0x0000"));

        registry->newPacketReceivedSlot(uplink(strict.devEui, 1));
        registry->newPacketReceivedSlot(uplink(lenient.devEui, 1));
        clock.advance(60 * 1000);
        QVERIFY(matches(mbpoll(refusing, 7, 6, 1, "4:hex"), "\\[6\\]:\\s+0x1234"));
        QVERIFY(!store->isDeviceStale(strict.devEui));

        clock.advance(1000);
        QVERIFY(store->isDeviceStale(strict.devEui));
        const QString refused = mbpoll(refusing, 1, 6, 1, "4:hex");
        QVERIFY2(matches(refused, "target device failed to respond"), qPrintable(refused));
        const QString kept = mbpoll(keeping, 1, 6, 1, "4:hex");
        QVERIFY2(matches(kept, "\\[6\\]:\\s+0x1234"), qPrintable(kept));
        // Registers outside the stale device's map are not refused.
        QCOMPARE(store->readRegisters(refusing, 1, 7, 3).status, EReadStatus::OK);

        registry->newPacketReceivedSlot(uplink(strict.devEui, 2));
        QCOMPARE(store->readRegisters(refusing, 1, 6, 1).status, EReadStatus::OK);
    }

    void ageGrowsWhileNothingArrives()
    {
        const uint16_t port = freePort();
        const DB::SDeviceRegMapDescription device = probe(QStringLiteral("CC00000000000001"), 0, EWordOrder::Big);
        QVERIFY(add(device, port));
        QCOMPARE(wordAt(port, 1, 0), uint16_t(65535));
        registry->newPacketReceivedSlot(uplink(device.devEui, 1));
        QCOMPARE(wordAt(port, 1, 0), uint16_t(0));
        clock.advance(90 * 1000 + 400);
        QCOMPARE(wordAt(port, 1, 0), uint16_t(90));
        clock.advance(70000LL * 1000);
        QCOMPARE(wordAt(port, 1, 0), uint16_t(65535));
        registry->newPacketReceivedSlot(uplink(device.devEui, 2));
        QCOMPARE(wordAt(port, 1, 0), uint16_t(0));
    }

    void frameCounterGaps_data()
    {
        QTest::addColumn<bool>("hadFcnt");
        QTest::addColumn<quint32>("previous");
        QTest::addColumn<quint32>("fcnt");
        QTest::addColumn<quint64>("lost");
        QTest::newRow("first uplink") << false << 0u << 100u << quint64(0);
        QTest::newRow("next frame") << true << 10u << 11u << quint64(0);
        QTest::newRow("jump of 3") << true << 10u << 13u << quint64(2);
        QTest::newRow("counter reset") << true << 500u << 0u << quint64(0);
        QTest::newRow("repeated frame") << true << 7u << 7u << quint64(0);
    }
    void frameCounterGaps()
    {
        QFETCH(bool, hadFcnt);
        QFETCH(quint32, previous);
        QFETCH(quint32, fcnt);
        QFETCH(quint64, lost);
        SDeviceCounters before;
        before.hasFcnt = hadFcnt;
        before.lastFcnt = previous;
        before.lost = 5;
        const SDeviceCounters after = nextCounters(before, fcnt, true, 1000);
        QCOMPARE(after.lost, 5 + lost);
        QCOMPARE(after.lastFcnt, fcnt);
        QCOMPARE(after.uplinks, quint64(1));
        QCOMPARE(after.lastUplinkMs, qint64(1000));
    }

    void countersInRegistersAndAcrossRestart()
    {
        const uint16_t port = freePort();
        const DB::SDeviceRegMapDescription device = probe(QStringLiteral("DD00000000000001"), 0, EWordOrder::Big);
        QVERIFY(add(device, port));
        registry->newPacketReceivedSlot(uplink(device.devEui, 10));
        registry->newPacketReceivedSlot(uplink(device.devEui, 13));
        // Wrong size: dropped, but counted.
        registry->newPacketReceivedSlot(uplink(device.devEui, 14, "0141ac0000"));
        QCOMPARE(wordAt(port, 1, 1), uint16_t(3));
        QCOMPARE(wordAt(port, 1, 2), uint16_t(2));
        QCOMPARE(wordAt(port, 1, 3), uint16_t(1));
        QCOMPARE(wordAt(port, 1, 6), uint16_t(0x1234));

        CDataBaseHandler reopened(DB_FILE_NAME);
        QVERIFY(reopened.open());
        const SDeviceCounters counters = reopened.getDeviceCounters(device.devEui);
        QCOMPARE(counters.uplinks, quint64(3));
        QCOMPARE(counters.lost, quint64(2));
        QCOMPARE(counters.errors, quint64(1));
        QCOMPARE(counters.lastFcnt, 14u);
        QCOMPARE(counters.lastUplinkMs, store->getDeviceCounters(device.devEui).lastUplinkMs);
        QVERIFY(counters.lastUplinkMs > 0);
    }

    void olderServerDbOpensUnchanged()
    {
        const QString path = QDir::current().filePath(QStringLiteral("old-server.db"));
        {
            QSqlDatabase old = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("old"));
            old.setDatabaseName(path);
            QVERIFY(old.open());
            QSqlQuery sql(old);
            // The tables exactly as the previous version made them.
            QVERIFY(sql.exec("CREATE TABLE IF NOT EXISTS devices ( device INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL "
                             "UNIQUE, name TEXT, app_eui TEXT, dev_eui TEXT, port INTEGER, start_addr INTEGER ); "));
            QVERIFY(sql.exec("CREATE TABLE IF NOT EXISTS dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr "
                             "INTEGER, start_value INTEGER, grating_period INTEGER, bit_size INTEGER, data_type TEXT, "
                             "value TEXT DEFAULT NULL, full_value TEXT DEFAULT NULL, time INTEGER DEFAULT NULL, name "
                             "TEXT DEFAULT NULL, unit TEXT DEFAULT NULL, parent INTEGER, source INTEGER ); "));
            QVERIFY(sql.exec("INSERT INTO devices (name, app_eui, dev_eui, port, start_addr) VALUES "
                             "('boiler', '4B454C5641524101', '70B3D5E75E000001', 1502, 10);"));
            QVERIFY(sql.exec("INSERT INTO dev_data VALUES (1, 1502, 16, 5, 10, 16, 'integer', '00d7', '00d7', "
                             "1700000000000, 'Temperature', 'C', 1, 1);"));
            QVERIFY(sql.exec("INSERT INTO dev_data VALUES (1, 1502, 17, 0, 1, 16, 'uinteger', NULL, NULL, NULL, "
                             "'Humidity', '%', 1, 1);"));
        }
        QSqlDatabase::removeDatabase(QStringLiteral("old"));

        CDataBaseHandler opened(path);
        QVERIFY(opened.open());
        const QVector<QSqlRecord> devices = opened.getDevices(QString());
        QCOMPARE(devices.size(), 1);
        QCOMPARE(devices.first().count(), int(DEV_COLUMN_COUNT));
        QCOMPARE(devices.first().value(DEV_COL_DEV_EUI).toString(), QStringLiteral("70B3D5E75E000001"));
        QCOMPARE(devices.first().value(DEV_COL_START_ADDR).toInt(), 10);
        const QVector<QSqlRecord> rows = opened.getDeviceRows();
        QVERIFY(!rows.isEmpty());
        QCOMPARE(rows.first().value(DEV_COL_UNIT_ID).toInt(), 0);
        QCOMPARE(rows.first().value(DEV_COL_WORD_ORDER).toString(), QStringLiteral("big"));
        QCOMPARE(rows.first().value(DEV_COL_STALE_AFTER).toInt(), 0);
        QCOMPARE(rows.first().value(DEV_COL_STALE_POLICY).toString(), QStringLiteral("keep"));
        QCOMPARE(rows.first().value(DEV_COL_UPLINKS).toInt(), 0);
        // Any unit reads the same words as before; the never written register reads 0.
        for (uint8_t unit : { uint8_t(0), uint8_t(1), uint8_t(200) }) {
            const SRegisterRead read = opened.readRegisters(1502, unit, 16, 2);
            QCOMPARE(read.status, EReadStatus::OK);
            QCOMPARE(read.words.value(16), uint16_t(0x00d7));
            QCOMPARE(read.words.value(17), uint16_t(0));
        }
        const SRegisterParam param = opened.getRegisterParam(QStringLiteral("70B3D5E75E000001"), 16);
        QCOMPARE(param.startValue, 5.0);
        QCOMPARE(param.gratingPeriod, 10.0);
        QCOMPARE(opened.getRegisters(1).size(), 2);
    }

    void cleanupTestCase()
    {
        registry.reset();
        store.reset();
    }
};

QTEST_GUILESS_MAIN(TestFormats)
#include "tst_formats.moc"
