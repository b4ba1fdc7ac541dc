#include "devices/codecengine.h"

#include <QDateTime>
#include <QJSEngine>
#include <QJSValueIterator>
#include <QJsonArray>

#include <cmath>

namespace {

// A call kept waiting by other work is interrupted once it has waited this many times its limit.
constexpr int MAX_WAIT_FACTOR = 20;

qint64 nanosecondsOf(clockid_t _clock)
{
    timespec now {};
    clock_gettime(_clock, &now);
    return qint64(now.tv_sec) * 1000 * 1000 * 1000 + now.tv_nsec;
}

} // namespace

namespace {

const int MAX_DEPTH = 32;
// A decoded object larger than this is no device's: the rest of a runaway list is left out.
const int MAX_ELEMENTS = 10000;

// What a codec may print through: nothing is kept, but codecs that log keep working.
const char CONSOLE_STUB[] = "var console = { log: function () {}, info: function () {}, warn: function () {},"
                            " error: function () {}, debug: function () {} };";

QJsonValue jsonOf(const QJSValue &_value, int _depth, int &_elements)
{
    if (++_elements > MAX_ELEMENTS || _depth > MAX_DEPTH)
        return QJsonValue(QJsonValue::Null);
    if (_value.isBool())
        return _value.toBool();
    if (_value.isNumber()) {
        const double number = _value.toNumber();
        return std::isfinite(number) ? QJsonValue(number) : QJsonValue(QJsonValue::Null);
    }
    if (_value.isString())
        return _value.toString();
    if (_value.isDate())
        return _value.toDateTime().toUTC().toString(Qt::ISODateWithMs);
    if (_value.isArray()) {
        QJsonArray list;
        const int length = _value.property(QStringLiteral("length")).toInt();
        for (int i = 0; i < length && _elements <= MAX_ELEMENTS; ++i)
            list.append(jsonOf(_value.property(quint32(i)), _depth + 1, _elements));
        return list;
    }
    if (_value.isObject() && !_value.isCallable()) {
        QJsonObject object;
        QJSValueIterator it(_value);
        while (it.hasNext() && _elements <= MAX_ELEMENTS) {
            it.next();
            const QJSValue member = it.value();
            if (member.isUndefined() || member.isCallable())
                continue;
            object.insert(it.name(), jsonOf(member, _depth + 1, _elements));
        }
        return object;
    }
    return QJsonValue(QJsonValue::Null);
}

// The texts of a codec's errors or warnings list: a list of texts, or one text.
QStringList textsOf(const QJSValue &_value)
{
    QStringList texts;
    if (_value.isUndefined() || _value.isNull())
        return texts;
    if (_value.isArray()) {
        const int length = _value.property(QStringLiteral("length")).toInt();
        for (int i = 0; i < length && i < 100; ++i)
            texts << _value.property(quint32(i)).toString();
        return texts;
    }
    texts << _value.toString();
    return texts;
}

} // namespace

QJsonValue jsonOfScript(const QJSValue &_value)
{
    int elements = 0;
    return jsonOf(_value, 0, elements);
}

CCodecWatchdog::CCodecWatchdog(int _limitMs)
    : limitMs(_limitMs)
    , thread([this] { run(); })
{ }

CCodecWatchdog::~CCodecWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_one();
    thread.join();
}

void CCodecWatchdog::arm(QJSEngine *_engine)
{
    bool wakeUp = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        engine = _engine;
        armedAt = std::chrono::steady_clock::now();
        deadline = armedAt + std::chrono::milliseconds(limitMs);
        if (pthread_getcpuclockid(pthread_self(), &callerClock) != 0)
            callerClock = CLOCK_MONOTONIC;
        callerNsAtArm = nanosecondsOf(callerClock);
        ++generation;
        fired = false;
        wakeUp = waiting;
    }
    // A watchdog still sleeping towards an earlier deadline finds this call when it wakes.
    if (wakeUp)
        wake.notify_one();
}

bool CCodecWatchdog::disarm()
{
    std::lock_guard<std::mutex> lock(mutex);
    engine = nullptr;
    return fired;
}

