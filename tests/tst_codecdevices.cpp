#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "app/cclock.h"
#include "app/clogfile.h"
#include "app/constants.h"
#include "devices/calldevicehandler.h"
#include "devices/ccodecrunner.h"
#include "devices/uplinkdecoder.h"
#include "gatewaytestsupport.h"
#include "store/cdatabasehandler.h"
#include "store/storecolumns.h"
#include "testworkdir.h"

namespace {

const QString FLAKY_APP_EUI = QStringLiteral("4B454C56434F4401");
const QString NETWORK_APP_EUI = QStringLiteral("4B454C56434F4402");
const QString ROOM_APP_EUI = QStringLiteral("4B454C5641524104");

// fPort 1 decodes its first byte; 7 never returns; 9 is refused with errors.
const char *FLAKY_CODEC = R"(function decodeUplink(input) {
  if (input.fPort === 7) { for (;;) {} }
  if (input.fPort === 9) return { errors: ['port 9 is a test of refusals'] };
  return { data: { v: input.bytes[0] } };
})";

const char *FLAKY_TEMPLATE = R"({ "app_eui": "4B454C56434F4401", "dev_type": "Flaky",
    "decoder": { "codec": "flaky.js" },
    "server_data": [ { "data_code": "errors", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16,
                       "data_name": "Errors" } ],
    "decoded_fields": [ { "path": "v", "reg_map_bias": 1, "reg_format": "uint16", "data_name": "V" } ] })";

const char *NETWORK_TEMPLATE = R"({ "app_eui": "4B454C56434F4402", "dev_type": "Decoded by the server",
    "decoder": { "network": true },
    "server_data": [ { "data_code": "errors", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16,
                       "data_name": "Errors" } ],
    "decoded_fields": [
        { "path": "temperature", "reg_map_bias": 1, "reg_format": "int16", "multiplier": 10, "data_name": "T" },
        { "path": "door", "reg_map_bias": 2, "reg_format": "uint16", "map": { "closed": 0, "open": 1 },
          "data_name": "Door" } ] })";

QJsonObject object(const char *_text)
{
    return QJsonDocument::fromJson(_text).object();
}

bool writeText(const QString &_path, const QByteArray &_text)
{
    QFile file(_path);
    return file.open(QIODevice::WriteOnly) && file.write(_text) == _text.size();
}

bool copyExample(const QString &_name)
{
    const QString target = QDir(DEVICE_FOLDER).filePath(_name);
    QFile::remove(target);
    return QFile::copy(QStringLiteral(KELVARA_SOURCE_DIR "/examples/") + _name, target);
}

API::SApiDeviceData uplink(const QString &_devEui, int _port, const char *_hex, quint32 _fcnt)
{
    API::SApiDeviceData data;
    data.devEui = _devEui;
    data.port = quint16(_port);
    data.fcnt = _fcnt;
    data.ts = 1700000000000ULL;
    data.data = QByteArray::fromHex(_hex);
    return data;
}

bool logged(const QSignalSpy &_log, const QString &_text, int *_count = nullptr)
{
    int count = 0;
    for (const QList<QVariant> &line : _log)
        count += line.at(0).toString().contains(_text) ? 1 : 0;
    if (_count)
        *_count = count;
    return count > 0;
}

} // namespace

// Devices whose values a codec or the network server decodes, through the registry and the
// store into the register words a Modbus client reads.
class TestCodecDevices : public QObject
{
    Q_OBJECT

    CTestWorkDir dir;
    CManualClock clock;
    CCodecRunner codecs;
    std::unique_ptr<CDataBaseHandler> store;
    std::unique_ptr<CAllDeviceHandler> registry;
    quint16 port = 0;
    int devicesAdded = 0;

