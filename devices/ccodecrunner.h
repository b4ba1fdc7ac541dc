#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>

#include "devices/codecengine.h"

// Codec files larger than this are refused, as oversized templates are.
constexpr qint64 MAX_CODEC_FILE_SIZE = 1024 * 1024;

// The JavaScript codecs of the templates: one engine per codec file, loaded once for every
// template naming it, all on the codec thread (never the Modbus or store threads), each
// call under the watchdog's time limit. Blocking calls wait for the codec thread; decodeLater
// hands the result back on the thread of its context object.
class CCodecRunner : public QObject
{
    Q_OBJECT

public:
    // Uplinks waiting for the codec thread beyond this are refused at once.
    static constexpr int MAX_WAITING = 10000;

    explicit CCodecRunner(int _maxWaiting = MAX_WAITING, QObject *_parent = nullptr);
    ~CCodecRunner() override;

    // Reads and runs the codec file (again when its text changed); the error, or empty.
    QString load(const QString &_path);
    bool canEncode(const QString &_path);

    SCodecResult decode(const QString &_path, int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs);
    SEncodeResult encode(const QString &_path, const QJsonObject &_data, int _fPort);
    // _done runs on _context's thread. _context must not go before waitForQueued has returned; a result
    // posted to it after that is dropped with it.
    void decodeLater(const QString &_path, int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs, QObject *_context,
        std::function<void(const SCodecResult &)> _done);
    // Returns once every decodeLater asked for so far has run on the codec thread.
    void waitForQueued();

private:
    struct SLoaded
    {
        QByteArray source;
        QString error;
        std::unique_ptr<CCodecEngine> engine;
    };

    // Runs _work on the codec thread and returns once it is done.
    void onCodecThread(const std::function<void()> &_work);
    // The engine of a loaded file; codec thread only.
    CCodecEngine *engineOf(const QString &_path, QString *_error);

    QThread thread;
    QObject *worker = nullptr; // lives on the codec thread
    CCodecWatchdog watchdog;
    // Touched on the codec thread only.
    QHash<QString, std::shared_ptr<SLoaded>> loaded;
    const int maxWaiting;
    std::atomic<int> waiting { 0 };
};
