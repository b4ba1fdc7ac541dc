#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTcpSocket>
#include <QWebSocket>
#include <QWebSocketServer>
#include <QtTest>

#include <memory>

#include "app/cclock.h"
#include "app/clogfile.h"
#include "app/csettings.h"
#include "brokertestsupport.h"
#include "gateway/cgateway.h"
#include "gateway/startupconfig.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "testworkdir.h"

using namespace GatewayTest;

namespace {

const QString VALVE_APP_EUI = QStringLiteral("4B454C5641524109");
const QString VALVE = QStringLiteral("70B3D5E75E00D001");
const QString LOCKED = QStringLiteral("70B3D5E75E00D002");
const int START = 100;

// Downlink code at offset 0, one payload field at 1; commands at 40 (uint8 little), 42-43 (int32 big,
// confirmed), 44-45 (float little), 46 (uint16 big) and coil 0.
const char *VALVE_TEMPLATE = R"({
    "app_eui": "4B454C5641524109", "dev_type": "Valve",
    "server_data": [{"data_code": "downlink", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16,
                     "data_name": "Downlink"}],
    "device_packets": [{"packet_type": 1, "packet_size": 3, "packet_fields": [
        {"packet_bias": 1, "data_bit_bias": 0, "data_bit_size": 16, "data_type": "uinteger",
         "reg_map_bias": 1, "reg_bit_bias": 0, "reg_bit_size": 16, "data_name": "Position"}]}],
    "downlinks": [
        {"data_name": "Set-point", "reg_map_bias": 40, "reg_bit_size": 16, "f_port": 10, "prefix": "0a01",
         "data_type": "uinteger", "data_bit_size": 8, "byte_order": "little", "confirmed": false},
        {"data_name": "Limit", "reg_map_bias": 42, "reg_bit_size": 32, "f_port": 11, "prefix": "0b",
         "data_type": "integer", "data_bit_size": 32, "byte_order": "big", "confirmed": true},
        {"data_name": "Gain", "reg_map_bias": 44, "reg_bit_size": 32, "f_port": 12,
         "data_type": "float", "data_bit_size": 32, "byte_order": "little"},
        {"data_name": "Word", "reg_map_bias": 46, "reg_bit_size": 16, "f_port": 13,
         "data_type": "uinteger", "data_bit_size": 16, "byte_order": "big"},
        {"data_name": "Pump", "coil": 0, "f_port": 5, "prefix": "02", "on": "01", "off": "00"}
    ]})";

// Writes and reads with Debian's pymodbus, one line per operation: ok, exc N, coils 0101, regs 1 2.
const char *PYMODBUS_SCRIPT = R"(import json, sys
from pymodbus.client import ModbusTcpClient
from pymodbus.mei_message import ReadDeviceInformationRequest
client = ModbusTcpClient("127.0.0.1", port=int(sys.argv[1]), timeout=5)
if not client.connect():
    print("no connection")
    sys.exit(1)
for op in json.loads(sys.argv[2]):
    kind = op[0]
    if kind == "reg":
        r = client.write_register(op[1], op[2], slave=1)
    elif kind == "regs":
        r = client.write_registers(op[1], op[2], slave=1)
    elif kind == "coil":
        r = client.write_coil(op[1], op[2], slave=1)
    elif kind == "rcoils":
        r = client.read_coils(op[1], op[2], slave=1)
    elif kind == "ident":
        r = client.execute(ReadDeviceInformationRequest(read_code=op[1], object_id=0, slave=op[2]))
    else:
        r = client.read_holding_registers(op[1], op[2], slave=1)
    if r.isError():
        print("exc %d" % getattr(r, "exception_code", -1))
    elif kind == "rcoils":
        print("coils " + "".join("1" if b else "0" for b in r.bits[:op[2]]))
    elif kind == "rregs":
        print("regs " + " ".join(str(v) for v in r.registers))
    elif kind == "ident":
        print("ident " + "|".join("%d=%s" % (k, v.decode()) for k, v in sorted(r.information.items())))
    else:
        print("ok")
    sys.stdout.flush()