    DB::SDeviceRegMapDescription device(const QString &_devEui, const QString &_appEui, EWordOrder _order)
    {
        DB::SDeviceRegMapDescription described;
        described.devEui = _devEui;
        described.appEui = _appEui;
        described.name = _devEui.right(4);
        // Each device of the shared port in its own hundred registers.
        described.startAddr = 100 * ++devicesAdded;
        described.registers = registry->getRegMapDescription(_appEui).registers;
        described.wordOrder = _order;
        return described;
    }
    bool add(const DB::SDeviceRegMapDescription &_device)
    {
        return store->registerNewDevice(_device, port) && registry->addNewDevice(_device, port);
    }
    void receive(const API::SApiDeviceData &_uplink)
    {
        registry->newPacketReceivedSlot(_uplink);
        registry->flushUplinks();
    }
    QList<uint16_t> words(const DB::SDeviceRegMapDescription &_device, int _offset, int _count)
    {
        const int first = _device.startAddr + _offset;
        const QMap<uint16_t, uint16_t> read = store->readRegisters(port, 1, first, _count).words;
        QList<uint16_t> list;
        for (int i = 0; i < _count; ++i)
            list << read.value(uint16_t(first + i));
        return list;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        QVERIFY(QDir().mkpath(DEVICE_FOLDER));
        QVERIFY(writeText(QDir(DEVICE_FOLDER).filePath("flaky.js"), FLAKY_CODEC));
        QVERIFY(writeText(QDir(DEVICE_FOLDER).filePath("flaky.json"), FLAKY_TEMPLATE));
        QVERIFY(writeText(QDir(DEVICE_FOLDER).filePath("network.json"), NETWORK_TEMPLATE));
        for (const char *file : { "room-sensor.json", "room-sensor.js", "room-sensor-codec.yaml" })
            QVERIFY(copyExample(QString::fromLatin1(file)));
        store = std::make_unique<CDataBaseHandler>(DB_FILE_NAME);
        QVERIFY(store->open());
        store->setClock(&clock);
        STemplateContext context;
        context.codecs = &codecs;
        context.log = CLogFile::getInstance(QString());
        registry = std::make_unique<CAllDeviceHandler>(
            store.get(), QDir::current().filePath(DEVICE_FOLDER), &clock, SModbusLimits(), context);
        registry->setServing(QHostAddress::LocalHost, true);
        port = GatewayTest::freePort();
        for (const QString &appEui : { FLAKY_APP_EUI, NETWORK_APP_EUI, ROOM_APP_EUI })
            QVERIFY2(!registry->getTemplateInfo(appEui).appEui.isEmpty(), qPrintable(appEui));
    }
    void cleanupTestCase()
    {
        registry.reset();
        store.reset();
    }

