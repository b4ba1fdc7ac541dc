#include <QJsonArray>
#include <QJsonDocument>
#include <QJSEngine>
#include <QJsonObject>
#include <QtTest>

#include <chrono>
#include <thread>

#include "devices/ccodecrunner.h"
#include "devices/codecengine.h"
#include "devices/codecexamples.h"
#include "devices/decodedpath.h"
#include "devices/downlinkcommand.h"
#include "testworkdir.h"

namespace {

QJsonValue json(const char *_text)
{
    return QJsonDocument::fromJson(QByteArray("[") + _text + "]").array().first();
}

} // namespace

// The JavaScript codecs in the real engine: both codec styles, the input a codec gets, every
// refusal (the engine working on afterwards), encoders, paths into decoded objects and the
// examples a template loads only with.
class TestCodecs : public QObject
{
    Q_OBJECT

    CTestWorkDir dir;
    CCodecRunner runner;
    int files = 0;

    // The codec's path once written and loaded; the load error in *_error.
    QString codec(const QByteArray &_source, QString *_error = nullptr)
    {
        const QString path = dir.filePath(QStringLiteral("codec%1.js").arg(++files));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(_source) != _source.size())
            return QString();
        file.close();
        const QString error = runner.load(path);
        if (_error)
            *_error = error;
        return error.isEmpty() || _error ? path : QString();
    }