client.close()
)";

QByteArray hex(const char *_text)
{
    return QByteArray::fromHex(QByteArray(_text).replace(' ', ""));
}

// The lines pymodbus printed for _operations (a JSON list) on the port.
QStringList pymodbus(const QString &_dir, quint16 _port, const QByteArray &_operations)
{
    const QString script = QDir(_dir).filePath(QStringLiteral("client.py"));
    if (!QFile::exists(script) && !writeFile(script, PYMODBUS_SCRIPT))
        return { QStringLiteral("cannot write the script") };
    QProcess python;
    python.start(
        QStringLiteral("/usr/bin/python3"), { script, QString::number(_port), QString::fromUtf8(_operations) });
    if (!python.waitForFinished(20000))
        return { QStringLiteral("pymodbus did not finish") };
    const QString out = QString::fromUtf8(python.readAllStandardOutput()).trimmed();
    if (python.exitCode() != 0)
        return { QStringLiteral("pymodbus failed: ") + out + QString::fromUtf8(python.readAllStandardError()) };
    return out.split(QLatin1Char('\n'));
}

// One holding register as mbpoll reads it; -1 when the read failed.
int mbpollRead(quint16 _port, int _address)
{
    return readWithMbpoll(_port, _address, 1).value(_address, -1);
}

// A Modbus TCP client speaking raw frames, for answers whose timing matters.
struct SRawClient
{
    QTcpSocket socket;

    bool open(quint16 _port)
    {
        QSignalSpy connected(&socket, &QTcpSocket::connected);
        socket.connectToHost(QHostAddress::LocalHost, _port);
        return connected.wait(5000);
    }
    void send(const QByteArray &_frame) { socket.write(_frame); }
    // The next answer; empty after _ms without one.
    QByteArray answer(int _length, int _ms = 5000)
    {
        const bool arrived = QTest::qWaitFor([&] { return socket.bytesAvailable() >= _length; }, _ms);
        return arrived ? socket.read(_length) : QByteArray();
    }
};

} // namespace

class TestDownlinks : public QObject
{
    Q_OBJECT

    CTestWorkDir workDir;

    static QString missingPeers()
    {
        for (const QString &missing : { PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll")),
                 PeerTest::missingPythonModule(
                     QStringLiteral("pymodbus.client"), QStringLiteral("python3-pymodbus python3-serial-asyncio")) }) {
            if (!missing.isEmpty())
                return missing;
        }
        return QString();
    }

    // A working directory with the valve template, and a sensor's without commands.
    QString makeFolder(const QString &_name)
    {
        const QDir dir(workDir.filePath(_name));
        if (!QDir().mkpath(dir.filePath(QStringLiteral("deviceFolder")))
            || !writeFile(dir.filePath(QStringLiteral("deviceFolder/valve.json")), VALVE_TEMPLATE)
            || !QFile::copy(QStringLiteral(KELVARA_SOURCE_DIR "/examples/th-sensor.json"),
                            dir.filePath(QStringLiteral("deviceFolder/th-sensor.json"))))
            return QString();
        return dir.path();
    }

    static int run(const QString &_dir, const QStringList &_arguments)
    {
        QProcess process;
        process.start(gatewayProgram(), _arguments + QStringList { QStringLiteral("--workdir"), _dir });
        return process.waitForFinished(20000) && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }

    static QStringList addValve(const QString &_devEui, quint16 _port, bool _writable)
    {
        QStringList arguments { "devices", "add", "--dev-eui", _devEui, "--template", "Valve", "--name", _devEui,
            "--port", QString::number(_port), "--start", QString::number(START) };
        if (_writable)
            arguments << QStringLiteral("--writable");
        return arguments;
    }