void CCodecWatchdog::run()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        if (!engine) {
            waiting = true;
            wake.wait(lock);
            waiting = false;
            continue;
        }
        const quint64 watched = generation;
        const auto until = deadline;
        wake.wait_until(lock, until, [&] { return stopping || generation != watched; });
        const auto now = std::chrono::steady_clock::now();
        if (engine && generation == watched && now >= until) {
            const qint64 usedNs = nanosecondsOf(callerClock) - callerNsAtArm;
            const qint64 limitNs = qint64(limitMs) * 1000 * 1000;
            if (usedNs < limitNs && now - armedAt < std::chrono::milliseconds(limitMs * MAX_WAIT_FACTOR)) {
                // Kept waiting by other work: the call may go on until it has run its time.
                deadline = now + std::chrono::nanoseconds(limitNs - usedNs);
                continue;
            }
            engine->setInterrupted(true);
            fired = true;
            engine = nullptr;
        }
    }
}

CCodecEngine::CCodecEngine(CCodecWatchdog &_watchdog)
    : watchdog(_watchdog)
    , engine(std::make_unique<QJSEngine>())
{ }

CCodecEngine::~CCodecEngine() = default;

QJSValue CCodecEngine::call(QJSValue _function, const QJSValueList &_arguments, QString *_error)
{
    const QJSValue result = _function.call(_arguments);
    if (result.isError())
        *_error = QStringLiteral("the codec threw: %1").arg(result.toString());
    return result;
}

template <typename Result, typename Work> Result CCodecEngine::watched(Work _work, bool *_interrupted)
{
    // Reading the result runs the codec's code as well (getters, toString): all under the limit.
    engine->setInterrupted(false);
    watchdog.arm(engine.get());
    Result result = _work();
    const bool interrupted = watchdog.disarm();
    engine->setInterrupted(false);
    if (_interrupted)
        *_interrupted = interrupted;
    if (interrupted) {
        result = Result();
        result.error = QStringLiteral("the codec ran longer than %1 ms").arg(CODEC_CALL_LIMIT_MS);
    }
    return result;
}

QString CCodecEngine::load(const QString &_fileName, const QString &_source)
{
    engine->evaluate(QString::fromLatin1(CONSOLE_STUB));
    // The file's own statements run once, under the same limit as every call.
    struct SLoadOutcome
    {
        QString error;
    };
    bool interrupted = false;
    const SLoadOutcome loaded = watched<SLoadOutcome>(
        [&] {
            SLoadOutcome outcome;
            const QJSValue value = engine->evaluate(_source, _fileName, 1);
            if (value.isError()) {
                outcome.error = QStringLiteral("the codec does not run: %1 (line %2)")
                                    .arg(value.toString())
                                    .arg(value.property(QStringLiteral("lineNumber")).toInt());
                return outcome;
            }
            const QJSValue global = engine->globalObject();
            decodeUplink = global.property(QStringLiteral("decodeUplink"));
            decodeV3 = global.property(QStringLiteral("Decode"));
            encodeDownlink = global.property(QStringLiteral("encodeDownlink"));
            encodeV3 = global.property(QStringLiteral("Encode"));
            return outcome;
        },
        &interrupted);
    if (!loaded.error.isEmpty())
        return interrupted ? loaded.error + QStringLiteral(" when loaded") : loaded.error;
    if (!decodeUplink.isCallable() && !decodeV3.isCallable())
        return QStringLiteral("the codec has neither decodeUplink(input) nor Decode(fPort, bytes, variables)");
    return QString();
}

bool CCodecEngine::canEncode() const
{
    return encodeDownlink.isCallable() || encodeV3.isCallable();
}

SCodecResult CCodecEngine::decode(int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs)
{
    return watched<SCodecResult>([&] { return decodeWatched(_fPort, _bytes, _recvTimeMs); });
}

SEncodeResult CCodecEngine::encode(const QJsonObject &_data, int _fPort)
{
    return watched<SEncodeResult>([&] { return encodeWatched(_data, _fPort); });
}