    // Each value as it lands in its registers; words computed by hand in each row.
    void decodedValuesInRegisters_data()
    {
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("little");
        QTest::addColumn<QList<uint16_t>>("expected");
        const QByteArray int16 = R"({"path": "v", "reg_map_bias": 0, "reg_format": "int16", "data_name": "V")";
        QTest::newRow("int16 x10") << int16 + R"(, "multiplier": 10})" << QByteArray(R"({"v": 22.6})") << false
                                   << QList<uint16_t> { 226 };
        QTest::newRow("int16 negative") << int16 + "}" << QByteArray(R"({"v": -18.4})") << false
                                        << QList<uint16_t> { 0xffee };
        QTest::newRow("int16 held at its top")
            << int16 + R"(, "multiplier": 10})" << QByteArray(R"({"v": 4000})") << false << QList<uint16_t> { 0x7fff };
        QTest::newRow("int16 held at its bottom")
            << int16 + "}" << QByteArray(R"({"v": -1e12})") << false << QList<uint16_t> { 0x8000 };
        QTest::newRow("uint16 below zero is 0")
            << QByteArray(R"({"path": "v", "reg_map_bias": 0, "reg_format": "uint16", "data_name": "V"})")
            << QByteArray(R"({"v": -5})") << false << QList<uint16_t> { 0 };
        QTest::newRow("added value") << QByteArray(
            R"({"path": "v", "reg_map_bias": 0, "reg_format": "uint16", "added_value": 40, "data_name": "V"})")
                                     << QByteArray(R"({"v": -12})") << false << QList<uint16_t> { 28 };
        // 70000 = 0x00011170.
        const QByteArray uint32 = R"({"path": "v", "reg_map_bias": 0, "reg_format": "uint32", "data_name": "V"})";
        QTest::newRow("uint32 big word order")
            << uint32 << QByteArray(R"({"v": 70000})") << false << QList<uint16_t> { 0x0001, 0x1170 };
        QTest::newRow("uint32 little word order")
            << uint32 << QByteArray(R"({"v": 70000})") << true << QList<uint16_t> { 0x1170, 0x0001 };
        QTest::newRow("uint32 held at its top")
            << uint32 << QByteArray(R"({"v": 5e9})") << false << QList<uint16_t> { 0xffff, 0xffff };
        // 415.0 as a single is 0x43cf8000.
        const QByteArray float32 = R"({"path": "v", "reg_map_bias": 0, "reg_format": "float32", "data_name": "V"})";
        QTest::newRow("float32") << float32 << QByteArray(R"({"v": 415})") << false
                                 << QList<uint16_t> { 0x43cf, 0x8000 };
        QTest::newRow("float32 little word order")
            << float32 << QByteArray(R"({"v": 415})") << true << QList<uint16_t> { 0x8000, 0x43cf };
        const QByteArray boolean = R"({"path": "v", "reg_map_bias": 0, "reg_format": "bool", "data_name": "V"})";
        QTest::newRow("true") << boolean << QByteArray(R"({"v": true})") << false << QList<uint16_t> { 1 };
        QTest::newRow("false") << boolean << QByteArray(R"({"v": false})") << false << QList<uint16_t> { 0 };
        QTest::newRow("a number on a bool") << boolean << QByteArray(R"({"v": 7})") << false << QList<uint16_t> { 1 };
        QTest::newRow("true on an int16")
            << int16 + "}" << QByteArray(R"({"v": true})") << false << QList<uint16_t> { 1 };
        const QByteArray mapped = R"({"path": "v", "reg_map_bias": 0, "reg_format": "uint16",
                                      "map": {"closed": 0, "open": 1, "tampered": 2}, "data_name": "V"})";
        QTest::newRow("a text of the map")
            << mapped << QByteArray(R"({"v": "tampered"})") << false << QList<uint16_t> { 2 };
        QTest::newRow("a text not in the map")
            << mapped << QByteArray(R"({"v": "ajar"})") << false << QList<uint16_t> {};
        QTest::newRow("a list on a number")
            << int16 + "}" << QByteArray(R"({"v": [1]})") << false << QList<uint16_t> {};
        QTest::newRow("missing") << int16 + "}" << QByteArray(R"({"w": 1})") << false << QList<uint16_t> {};
        QTest::newRow("null") << int16 + "}" << QByteArray(R"({"v": null})") << false << QList<uint16_t> {};
    }
    void decodedValuesInRegisters()
    {
        QFETCH(QByteArray, field);
        QFETCH(QByteArray, data);
        QFETCH(bool, little);
        QFETCH(QList<uint16_t>, expected);
        const SDeviceTemplate parsed(QJsonDocument::fromJson(
            R"({"app_eui": "0000000000000001", "dev_type": "t", "decoder": {"network": true}, "decoded_fields": [)"
            + field + "]}")
                                         .object());
        QVERIFY2(parsed.valid, parsed.problems.isEmpty() ? "" : qPrintable(parsed.problems.first().text));
        DB::SDeviceRegMapDescription described;
        described.wordOrder = little ? EWordOrder::Little : EWordOrder::Big;
        const SDeviceRegMap map = regMapOfTemplate(parsed);
        SCodecResult decoded;
        decoded.data = object(data);
        const SDecodedUplink result = decodeObjectUplink(
            uplink(QStringLiteral("0000000000000002"), 1, "", 1), parsed, described,
            CRegisterScaling::ofMap(0, map.registers), decoded);
        QVERIFY(result.accepted);
        QList<uint16_t> words;
        for (const SRegisterValue &reg : result.data.registers)
            words << reg.word;
        QCOMPARE(words, expected);
    }

    // A text lands four characters a register, as a payload's text does.
    void decodedTexts()
    {
        const SDeviceTemplate parsed(object(R"({"app_eui": "0000000000000001", "dev_type": "t",
            "decoder": {"network": true}, "decoded_fields": [
            {"path": "fw", "reg_map_bias": 0, "reg_format": "text", "reg_bit_size": 32, "data_name": "Firmware"}]})"));
        QVERIFY(parsed.valid);
        SCodecResult decoded;
        decoded.data = object(R"({"fw": "1.4.2-beta"})");
        const SDecodedUplink result = decodeObjectUplink(
            uplink(QStringLiteral("0000000000000002"), 1, "", 1), parsed, DB::SDeviceRegMapDescription(),
            CRegisterScaling(), decoded);
        QStringList parts;
        for (const SRegisterValue &reg : result.data.registers)
            parts << reg.value;
        QCOMPARE(parts, QStringList({ "1.4.", "2-be" }));
    }

    // The example codec through the registry: every field in its registers; a status uplink
    // without them leaves them as they were and fills its own.
    void aMissingPathLeavesItsValue()
    {
        const DB::SDeviceRegMapDescription room
            = device(QStringLiteral("4B454C5600000106"), ROOM_APP_EUI, EWordOrder::Big);
        QVERIFY(add(room));
        receive(uplink(room.devEui, 2, "0100e25a0bb8010201000c02019f", 1));
        // Temperature 226, CO2 415.0f, door open, humidity 90 half percent, 3000 mV, not low, PM2.5 12.0f.
        QCOMPARE(words(room, 6, 9), QList<uint16_t>({ 226, 0x43cf, 0x8000, 1, 90, 3000, 0, 0x4140, 0x0000 }));
        receive(uplink(room.devEui, 3, "0104012c", 2));
        QCOMPARE(words(room, 6, 11), QList<uint16_t>({ 226, 0x43cf, 0x8000, 1, 90, 3000, 0, 0x4140, 0x0000, 0, 300 }));
        QCOMPARE(store->getDeviceCounters(room.devEui).errors, quint64(0));
    }

    // Refused uplinks count in the device's errors; the log says why once a minute, with a count.
    void refusalsCountAndAreLoggedOnceAMinute()
    {
        const DB::SDeviceRegMapDescription flaky
            = device(QStringLiteral("4B454C5600000101"), FLAKY_APP_EUI, EWordOrder::Big);
        QVERIFY(add(flaky));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        receive(uplink(flaky.devEui, 1, "05", 1));
        for (quint32 fcnt = 2; fcnt <= 4; ++fcnt)
            receive(uplink(flaky.devEui, 9, "05", fcnt));
        // The value stays; the errors register counts three.
        QCOMPARE(words(flaky, 0, 2), QList<uint16_t>({ 3, 5 }));
        int lines = 0;
        QVERIFY(logged(log,
            QStringLiteral("refused (1 since the last report): the codec's errors: port 9 is a test "
                           "of refusals"),
            &lines));
        QVERIFY(logged(log, flaky.devEui, &lines));
        QCOMPARE(lines, 1);
        clock.advance(61000);
        receive(uplink(flaky.devEui, 9, "05", 5));
        QVERIFY(logged(log, QStringLiteral("refused (3 since the last report)")));
        QCOMPARE(store->getDeviceCounters(flaky.devEui).errors, quint64(4));
    }

    // Codecs that never return are interrupted one after the other; meanwhile the device's port
    // answers at once with what it held, and the engine decodes the next uplink.
    void anEndlessLoopIsInterruptedWhileModbusAnswers()
    {
        const DB::SDeviceRegMapDescription flaky
            = device(QStringLiteral("4B454C5600000102"), FLAKY_APP_EUI, EWordOrder::Big);
        QVERIFY(add(flaky));
        receive(uplink(flaky.devEui, 1, "2a", 1));
        const int loops = 5;
        for (int i = 0; i < loops; ++i)
            registry->newPacketReceivedSlot(uplink(flaky.devEui, 7, "01", quint32(2 + i)));
        // About 250 ms of codec time queued: this read comes back long before.
        const quint16 first = quint16(flaky.startAddr);
        QTcpSocket reader;
        reader.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(reader.waitForConnected(5000));
        QByteArray request = QByteArray::fromHex("000700000006010300000002");
        request[8] = char(first >> 8);
        request[9] = char(first & 0xff);
        reader.write(request);
        QVERIFY(QTest::qWaitFor([&] { return reader.bytesAvailable() >= 13; }, 5000));
        const QByteArray answer = reader.readAll();
        QCOMPARE(answer.left(9).toHex(' '), QByteArray::fromHex("000700000007010304").toHex(' '));
        const int errorsWhenRead = (uchar(answer.at(9)) << 8) | uchar(answer.at(10));
        QVERIFY2(errorsWhenRead < loops, qPrintable(QString::number(errorsWhenRead)));
        QCOMPARE((uchar(answer.at(11)) << 8) | uchar(answer.at(12)), 42);
        registry->flushUplinks();
        QCOMPARE(words(flaky, 0, 2), QList<uint16_t>({ quint16(loops), 42 }));
        receive(uplink(flaky.devEui, 1, "2b", 10));
        QCOMPARE(words(flaky, 0, 2), QList<uint16_t>({ quint16(loops), 43 }));
    }

    // The object the network server decoded; an uplink without one is refused and counted.
    void theNetworkServersObject()
    {
        const DB::SDeviceRegMapDescription decodedThere
            = device(QStringLiteral("4B454C5600000103"), NETWORK_APP_EUI, EWordOrder::Big);
        QVERIFY(add(decodedThere));
        API::SApiDeviceData data = uplink(decodedThere.devEui, 2, "0102", 1);
        data.hasDecoded = true;
        data.decoded = object(R"({"temperature": -3.5, "door": "open"})");
        receive(data);
        QCOMPARE(words(decodedThere, 0, 3), QList<uint16_t>({ 0, 0xffdd, 1 }));
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        receive(uplink(decodedThere.devEui, 2, "0102", 2));
        QCOMPARE(words(decodedThere, 0, 3), QList<uint16_t>({ 1, 0xffdd, 1 }));
        QVERIFY(logged(log, QStringLiteral("the network server sent no decoded object")));
    }

    // With the WebSocket server nothing decodes for the gateway: such a template is refused
    // with a line that says what it needs, and comes back with a server that decodes.
    void theWebSocketServerRefusesNetworkTemplates()
    {
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        registry->setServerDecodes(false);
        QVERIFY(registry->getTemplateInfo(NETWORK_APP_EUI).appEui.isEmpty());
        QVERIFY(!registry->getTemplateInfo(FLAKY_APP_EUI).appEui.isEmpty());
        QVERIFY(logged(log,
            QStringLiteral("Template file [network.json] refused, key [network]: decoder: the network "
                           "server's "
                           "decoded object needs ChirpStack or The Things Stack")));
        registry->setServerDecodes(true);
        QVERIFY(!registry->getTemplateInfo(NETWORK_APP_EUI).appEui.isEmpty());
    }

    // What keeps a decoder template from loading, each with the key and text the check prints.
    void templateRefusals_data()
    {
        QTest::addColumn<QByteArray>("decoder");
        QTest::addColumn<QByteArray>("fields");
        QTest::addColumn<QByteArray>("extra");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        const QByteArray codec = R"({"codec": "flaky.js"})";
        const QByteArray field = R"([{"path": "v", "reg_map_bias": 1, "reg_format": "uint16", "data_name": "V"}])";
        QTest::newRow("codec outside the folder")
            << QByteArray(R"({"codec": "../outside.js"})") << field << QByteArray() << "codec"
            << "[../outside.js] is not a file inside the template folder";
        QTest::newRow("absolute codec path")
            << QByteArray(R"({"codec": "/etc/hostname"})") << field << QByteArray() << "codec"
            << "[/etc/hostname] is not a file inside the template folder";
        QTest::newRow("codec link leading out")
            << QByteArray(R"({"codec": "link.js"})") << field << QByteArray() << "codec"
            << "[link.js] is not a file inside the template folder";
        QTest::newRow("missing codec") << QByteArray(R"({"codec": "gone.js"})") << field << QByteArray() << "codec"
                                       << "[gone.js] does not exist";
        QTest::newRow("codec over 1 MiB") << QByteArray(R"({"codec": "huge.js"})") << field << QByteArray() << "codec"
                                          << "is larger than [1048576] bytes";
        QTest::newRow("neither codec nor network") << QByteArray(R"({})") << field << QByteArray() << "codec"
                                                   << "names no codec file";
        QTest::newRow("packets and a decoder")
            << codec << field << QByteArray(R"(, "device_packets": [])") << "device_packets"
            << "a template has either device_packets or a decoder";
        QTest::newRow("no decoded fields") << codec << QByteArray("[]") << QByteArray() << "decoded_fields"
                                           << "not a list of at least one field";
        QTest::newRow("bad path")
            << codec << QByteArray(R"([{"path": "a..b", "reg_map_bias": 1, "reg_format": "uint16", "data_name": "V"}])")
            << QByteArray() << "path"
            << "[a..b]: an empty key";
        QTest::newRow("unknown format")
            << codec << QByteArray(R"([{"path": "v", "reg_map_bias": 1, "reg_format": "int8", "data_name": "V"}])")
            << QByteArray() << "reg_format"
            << "[int8] is none of";
        QTest::newRow("text without a size")
            << codec << QByteArray(R"([{"path": "v", "reg_map_bias": 1, "reg_format": "text", "data_name": "V"}])")
            << QByteArray() << "reg_bit_size"
            << "a text needs a size";
        QTest::newRow("map to a text")
            << codec
            << QByteArray(
                   R"([{"path": "v", "reg_map_bias": 1, "reg_format": "uint16", "map": {"on": "1"}, "data_name": "V"}])")
            << QByteArray() << "map"
            << "[on] stands for [1], not a number";
        QTest::newRow("fraction on an integer format")
            << codec
            << QByteArray(
                   R"([{"path": "v", "reg_map_bias": 1, "reg_format": "int16", "multiplier": 0.1, "data_name": "V"}])")
            << QByteArray() << "multiplier"
            << "[0.1] is not a whole number";
        QTest::newRow("past the register space")
            << codec
            << QByteArray(R"([{"path": "v", "reg_map_bias": 65535, "reg_format": "uint32", "data_name": "V"}])")
            << QByteArray() << "reg_bit_size"
            << "do not fit registers 0-65535";
        QTest::newRow("encode without a codec")
            << QByteArray(R"({"network": true})") << field
            << QByteArray(R"(, "downlinks": [{"data_name": "Led", "encode": "led", "coil": 0}])") << "encode"
            << "only a template with a codec encodes";
        QTest::newRow("encode with a codec that has no encoder")
            << codec << field << QByteArray(R"(, "downlinks": [{"data_name": "Led", "encode": "led", "coil": 0}])")
            << "encode"
            << "codec [flaky.js] has no encodeDownlink";
        QTest::newRow("encode and a prefix")
            << codec << field
            << QByteArray(R"(, "downlinks": [{"data_name": "Led", "encode": "led", "coil": 0, "on": "01"}])") << "on"
            << "the encoder makes the payload";
        QTest::newRow("network decoder with examples")
            << QByteArray(R"({"network": true, "examples": "x.yaml"})") << field << QByteArray() << "codec"
            << "a decoder of the network server has no codec";
        QTest::newRow("template example fails")
            << codec << field << QByteArray(R"(, "examples": [{"f_port": 1, "payload": "05", "expect": {"v": 6}}])")
            << "examples"
            << "example [0]: v: expected 6, decoded 5";
        QTest::newRow("template example refused")
            << codec << field << QByteArray(R"(, "examples": [{"f_port": 9, "payload": "05", "expect": {"v": 5}}])")
            << "examples"
            << "example [0]: the codec's errors: port 9 is a test of refusals";
        QTest::newRow("YAML example fails") << QByteArray(R"({"codec": "flaky.js", "examples": "flaky-codec.yaml"})")
                                            << field << QByteArray() << "examples"
                                            << "flaky-codec.yaml example [1] \"seven\": v: expected 7, decoded 8";
        QTest::newRow("YAML example expects a refusal")
            << QByteArray(R"({"codec": "flaky.js", "examples": "flaky-refused.yaml"})") << field << QByteArray()
            << "examples"
            << "flaky-refused.yaml example [0]: expected the codec to refuse it, it decoded";
    }
    void templateRefusals()
    {
        QFETCH(QByteArray, decoder);
        QFETCH(QByteArray, fields);
        QFETCH(QByteArray, extra);
        QFETCH(QString, key);
        QFETCH(QString, text);
        const QDir folder(DEVICE_FOLDER);
        QVERIFY(writeText(dir.filePath("outside.js"), FLAKY_CODEC));
        QFile::link(dir.filePath("outside.js"), folder.filePath("link.js"));
        QVERIFY(writeText(folder.filePath("huge.js"), QByteArray("//") + QByteArray(MAX_CODEC_FILE_SIZE, 'x')));
        QVERIFY(writeText(folder.filePath("flaky-codec.yaml"),
            "uplinkDecoder:\n  examples:\n    - input: {fPort: 1, bytes: [5]}\n      output: {data: {v: 5}}\n"
            "    - description: seven\n      input: {fPort: 1, bytes: [8]}\n      output: {data: {v: 7}}\n"));
        QVERIFY(writeText(folder.filePath("flaky-refused.yaml"),
            "uplinkDecoder:\n  examples:\n    - input: {fPort: 1, bytes: [5]}\n      output: {errors: [x]}\n"));
        QVERIFY(writeText(folder.filePath("probe.txt"),
            R"({"app_eui": "4B454C56434F4409", "dev_type": "Probe", "decoder": )" + decoder + R"(, "decoded_fields": )"
                + fields + extra + "}"));
        STemplateContext context;
        context.codecs = &codecs;
        const QList<STemplateProblem> problems = checkTemplateFile(folder.absolutePath(), "probe.txt", context);
        QStringList texts;
        for (const STemplateProblem &problem : problems)
            texts << problem.key + QStringLiteral(": ") + problem.text;
        bool found = false;
        for (const STemplateProblem &problem : problems)
            found |= problem.key == key && problem.text.contains(text);
        QVERIFY2(found, qPrintable(texts.join(QStringLiteral(" | "))));
        QVERIFY(!loadTemplateFile(folder.absolutePath(), "probe.txt", context).valid);
    }

    // The shipped example passes its template's and its YAML file's examples, each reported.
    void theExampleTemplatesExamples()
    {
        STemplateContext context;
        context.codecs = &codecs;
        QList<SExampleOutcome> outcomes;
        QCOMPARE(
            checkTemplateFile(QStringLiteral(KELVARA_SOURCE_DIR "/examples"), "room-sensor.json", context, &outcomes)
                .size(),
            0);
        QStringList names;
        for (const SExampleOutcome &outcome : outcomes) {
            QVERIFY2(outcome.problem.isEmpty(), qPrintable(outcome.problem));
            names << outcome.name;
        }
        QCOMPARE(names.size(), 6);
        QCOMPARE(names.at(2),
            QStringLiteral("room-sensor-codec.yaml example [0] \"Measurement, door open, PM2.5 and CO2\""));
        // Its register map, with the starting scaling of each decoded value.
        const SDeviceRegMap map
            = regMapOfTemplate(loadTemplateFile(KELVARA_SOURCE_DIR "/examples", "room-sensor.json", context));
        QStringList layout;
        for (const SRegisterDescription &reg : map.registers)
            layout << QStringLiteral("%1@%2/%3 %4 x%5")
                          .arg(reg.name)
                          .arg(reg.offset)
                          .arg(reg.bitSize)
                          .arg(reg.format)
                          .arg(reg.gratingPeriod);
        QVERIFY2(layout.contains("Temperature x0.1@6/16 int16 x10"), qPrintable(layout.join(", ")));
        QVERIFY2(layout.contains("Battery low@12/16 bool x1"), qPrintable(layout.join(", ")));
        QVERIFY2(layout.contains("Reporting interval min@20/16  x1"), qPrintable(layout.join(", ")));
    }

    // Every payload the demo's simulator sends for the room sensor decodes with its codec.
    void theDemosRoomSensorPayloadsDecode()
    {
        const QString codecPath = QStringLiteral(KELVARA_SOURCE_DIR "/examples/room-sensor.js");
        QCOMPARE(codecs.load(codecPath), QString());
        QFile file(QStringLiteral(KELVARA_SOURCE_DIR "/examples/demo-devices.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        int decoded = 0;
        for (const QJsonValue &entry : QJsonDocument::fromJson(file.readAll()).array()) {
            if (entry[QStringLiteral("appEui")].toString() != ROOM_APP_EUI)
                continue;
            for (const QJsonValue &hex : entry[QStringLiteral("payloads")].toArray()) {
                const SCodecResult result = codecs.decode(codecPath, entry[QStringLiteral("port")].toInt(),
                    QByteArray::fromHex(hex.toString().toLatin1()), 0);
                QVERIFY2(result.ok() && result.warnings.isEmpty(), qPrintable(hex.toString() + result.error));
                QVERIFY(result.data.contains(QStringLiteral("temperature")));
                ++decoded;
            }
        }
        QCOMPARE(decoded, 4);
    }
};

QTEST_GUILESS_MAIN(TestCodecDevices)
#include "tst_codecdevices.moc"