    // The simulator, the built gateway headless and logged in to it, the valve writable on
    // *_port and a second valve with writes off on *_lockedPort.
    bool startBlackBox(const QString &_dir, QProcess &_simulator, QProcess &_gateway, const QStringList &_simArguments,
        quint16 *_port, quint16 *_lockedPort)
    {
        const quint16 serverPort = startSimulator(_simulator, _simArguments + QStringList { "--duration", "60" });
        *_port = freePort();
        *_lockedPort = freePort();
        if (!serverPort || !*_port || !*_lockedPort || *_port == *_lockedPort)
            return false;
        if (!writeFile(QDir(_dir).filePath(QStringLiteral("settings.conf")),
                QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=%2\npassword=%3\n[modbus]\nbind=127.0.0.1\n")
                    .arg(serverPort)
                    .arg(LOGIN, PASSWORD)
                    .toUtf8()))
            return false;
        if (run(_dir, addValve(VALVE, *_port, true)) != 0 || run(_dir, addValve(LOCKED, *_lockedPort, false)) != 0)
            return false;
        _gateway.setProcessChannelMode(QProcess::SeparateChannels);
        _gateway.start(gatewayProgram(), { "--headless", "--workdir", _dir });
        QByteArray log;
        return _gateway.waitForStarted(5000)
            && QTest::qWaitFor(
                [&] {
                    log += _gateway.readAllStandardError();
                    return log.contains("Logged in to the server");
                },
                10000);
    }

private slots:
    void initTestCase() { QVERIFY(workDir.enter()); }

    // The map a SCADA engineer configures writes from: each command with its format, the coil in
    // the coil space (00001 + address).
    void registerMapListsCommandsAndCoils()
    {
        const QString dir = makeFolder(QStringLiteral("map"));
        QVERIFY(!dir.isEmpty());
        QStringList add = addValve(VALVE, 1602, true);
        add << QStringLiteral("--word-order") << QStringLiteral("little");
        QCOMPARE(run(dir, add), 0);
        QProcess exporter;
        exporter.start(gatewayProgram(), { "devices", "export", "--map", "--workdir", dir });
        QVERIFY(exporter.waitForFinished(20000));
        QCOMPARE(exporter.exitCode(), 0);
        const QString device = QStringLiteral("%1,%1").arg(VALVE);
        QCOMPARE(QString::fromUtf8(exporter.readAllStandardOutput()),
            QStringLiteral("port,unit_id,first_register,register,register_count,device,dev_eui,value,format,"
                           "word_order,multiplier,added_value,unit\n"
                           "1602,0,100,40101,1,%1,Downlink,uint16,,1,0,\n"
                           "1602,0,101,40102,1,%1,Position,uint16,,1,0,\n"
                           "1602,0,140,40141,1,%1,Set-point,uint16,,1,0,\n"
                           "1602,0,142,40143,2,%1,Limit,int32,little,1,0,\n"
                           "1602,0,144,40145,2,%1,Gain,float32,little,1,0,\n"
                           "1602,0,146,40147,1,%1,Word,uint16,,1,0,\n"
                           "1602,0,100,00101,1,%1,Pump,coil,,1,0,\n")
                .arg(device));
    }

    // Every write through the built program, its simulator and real Modbus clients: the bytes the
    // server receives for each data type and byte order, coils, read-back, and the refusals.
    void writesReachTheWebSocketServer()
    {
        const QString missing = missingPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString dir = makeFolder(QStringLiteral("websocket"));
        QVERIFY(!dir.isEmpty());
        QProcess simulator;
        QProcess gateway;
        quint16 port = 0;
        quint16 lockedPort = 0;
        const quint16 sensorPort = freePort();
        QCOMPARE(run(dir, { "devices", "add", "--dev-eui", "70B3D5E75E00C001", "--template", "TH sensor", "--name",
                     "sensor", "--port", QString::number(sensorPort), "--start", "0" }),
            0);
        QVERIFY(startBlackBox(dir, simulator, gateway, {}, &port, &lockedPort));
        QCOMPARE(mbpollRead(port, START), 0);

        // Coil 100 is the pump; 101 is no coil, and the sensor's port has none at all.
        const QStringList answers = pymodbus(dir, port,
            R"([["reg", 140, 21], ["regs", 142, [65535, 65534]], ["regs", 144, [16812, 0]],
                ["coil", 100, true], ["rcoils", 100, 1], ["rcoils", 100, 2], ["rcoils", 101, 1],
                ["coil", 100, false], ["rcoils", 100, 1],
                ["rregs", 140, 1], ["rregs", 142, 2],
                ["reg", 142, 5], ["reg", 150, 1], ["regs", 140, [1, 2]], ["reg", 140, 256]])");
        QCOMPARE(answers,
            QStringList({ "ok", "ok", "ok", "ok", "coils 1", "exc 2", "exc 2", "ok", "coils 0", "regs 21",
                "regs 65535 65534", "exc 2", "exc 2", "exc 2", "exc 3" }));
        QCOMPARE(pymodbus(dir, sensorPort, R"([["rcoils", 0, 1], ["rcoils", 6, 8]])"),
            QStringList({ "exc 1", "exc 1" }));

