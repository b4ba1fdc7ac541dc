#pragma once

#include <QByteArray>
#include <QJSValue>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include <pthread.h>
#include <time.h>

class QJSEngine;

// A codec call running longer than this is interrupted, and its uplink or write refused.
constexpr int CODEC_CALL_LIMIT_MS = 50;

// What a codec made of one uplink: the decoded object, or why it was refused.
struct SCodecResult
{
    QString error; // empty when decoded
    QJsonObject data;
    QStringList warnings;

    bool ok() const { return error.isEmpty(); }
};

// What a codec's encoder made of one command value.
struct SEncodeResult
{
    QString error; // empty when encoded
    QByteArray bytes;
    int fPort = 0; // 0: the encoder named none
};

// Interrupts a codec call that runs past its limit from a thread of its own; the engine
// stays usable for the next call. One call at a time is watched. The limit counts the
// processor time the calling thread spent, so a machine busy with other work does not cut a
// codec short; a call that waits that long twenty times over is interrupted anyway.
class CCodecWatchdog
{
public:
    explicit CCodecWatchdog(int _limitMs = CODEC_CALL_LIMIT_MS);
    ~CCodecWatchdog();

    void arm(QJSEngine *_engine);
    // True when the call was interrupted.
    bool disarm();

private:
    void run();

    const int limitMs;
    std::mutex mutex;
    std::condition_variable wake;
    QJSEngine *engine = nullptr;
    std::chrono::steady_clock::time_point deadline;
    std::chrono::steady_clock::time_point armedAt;
    // The calling thread's processor-time clock, and its reading when the call was armed.
    clockid_t callerClock = CLOCK_THREAD_CPUTIME_ID;
    qint64 callerNsAtArm = 0;
    quint64 generation = 0;
    bool waiting = false; // the watchdog sleeps with nothing armed
    bool fired = false;
    bool stopping = false;
    std::thread thread;
};

// One codec file in a JavaScript engine of its own. The engine offers the codec its input
// and the language, nothing else: no files, network, timers or processes. Every call runs
// under the watchdog. Used on one thread only (the engine's rule).
class CCodecEngine
{
public:
    explicit CCodecEngine(CCodecWatchdog &_watchdog);
    ~CCodecEngine();

    // Runs the codec's text; the error when it does not run or has no decoder.
    QString load(const QString &_fileName, const QString &_source);
    bool canEncode() const;

    // decodeUplink(input) or, for ChirpStack v3 codecs, Decode(fPort, bytes, variables).
    SCodecResult decode(int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs);
    // encodeDownlink({data}) or ChirpStack v3's Encode(fPort, data, variables).
    SEncodeResult encode(const QJsonObject &_data, int _fPort);

private:
    // The call's result, or an error text with why it failed.
    QJSValue call(QJSValue _function, const QJSValueList &_arguments, QString *_error);
    // _work under the watchdog: a result that took too long is replaced by that error.
    template <typename Result, typename Work> Result watched(Work _work, bool *_interrupted = nullptr);
    SCodecResult decodeWatched(int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs);
    SEncodeResult encodeWatched(const QJsonObject &_data, int _fPort);

    CCodecWatchdog &watchdog;
    std::unique_ptr<QJSEngine> engine;
    QJSValue decodeUplink;
    QJSValue decodeV3;
    QJSValue encodeDownlink;
    QJSValue encodeV3;
};

// A JavaScript value as JSON: functions and undefined members are left out, numbers that
// are not finite become null, dates their ISO text. Deeper than 32 levels is cut off.
QJsonValue jsonOfScript(const QJSValue &_value);