private slots:
    void initTestCase() { QVERIFY(dir.enter()); }

    void bothCodecStyles_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QJsonValue>("expected");
        // 0x00e2 = 226 tenths.
        QTest::newRow("decodeUplink (The Things Stack, ChirpStack v4)") << QByteArray(
            "function decodeUplink(input) {\n"
            "  return { data: { t: (input.bytes[0] << 8 | input.bytes[1]) / 10, port: input.fPort } };\n"
            "}") << json(R"({"t": 22.6, "port": 2})");
        QTest::newRow("Decode (ChirpStack v3)") << QByteArray(
            "function Decode(fPort, bytes, variables) {\n"
            "  return { t: (bytes[0] << 8 | bytes[1]) / 10, port: fPort, v: typeof variables };\n"
            "}") << json(R"({"t": 22.6, "port": 2, "v": "object"})");
        QTest::newRow("both: decodeUplink is taken")
            << QByteArray("function Decode() { return { from: 'Decode' }; }\n"
                          "function decodeUplink() { return { data: { from: 'decodeUplink' } }; }")
            << json(R"({"from": "decodeUplink"})");
        QTest::newRow("functions and undefined members are left out, NaN is null") << QByteArray(
            "function decodeUplink() { return { data: { f: function () {}, u: undefined, n: NaN,"
            " list: [1, 'a', true, null] } }; }") << json(R"({"n": null, "list": [1, "a", true, null]})");
    }
    void bothCodecStyles()
    {
        QFETCH(QByteArray, source);
        QFETCH(QJsonValue, expected);
        const QString path = codec(source);
        QVERIFY(!path.isEmpty());
        const SCodecResult result = runner.decode(path, 2, QByteArray::fromHex("00e2"), 0);
        QVERIFY2(result.ok(), qPrintable(result.error));
        QCOMPARE(QJsonValue(result.data), expected);
    }

    // The input object of the LoRa Alliance codec API, and nothing of the host.
    void theCodecSeesOnlyItsInput()
    {
        const QString path = codec(
            "function decodeUplink(input) {\n"
            "  var host = ['XMLHttpRequest', 'setTimeout', 'setInterval', 'require', 'process', 'Qt', 'print',\n"
            "              'fetch', 'importScripts', 'readFile', 'gc', 'qsTr', 'WebSocket'];\n"
            "  var present = host.filter(function (name) { return typeof this[name] !== 'undefined'; }, this);\n"
            "  return { data: { keys: Object.keys(input).sort().join(','), bytes: input.bytes,\n"
            "                   list: Array.isArray(input.bytes), port: input.fPort,\n"
            "                   recv: input.recvTime.toISOString(), variables: JSON.stringify(input.variables),\n"
            "                   host: present } };\n"
            "}");
        QVERIFY(!path.isEmpty());
        const SCodecResult result = runner.decode(path, 7, QByteArray::fromHex("00ff10"), 1700000000123);
        QVERIFY2(result.ok(), qPrintable(result.error));
        // 1700000000.123 s after 1970 is 2023-11-14 22:13:20.123 UTC.
        QCOMPARE(QJsonValue(result.data),
            json(R"({"keys": "bytes,fPort,recvTime,variables", "bytes": [0, 255, 16], "list": true, "port": 7,
                     "recv": "2023-11-14T22:13:20.123Z", "variables": "{}", "host": []})"));
    }

    // One engine per file, loaded once however many templates name it, and again when the file
    // changes; another file's engine shares nothing with it.
    void oneEnginePerCodecFile()
    {
        const QByteArray counting = "var n = 0; shared = 'set';\n"
                                    "function decodeUplink() { n += 1; return { data: { n: n } }; }";
        const QString path = codec(counting);
        QVERIFY(!path.isEmpty());
        QCOMPARE(runner.decode(path, 1, QByteArray(1, '\0'), 0).data.value("n").toInt(), 1);
        QCOMPARE(runner.load(path), QString()); // a second template naming it
        QCOMPARE(runner.decode(path, 1, QByteArray(1, '\0'), 0).data.value("n").toInt(), 2);
        const QString other = codec("function decodeUplink() { return { data: { seen: typeof shared } }; }");
        QCOMPARE(
            runner.decode(other, 1, QByteArray(1, '\0'), 0).data.value("seen").toString(), QStringLiteral("undefined"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(counting + "\n// changed\n") > 0);
        file.close();
        QCOMPARE(runner.load(path), QString());
        QCOMPARE(runner.decode(path, 1, QByteArray(1, '\0'), 0).data.value("n").toInt(), 1);
    }

    // Each refusal on fPort 2; fPort 1 decodes, so each row shows the engine working on afterwards.
    void refusals_data()
    {
        QTest::addColumn<QByteArray>("refusing");
        QTest::addColumn<QString>("error");
        QTest::newRow("throws") << QByteArray("throw new Error('bad frame');") << "the codec threw: Error: bad frame";
        QTest::newRow("errors") << QByteArray("return { errors: ['unknown fPort 2'], data: { a: 1 } };")
                                << "the codec's errors: unknown fPort 2";
        QTest::newRow("no data") << QByteArray("return { warnings: ['short'] };") << "the codec returned no data";
        QTest::newRow("data is no object") << QByteArray("return { data: 5 };") << "the codec returned no data";
        QTest::newRow("nothing returned") << QByteArray("return;") << "the codec returned no object";
        QTest::newRow("endless loop") << QByteArray("while (true) {}") << "the codec ran longer than 50 ms";
        QTest::newRow("a getter that never returns")
            << QByteArray("return { data: { get x() { for (;;) {} } } };") << "the codec ran longer than 50 ms";
        QTest::newRow("endless recursion")
            << QByteArray("return (function f() { return f() + 1; })();") << "the codec threw: RangeError";
    }
    void refusals()
    {
        QFETCH(QByteArray, refusing);
        QFETCH(QString, error);
        const QString path = codec("function decodeUplink(input) {\n"
                                   "  if (input.fPort === 1) return { data: { ok: input.bytes[0] } };\n"
            + refusing + "\n}");
        QVERIFY(!path.isEmpty());
        const SCodecResult refused = runner.decode(path, 2, QByteArray::fromHex("01"), 0);
        QVERIFY2(refused.error.startsWith(error), qPrintable(refused.error));
        const SCodecResult next = runner.decode(path, 1, QByteArray::fromHex("2a"), 0);
        QVERIFY2(next.ok(), qPrintable(next.error));
        QCOMPARE(QJsonValue(next.data), json(R"({"ok": 42})"));
    }

    // Uplinks queued for a busy codec thread are bounded: one more is refused at once, and those
    // queued are all answered, in order.
    // Waiting is not running: a call kept from the processor by other work, on a busy machine, is
    // not cut short; only the time it runs counts against its limit.
    void aCallKeptWaitingIsNotInterrupted()
    {
        QJSEngine engine;
        CCodecWatchdog watchdog(20);
        watchdog.arm(&engine);
        std::this_thread::sleep_for(std::chrono::milliseconds(70));
        QVERIFY(!watchdog.disarm());
        QVERIFY(!engine.isInterrupted());
    }

    void theQueueIsBounded()
    {
        CCodecRunner small(2);
        const QString path = dir.filePath(QStringLiteral("slow.js"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("function decodeUplink(input) { if (input.fPort === 7) for (;;) {}\n"
                           "  return { data: { b: input.bytes[0] } }; }")
            > 0);
        file.close();
        QCOMPARE(small.load(path), QString());
        QStringList answers;
        QObject context;
        const auto record = [&answers](const SCodecResult &_result) {
            answers << (_result.ok() ? QString::number(_result.data.value("b").toInt()) : _result.error);
        };
        // Five that each run 50 ms, given at once: beyond the two waiting, they are refused on the spot.
        for (int i = 0; i < 5; ++i)
            small.decodeLater(path, 7, QByteArray(1, char(i)), 0, &context, record);
        const int refused = answers.size();
        QVERIFY(refused >= 1);
        QVERIFY(answers.count(QStringLiteral("2 uplinks already wait for the codecs")) == refused);
        small.waitForQueued();
        QCoreApplication::sendPostedEvents(&context, QEvent::MetaCall);
        QCOMPARE(answers.size(), 5);
        QCOMPARE(answers.count(QStringLiteral("the codec ran longer than 50 ms")), 5 - refused);
        // Once they are done the queue takes uplinks again.
        small.decodeLater(path, 1, QByteArray(1, '\x2a'), 0, &context, record);
        small.waitForQueued();
        QCoreApplication::sendPostedEvents(&context, QEvent::MetaCall);
        QCOMPARE(answers.last(), QStringLiteral("42"));
    }

    void loadRefusals_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QString>("error");
        QTest::newRow("syntax error") << QByteArray("function decodeUplink(input) { return {")
                                      << "the codec does not run";
        QTest::newRow("no decoder") << QByteArray("function encodeDownlink() {}")
                                    << "the codec has neither decodeUplink(input) nor Decode";
        QTest::newRow("endless loop when loaded")
            << QByteArray("for (;;) {}") << "the codec ran longer than 50 ms when loaded";
        QTest::newRow("over 1 MiB") << QByteArray("//").append(QByteArray(1024 * 1024, 'x'))
                                    << "is larger than [1048576] bytes";
    }
    void loadRefusals()
    {
        QFETCH(QByteArray, source);
        QFETCH(QString, error);
        QString loadError;
        const QString path = codec(source, &loadError);
        QVERIFY2(loadError.contains(error), qPrintable(loadError));
        QVERIFY(!runner.decode(path, 1, QByteArray(1, '\0'), 0).ok());
    }

    void encoders_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<QJsonValue>("data");
        QTest::addColumn<QString>("bytes");
        QTest::addColumn<int>("fPort");
        QTest::addColumn<QString>("error");
        const QString room = QStringLiteral(KELVARA_SOURCE_DIR "/examples/room-sensor.js");
        // 15 minutes: 0x10 then 0x000f; the LED: 0x20 then 1.
        QTest::newRow("interval") << room << json(R"({"interval": 15})") << "10000f" << 10 << "";
        QTest::newRow("LED on") << room << json(R"({"led": true})") << "2001" << 10 << "";
        QTest::newRow("encoder's error") << room << json(R"({"interval": 5000})") << "" << 0
                                         << "the encoder's errors: interval must be 1-1440 minutes";
        QTest::newRow("ChirpStack v3 Encode, the command's port") << "v3" << json(R"({"x": 300})") << "012c" << 0 << "";
        QTest::newRow("a byte beyond 255")
            << "bad" << json(R"({"x": 300})") << "" << 0 << "the encoder's byte 1 [300] is not 0-255";
    }
    void encoders()
    {
        QFETCH(QString, file);
        QFETCH(QJsonValue, data);
        QFETCH(QString, bytes);
        QFETCH(int, fPort);
        QFETCH(QString, error);
        QString path = file;
        if (file == QLatin1String("v3"))
            path = codec("function Decode() { return {}; }\n"
                         "function Encode(fPort, obj) { return [obj.x >> 8, obj.x & 255]; }");
        else if (file == QLatin1String("bad"))
            path = codec("function decodeUplink() { return { data: {} }; }\n"
                         "function encodeDownlink(input) { return { bytes: [1, input.data.x], fPort: 3 }; }");
        else
            QCOMPARE(runner.load(path), QString());
        QVERIFY(runner.canEncode(path));
        const SEncodeResult encoded = runner.encode(path, data.toObject(), 33);
        QCOMPARE(encoded.error, error);
        QCOMPARE(QString::fromLatin1(encoded.bytes.toHex()), bytes);
        QCOMPARE(encoded.fPort, fPort);
    }

    // What a register write hands an encoder: the number of its words in the device's word order.
    void encodedCommandNumbers_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QVector<uint16_t>>("words");
        QTest::addColumn<bool>("little");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<double>("number");
        const QByteArray gain = R"({"data_name": "Gain", "encode": "gain", "reg_map_bias": 0, "reg_bit_size": 32,
                                    "data_type": "float", "data_bit_size": 32})";
        // 12.5 as a single is 0x41480000.
        QTest::newRow("float, big word order") << gain << QVector<uint16_t> { 0x4148, 0x0000 } << false << true << 12.5;
        QTest::newRow("float, little word order")
            << gain << QVector<uint16_t> { 0x0000, 0x4148 } << true << true << 12.5;
        const QByteArray level = R"({"data_name": "Level", "encode": "level", "reg_map_bias": 0, "reg_bit_size": 16,
                                     "data_type": "integer", "data_bit_size": 16})";
        QTest::newRow("signed") << level << QVector<uint16_t> { 0xfffe } << false << true << -2.0;
        const QByteArray small = R"({"data_name": "Small", "encode": "small", "reg_map_bias": 0, "reg_bit_size": 16,
                                     "data_type": "uinteger", "data_bit_size": 8})";
        QTest::newRow("too big for 8 bits") << small << QVector<uint16_t> { 256 } << false << false << 0.0;
    }
    void encodedCommandNumbers()
    {
        QFETCH(QByteArray, command);
        QFETCH(QVector<uint16_t>, words);
        QFETCH(bool, little);
        QFETCH(bool, fits);
        QFETCH(double, number);
        QList<SCommandProblem> problems;
        const SDownlinkCommand read = readDownlinkCommand(QJsonDocument::fromJson(command).object(), 0, problems);
        QVERIFY(problems.isEmpty());
        QCOMPARE(read.fPort, 0);
        double value = 0;
        QCOMPARE(commandNumber(read, words, little ? EWordOrder::Little : EWordOrder::Big, &value).fits, fits);
        QCOMPARE(value, number);
    }

    void paths_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QJsonValue>("object");
        QTest::addColumn<QJsonValue>("value");
        // Raw strings with an escaped quote confuse moc: this one is spelled out.
        const QJsonValue room
            = json("{\"temperature\": 22.6, \"sensors\": [{\"value\": 12}, {\"value\": 415}],"
                   " \"a.b\": {\"c\": \"dotted\"}, \"m\": [[1, 2], [3, 4]], \"say \\\"hi\\\"\": true}");
        QTest::newRow("a key") << "temperature" << room << QJsonValue(22.6);
        QTest::newRow("index then key") << "sensors[1].value" << room << QJsonValue(415);
        QTest::newRow("a quoted key with a dot") << R"(["a.b"].c)" << room << QJsonValue("dotted");
        QTest::newRow("two indices") << "m[1][0]" << room << QJsonValue(3);
        QTest::newRow("a quote in a quoted key") << "[\"say \\\"hi\\\"\"]" << room << QJsonValue(true);
        QTest::newRow("index past the end") << "sensors[2].value" << room << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("key of a list") << "sensors.value" << room << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("index of a number") << "temperature[0]" << room << QJsonValue(QJsonValue::Undefined);
        QTest::newRow("dotted key unquoted") << "a.b.c" << room << QJsonValue(QJsonValue::Undefined);
    }
    void paths()
    {
        QFETCH(QString, path);
        QFETCH(QJsonValue, object);
        QFETCH(QJsonValue, value);
        QString error;
        const QList<SPathStep> steps = parseDecodedPath(path, &error);
        QVERIFY2(!steps.isEmpty(), qPrintable(error));
        QCOMPARE(valueAtPath(object, steps), value);
        QCOMPARE(pathText(steps), path);
    }

    void badPaths_data()
    {
        QTest::addColumn<QString>("path");
        for (const char *bad : { "", ".a", "a.", "a..b", "a[", "a[x]", "a[1", "a]", "[\"a", "[\"a\"", "a[1]b", "a[-1]",
                 "a[99999999]", "\"a\"" })
            QTest::newRow(bad) << QString::fromLatin1(bad);
    }
    void badPaths()
    {
        QFETCH(QString, path);
        QString error;
        QVERIFY(parseDecodedPath(path, &error).isEmpty());
        QVERIFY(!error.isEmpty());
    }

    void differences_data()
    {
        QTest::addColumn<QJsonValue>("expected");
        QTest::addColumn<QJsonValue>("decoded");
        QTest::addColumn<QString>("difference");
        QTest::newRow("within 1e-6 of its size") << json(R"({"t": 22.6})") << json(R"({"t": 22.600002})") << "";
        QTest::newRow("beyond 1e-6") << json(R"({"t": 22.6})") << json(R"({"t": 22.6001})")
                                     << "t: expected 22.6, decoded 22.6001";
        QTest::newRow("deep in a list") << json(R"({"s": [{"v": 1}, {"v": 2}]})")
                                        << json(R"({"s": [{"v": 1}, {"v": 3}]})") << "s[1].v: expected 2, decoded 3";
        QTest::newRow("missing") << json(R"({"a": 1, "b": 2})") << json(R"({"a": 1})")
                                 << "b: expected 2, decoded nothing";
        QTest::newRow("not expected") << json(R"({"a": 1})") << json(R"({"a": 1, "z": "x"})")
                                      << "z: not expected, decoded \"x\"";
        QTest::newRow("text for a number")
            << json(R"({"door": "open"})") << json(R"({"door": 1})") << "door: expected \"open\", decoded 1";
        QTest::newRow("longer list") << json(R"({"s": [1]})") << json(R"({"s": [1, 2]})")
                                     << "s[1]: not expected, decoded 2";
    }
    void differences()
    {
        QFETCH(QJsonValue, expected);
        QFETCH(QJsonValue, decoded);
        QFETCH(QString, difference);
        QCOMPARE(firstDifference(expected, decoded, QString()), difference);
    }

    void yamlExamples_data()
    {
        QTest::addColumn<QByteArray>("yaml");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("error");
        QTest::newRow("device repository layout, hex bytes") << QByteArray(
            "uplinkDecoder:\n  fileName: w.js\n  examples:\n"
            "    - description: 32 knots\n      input:\n        fPort: 1\n        bytes: [0x00, 32]\n"
            "      output:\n        data:\n          direction: 'N'\n          speed: 32\n"
            "    - input:\n        fPort: 42\n        bytes: [1]\n      output:\n        errors:\n"
            "          - unknown FPort\n") << 2 << "";
        QTest::newRow("no examples") << QByteArray("uplinkDecoder:\n  fileName: w.js\n") << 0 << "";
        QTest::newRow("not YAML") << QByteArray("uplinkDecoder: [\n") << 0 << "not YAML";
        QTest::newRow("no uplinkDecoder")
            << QByteArray("downlinkEncoder:\n  fileName: w.js\n") << 0 << "no uplinkDecoder in it";
        QTest::newRow("a byte beyond 255") << QByteArray(
            "uplinkDecoder:\n  examples:\n    - input: {fPort: 1, bytes: [256]}\n      output: {data: {}}\n")
                                           << 0 << "example [0]: input.bytes is not a list of bytes";
        QTest::newRow("neither data nor errors")
            << QByteArray("uplinkDecoder:\n  examples:\n    - input: {fPort: 1, bytes: [1]}\n      output: {}\n") << 0
            << "example [0]: output has neither data nor errors";
    }
    void yamlExamples()
    {
        QFETCH(QByteArray, yaml);
        QFETCH(int, count);
        QFETCH(QString, error);
        QList<SCodecExample> examples;
        QString problem;
        QCOMPARE(readCodecExamplesYaml(yaml, &examples, &problem), error.isEmpty());
        QVERIFY2(error.isEmpty() ? problem.isEmpty() : problem.startsWith(error), qPrintable(problem));
        QCOMPARE(examples.size(), count);
        if (count == 2) {
            QCOMPARE(examples.at(0).name, QStringLiteral("example [0] \"32 knots\""));
            QCOMPARE(examples.at(0).bytes.toHex(), QByteArray("0020"));
            // A quoted 'N' stays a text; 32 is a number.
            QCOMPARE(examples.at(0).data, json(R"({"direction": "N", "speed": 32})"));
            QVERIFY(examples.at(1).expectErrors);
            QCOMPARE(examples.at(1).fPort, 42);
        }
    }
};

QTEST_GUILESS_MAIN(TestCodecs)
#include "tst_codecs.moc"