        // Read device identification names the device of the port, or the gateway for a unit of none.
        QCOMPARE(pymodbus(dir, port, R"([["ident", 2, 1]])"),
            QStringList({ QStringLiteral("ident 0=Kelvara|1=Valve|2=%1|4=%2|5=%2").arg(KELVARA_VERSION, VALVE) }));
        QCOMPARE(pymodbus(dir, sensorPort, R"([["ident", 1, 9]])"),
            QStringList({ QStringLiteral("ident 0=Kelvara|1=TH sensor|2=%1").arg(KELVARA_VERSION) }));
        // Functions it does not serve get exception 01 at once, however short the frame.
        SRawClient raw;
        QVERIFY(raw.open(port));
        raw.send(hex("0101 0000 0002 01 07"));
        QCOMPARE(raw.answer(9).toHex(), QByteArray("010100000003018701"));
        raw.send(hex("0102 0000 0003 01 11 00"));
        QCOMPARE(raw.answer(9).toHex(), QByteArray("010200000003019101"));

        // mbpoll writes the big-endian 16-bit command with function 06.
        QProcess mbpoll;
        mbpoll.start(QStringLiteral("mbpoll"),
            { "-m", "tcp", "-p", QString::number(port), "-a", "1", "-0", "-r", "146", "-t", "4", "-1", "127.0.0.1",
                "4660" });
        QVERIFY(mbpoll.waitForFinished(10000));
        QCOMPARE(mbpoll.exitCode(), 0);
        QCOMPARE(mbpollRead(port, 146), 4660);

        // What the server received, in order: prefix and value bytes, port and confirmation of each command.
        const QStringList expected = {
            QStringLiteral("downlink devEui=%1 port=10 ack=false data=0a0115 accepted").arg(VALVE),
            QStringLiteral("downlink devEui=%1 port=11 ack=true data=0bfffffffe accepted").arg(VALVE),
            QStringLiteral("downlink devEui=%1 port=12 ack=false data=0000ac41 accepted").arg(VALVE),
            QStringLiteral("downlink devEui=%1 port=5 ack=false data=0201 accepted").arg(VALVE),
            QStringLiteral("downlink devEui=%1 port=5 ack=false data=0200 accepted").arg(VALVE),
            QStringLiteral("downlink devEui=%1 port=13 ack=false data=1234 accepted").arg(VALVE),
        };
        QStringList received;
        QByteArray output;
        QVERIFY(QTest::qWaitFor(
            [&] {
                output += simulator.readAllStandardOutput();
                received.clear();
                for (const QByteArray &line : output.split('\n')) {
                    if (line.startsWith("downlink "))
                        received << QString::fromUtf8(line);
                }
                return received.size() >= expected.size();
            },
            5000));
        QCOMPARE(received, expected);
        // The code register: 2, accepted by the server.
        QVERIFY(QTest::qWaitFor([&] { return mbpollRead(port, START) == 2; }, 5000));