SCodecResult CCodecEngine::decodeWatched(int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs)
{
    SCodecResult result;
    // The one place a codec's input is built.
    QJSValue bytes = engine->newArray(uint(_bytes.size()));
    for (int i = 0; i < _bytes.size(); ++i)
        bytes.setProperty(quint32(i), int(uchar(_bytes.at(i))));
    const QJSValue variables = engine->newObject();
    if (!decodeUplink.isCallable()) {
        const QJSValue data = call(decodeV3, { QJSValue(_fPort), bytes, variables }, &result.error);
        if (!result.ok())
            return result;
        if (!data.isObject() || data.isArray() || data.isCallable()) {
            result.error = QStringLiteral("the codec returned no object");
            return result;
        }
        result.data = jsonOfScript(data).toObject();
        return result;
    }
    QJSValue input = engine->newObject();
    input.setProperty(QStringLiteral("bytes"), bytes);
    input.setProperty(QStringLiteral("fPort"), _fPort);
    input.setProperty(
        QStringLiteral("recvTime"), engine->toScriptValue(QDateTime::fromMSecsSinceEpoch(_recvTimeMs, Qt::UTC)));
    input.setProperty(QStringLiteral("variables"), variables);
    const QJSValue output = call(decodeUplink, { input }, &result.error);
    if (!result.ok())
        return result;
    if (!output.isObject()) {
        result.error = QStringLiteral("the codec returned no object");
        return result;
    }
    const QStringList errors = textsOf(output.property(QStringLiteral("errors")));
    result.warnings = textsOf(output.property(QStringLiteral("warnings")));
    if (!errors.isEmpty()) {
        result.error = QStringLiteral("the codec's errors: %1").arg(errors.join(QStringLiteral("; ")));
        return result;
    }
    const QJSValue data = output.property(QStringLiteral("data"));
    if (!data.isObject() || data.isArray() || data.isCallable()) {
        result.error = QStringLiteral("the codec returned no data");
        return result;
    }
    result.data = jsonOfScript(data).toObject();
    return result;
}

SEncodeResult CCodecEngine::encodeWatched(const QJsonObject &_data, int _fPort)
{
    SEncodeResult result;
    const QJSValue data = engine->toScriptValue(_data.toVariantMap());
    QJSValue bytes;
    if (encodeDownlink.isCallable()) {
        QJSValue input = engine->newObject();
        input.setProperty(QStringLiteral("data"), data);
        const QJSValue output = call(encodeDownlink, { input }, &result.error);
        if (!result.error.isEmpty())
            return result;
        if (!output.isObject()) {
            result.error = QStringLiteral("the encoder returned no object");
            return result;
        }
        const QStringList errors = textsOf(output.property(QStringLiteral("errors")));
        if (!errors.isEmpty()) {
            result.error = QStringLiteral("the encoder's errors: %1").arg(errors.join(QStringLiteral("; ")));
            return result;
        }
        bytes = output.property(QStringLiteral("bytes"));
        const QJSValue port = output.property(QStringLiteral("fPort"));
        if (!port.isUndefined() && !port.isNull()) {
            const double number = port.toNumber();
            if (!(number >= 1 && number <= 223) || std::floor(number) != number) {
                result.error = QStringLiteral("the encoder's fPort [%1] is not 1-223").arg(port.toString());
                return result;
            }
            result.fPort = int(number);
        }
    } else if (encodeV3.isCallable()) {
        bytes = call(encodeV3, { QJSValue(_fPort), data, engine->newObject() }, &result.error);
        if (!result.error.isEmpty())
            return result;
    } else {
        result.error = QStringLiteral("the codec has no encodeDownlink");
        return result;
    }
    const int length = bytes.property(QStringLiteral("length")).toInt();
    if (!bytes.isObject() || length <= 0 || length > 242) {
        SEncodeResult refused;
        refused.error = QStringLiteral("the encoder returned no bytes of 1-242");
        return refused;
    }
    QByteArray payload;
    for (int i = 0; i < length; ++i) {
        const double value = bytes.property(quint32(i)).toNumber();
        if (!(value >= 0 && value <= 255) || std::floor(value) != value) {
            SEncodeResult refused;
            refused.error = QStringLiteral("the encoder's byte %1 [%2] is not 0-255")
                                .arg(i)
                                .arg(bytes.property(quint32(i)).toString());
            return refused;
        }
        payload.append(char(int(value)));
    }
    result.bytes = payload;
    return result;
}