        // The device with writes off keeps exception 01; it sent nothing.
        QCOMPARE(
            pymodbus(dir, lockedPort, R"([["reg", 140, 1], ["coil", 100, true]])"), QStringList({ "exc 1", "exc 1" }));

        stopProcess(gateway);
        const QByteArray log = gateway.readAllStandardError();
        QVERIFY2(
            log.contains(QStringLiteral("[CDownlinks] Write from [127.0.0.1:").toUtf8()), log.right(800).constData());
        QVERIFY2(log.contains(QStringLiteral("unit [1] on port [%1]: device [%2], command [Set-point], value [21]: "
                                             "accepted by the server")
                                  .arg(port)
                                  .arg(VALVE)
                                  .toUtf8()),
            log.right(800).constData());
        QVERIFY(log.contains("refused with exception [03]: device [" + VALVE.toUtf8()
            + "], command [Set-point], value [0x0100]: the value does not fit 8 bits of uinteger"));
        stopProcess(simulator);
    }

    // A server that refuses the downlink: the write was answered, the code turns to 3.
    void refusedDownlinkShowsFailed()
    {
        const QString missing = missingPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString dir = makeFolder(QStringLiteral("refused"));
        QVERIFY(!dir.isEmpty());
        QProcess simulator;
        QProcess gateway;
        quint16 port = 0;
        quint16 lockedPort = 0;
        QVERIFY(startBlackBox(dir, simulator, gateway, { "--downlinks", "refuse" }, &port, &lockedPort));
        QCOMPARE(pymodbus(dir, port, R"([["reg", 140, 7]])"), QStringList({ "ok" }));
        QVERIFY(QTest::qWaitFor([&] { return mbpollRead(port, START) == 3; }, 5000));
        stopProcess(gateway);
        const QByteArray log = gateway.readAllStandardError();
        QVERIFY2(log.contains("value [7]: refused by the server"), log.right(800).constData());
        stopProcess(simulator);
    }

    // A server that never answers, on a manual clock: queued downlinks, the busy limit, the
    // 10 s deadline and the codes 1, 3 and 2; before any connection, 04.
    void unansweredDownlinksAndTheBusyLimit()
    {
        QWebSocketServer server(QStringLiteral("quiet"), QWebSocketServer::NonSecureMode);
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        QList<QJsonObject> requests;
        QWebSocket *client = nullptr;
        connect(&server, &QWebSocketServer::newConnection, this, [&] {
            client = server.nextPendingConnection();
            connect(client, &QWebSocket::textMessageReceived, this, [&](const QString &_text) {
                const QJsonObject message = QJsonDocument::fromJson(_text.toUtf8()).object();
                const QString cmd = message.value(QStringLiteral("cmd")).toString();
                if (cmd == QStringLiteral("cmd"))
                    client->sendTextMessage(QStringLiteral(R"({"err_string":"unknown_cmd"})"));
                else if (cmd == QStringLiteral("auth_req"))
                    client->sendTextMessage(QStringLiteral(R"({"cmd":"auth_resp","status":true,"token":"t"})"));
                else
                    requests << message;
            });
        });

        const QString dir = makeFolder(QStringLiteral("quiet"));
        QVERIFY(!dir.isEmpty());
        CManualClock clock;
        SGatewayConfig config;
        config.workDir = dir;
        config.clock = &clock;
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        const quint16 port = freePort();
        DB::SDeviceRegMapDescription valve;
        valve.devEui = VALVE;
        valve.appEui = VALVE_APP_EUI;
        valve.name = QStringLiteral("valve");
        valve.startAddr = START;
        valve.registers = gateway.regMap(VALVE_APP_EUI).registers;
        valve.writable = true;
        QVERIFY(gateway.addDevice(valve, port).ok());

        SRawClient first;
        QVERIFY(first.open(port));
        // Set-point (register 140) := 1, function 06.
        const auto setPoint = [](int _transaction, int _value) {
            QByteArray frame = hex("0000 0000 0006 01 06 008c 0000");
            frame[1] = char(_transaction);
            frame[11] = char(_value);
            return frame;
        };
        const auto exception = [](int _transaction, int _code) {
            QByteArray frame = hex("0000 0000 0003 01 86 00");
            frame[1] = char(_transaction);
            frame[8] = char(_code);
            return frame;
        };
        first.send(setPoint(1, 1));
        QCOMPARE(first.answer(9).toHex(' '), exception(1, 4).toHex(' '));

        QSignalSpy statuses(&gateway, &CGateway::serverStatusChanged);
        SServerLogin login;
        login.host = QStringLiteral("127.0.0.1");
        login.port = QString::number(server.serverPort());
        login.login = LOGIN;
        login.password = PASSWORD;
        gateway.connectToServer(login, false);
        QVERIFY(QTest::qWaitFor([&] { return gateway.serverStatus() == COMM::eSuccess; }, 5000));

        // The first goes out and is answered; the next seven wait behind it in the queue.
        for (int i = 1; i <= 8; ++i)
            first.send(setPoint(i, i));
        QCOMPARE(first.answer(12).toHex(' '), setPoint(1, 1).toHex(' '));
        QTRY_COMPARE(requests.size(), 1);
        QCOMPARE(QJsonDocument(requests.first()).toJson(QJsonDocument::Compact),
            QStringLiteral(
                R"({"cmd":"send_data_req","data_list":[{"ack":false,"data":"0a0101","devEui":"%1","port":10}]})")
                .arg(VALVE)
                .toUtf8());
        QCOMPARE(gateway.registerWords(port, START, 1).value(START), uint16_t(1));

        // A ninth while eight are unconfirmed: busy, from another connection at once.
        SRawClient second;
        QVERIFY(second.open(port));
        second.send(setPoint(9, 9));
        QCOMPARE(second.answer(9).toHex(' '), exception(9, 6).toHex(' '));
        QVERIFY(first.socket.bytesAvailable() == 0);

        // No answer within 10 s: the first failed, the second goes out and its write is answered.
        clock.advance(9999);
        QCOMPARE(gateway.registerWords(port, START, 1).value(START), uint16_t(1));
        clock.advance(1);
        QCOMPARE(first.answer(12).toHex(' '), setPoint(2, 2).toHex(' '));
        QTRY_COMPARE(requests.size(), 2);
        QCOMPARE(gateway.registerWords(port, START, 1).value(START), uint16_t(3));
        // The set-point reads what was written last.
        QCOMPARE(gateway.registerWords(port, START + 40, 1).value(START + 40), uint16_t(2));

        // The server confirms the second: code 2, and the third goes out.
        client->sendTextMessage(QStringLiteral(R"({"cmd":"send_data_resp","status":true})"));
        QCOMPARE(first.answer(12).toHex(' '), setPoint(3, 3).toHex(' '));
        QCOMPARE(gateway.registerWords(port, START, 1).value(START), uint16_t(2));
    }

    // A client outside [modbus] write_allow gets 01 and a log line; nothing is sent. The list is
    // the README's, unquoted, as an operator writes it.
    void writeFromElsewhereIsRefused()
    {
        const QString dir = makeFolder(QStringLiteral("allow"));
        QVERIFY(!dir.isEmpty());
        const QString settings = QDir(dir).filePath(QStringLiteral("settings.conf"));
        QVERIFY(writeFile(settings, "[modbus]\nwrite_allow=10.0.0.5, 192.168.1.0/24\n"));
        SGatewayConfig config;
        config.workDir = dir;
        QString error;
        QVERIFY2(readGatewayConfig(QSettings(settings, CSettings::iniFormat()), &config, &error), qPrintable(error));
        QCOMPARE(config.writeAllow.size(), 2);
        CGateway gateway(config);
        QVERIFY2(gateway.start(&error), qPrintable(error));
        const quint16 port = freePort();
        DB::SDeviceRegMapDescription valve;
        valve.devEui = VALVE;
        valve.appEui = VALVE_APP_EUI;
        valve.startAddr = START;
        valve.registers = gateway.regMap(VALVE_APP_EUI).registers;
        valve.writable = true;
        QVERIFY(gateway.addDevice(valve, port).ok());
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        SRawClient client;
        QVERIFY(client.open(port));
        client.send(hex("0005 0000 0006 01 05 0064 ff00"));
        QCOMPARE(client.answer(9).toHex(' '), hex("0005 0000 0003 01 85 01").toHex(' '));
        bool logged = false;
        for (const QList<QVariant> &line : log)
            logged |= line.at(0).toString().contains(QStringLiteral("not in [modbus] write_allow"));
        QVERIFY(logged);
    }

    void writesReachTheBroker_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("ChirpStack") << int(EServerKind::eChirpStack);
        QTest::newRow("The Things Stack") << int(EServerKind::eTts);
    }

    // Over MQTT: 04 until the device is heard, then each write is published on the server's
    // command topic with the payload in base64, and the broker's acknowledgement makes the code 2.
    void writesReachTheBroker()
    {
        QFETCH(int, kind);
        const EServerKind serverKind = EServerKind(kind);
        const QString dir = makeFolder(QStringLiteral("mqtt%1").arg(kind));
        QVERIFY(!dir.isEmpty());
        TestBroker broker;
        QVERIFY2(broker.start(dir, { QStringLiteral("allow_anonymous true") }), qPrintable(broker.error));
        const QString subscriber = TestBroker::findProgram(QStringLiteral("mosquitto_sub"));
        const QString publisher = TestBroker::findProgram(QStringLiteral("mosquitto_pub"));
        QVERIFY2(!subscriber.isEmpty() && !publisher.isEmpty(), "install the Debian package mosquitto-clients");

        SGatewayConfig config;
        config.workDir = dir;
        config.serverKind = serverKind;
        config.mqtt.kind = serverKind;
        config.mqtt.host = QStringLiteral("127.0.0.1");
        config.mqtt.port = broker.port;
        config.mqtt.clientId = QStringLiteral("kelvara-downlinks-%1").arg(kind);
        config.mqtt.topic = MQTT::defaultTopic(serverKind);
        CGateway gateway(config);
        QString error;
        QVERIFY2(gateway.start(&error), qPrintable(error));
        const quint16 port = freePort();
        DB::SDeviceRegMapDescription valve;
        valve.devEui = VALVE;
        valve.appEui = VALVE_APP_EUI;
        valve.startAddr = START;
        valve.registers = gateway.regMap(VALVE_APP_EUI).registers;
        valve.writable = true;
        QVERIFY(gateway.addDevice(valve, port).ok());
        gateway.connectToSavedServer();
        QVERIFY(QTest::qWaitFor([&] { return gateway.serverStatus() == COMM::eSuccess; }, 5000));

        // Nothing heard from the device yet: its downlink address is unknown.
        SRawClient client;
        QVERIFY(client.open(port));
        const QByteArray limit = hex("0001 0000 000b 01 10 008e 0002 04 0000 0102");
        client.send(limit);
        QCOMPARE(client.answer(9).toHex(' '), hex("0001 0000 0003 01 90 04").toHex(' '));

        // The simulator's uplink makes it heard.
        QVERIFY(writeFile(QDir(dir).filePath(QStringLiteral("devices.json")),
            QStringLiteral(R"([{"devEui":"%1","devName":"valve","appEui":"%2","payload":"010000"}])")
                .arg(VALVE, VALVE_APP_EUI)
                .toUtf8()));
        QProcess simulator;
        simulator.start(simulatorProgram(),
            { "--mqtt", serverKind == EServerKind::eChirpStack ? "chirpstack" : "tts", "--broker-port",
                QString::number(broker.port), "--devices", QDir(dir).filePath(QStringLiteral("devices.json")), "--rate",
                "20", "--rate-time", "1", "--duration", "10" });
        QVERIFY(QTest::qWaitFor([&] { return !gateway.heard().device(VALVE).applicationId.isEmpty(); }, 10000));
        stopProcess(simulator);

        const QString topic = serverKind == EServerKind::eChirpStack
            ? QStringLiteral("application/+/device/+/command/down")
            : QStringLiteral("v3/+/devices/+/down/push");
        QProcess sub;
        sub.start(subscriber, { "-h", "127.0.0.1", "-p", QString::number(broker.port), "-v", "-t", topic });
        QVERIFY(sub.waitForStarted(5000));
        // Subscribed once a probe of our own comes back.
        const QString probeTopic = serverKind == EServerKind::eChirpStack
            ? QStringLiteral("application/probe/device/probe/command/down")
            : QStringLiteral("v3/probe/devices/probe/down/push");
        QByteArray received;
        QVERIFY(QTest::qWaitFor(
            [&] {
                QProcess::execute(publisher,
                    { "-h", "127.0.0.1", "-p", QString::number(broker.port), "-t", probeTopic, "-m", "probe" });
                received += sub.readAllStandardOutput();
                return received.contains("probe");
            },
            10000));
        received.clear();

        client.send(limit);
        QCOMPARE(client.answer(12).toHex(' '), hex("0001 0000 0006 01 10 008e 0002").toHex(' '));
        // Probes sent while waiting may still come in: the gateway's is the line without one.
        QByteArray line;
        QVERIFY(QTest::qWaitFor(
            [&] {
                received += sub.readAllStandardOutput();
                for (const QByteArray &candidate : received.split('\n')) {
                    if (!candidate.isEmpty() && !candidate.contains("probe") && received.endsWith('\n'))
                        line = candidate;
                }
                return !line.isEmpty();
            },
            5000));
        stopProcess(sub);
        const QByteArray published = line.left(line.indexOf(' '));
        const QJsonObject message = QJsonDocument::fromJson(line.mid(line.indexOf(' ') + 1)).object();
        const API::SHeardDevice heard = gateway.heard().device(VALVE);
        // Limit: prefix 0b, 258 as a big-endian int32, port 11, confirmed.
        const QByteArray payload = hex("0b 00000102");
        if (serverKind == EServerKind::eChirpStack) {
            QCOMPARE(published,
                QStringLiteral("application/%1/device/%2/command/down")
                    .arg(heard.applicationId, VALVE.toLower())
                    .toUtf8());
            QCOMPARE(message.value(QStringLiteral("devEui")).toString(), VALVE.toLower());
            QCOMPARE(message.value(QStringLiteral("fPort")).toInt(), 11);
            QCOMPARE(message.value(QStringLiteral("confirmed")).toBool(), true);
            QCOMPARE(QByteArray::fromBase64(message.value(QStringLiteral("data")).toString().toLatin1()).toHex(),
                payload.toHex());
        } else {
            QCOMPARE(published,
                QStringLiteral("v3/%1/devices/%2/down/push").arg(heard.applicationId, heard.deviceId).toUtf8());
            QVERIFY(heard.applicationId.contains(QLatin1Char('@')));
            const QJsonObject downlink = message.value(QStringLiteral("downlinks")).toArray().first().toObject();
            QCOMPARE(downlink.value(QStringLiteral("f_port")).toInt(), 11);
            QCOMPARE(downlink.value(QStringLiteral("priority")).toString(), QStringLiteral("NORMAL"));
            QCOMPARE(downlink.value(QStringLiteral("confirmed")).toBool(), true);
            QCOMPARE(
                QByteArray::fromBase64(downlink.value(QStringLiteral("frm_payload")).toString().toLatin1()).toHex(),
                payload.toHex());
        }
        QVERIFY(QTest::qWaitFor([&] { return gateway.registerWords(port, START, 1).value(START) == 2; }, 5000));
        QCOMPARE(gateway.registerWords(port, START + 42, 2),
            (QMap<uint16_t, uint16_t> { { START + 42, 0 }, { START + 43, 0x0102 } }));
    }
};

QTEST_GUILESS_MAIN(TestDownlinks)
#include "tst_downlinks.moc"
