#include "devices/ccodecrunner.h"

#include <QFile>
#include <QFileInfo>

CCodecRunner::CCodecRunner(int _maxWaiting, QObject *_parent)
    : QObject(_parent)
    , worker(new QObject())
    , maxWaiting(_maxWaiting)
{
    thread.setObjectName(QStringLiteral("codecs"));
    worker->moveToThread(&thread);
    thread.start();
}

CCodecRunner::~CCodecRunner()
{
    // The engines go on the thread that made them.
    onCodecThread([this] {
        loaded.clear();
        delete worker;
    });
    thread.quit();
    thread.wait();
}

void CCodecRunner::onCodecThread(const std::function<void()> &_work)
{
    if (QThread::currentThread() == &thread)
        _work();
    else
        QMetaObject::invokeMethod(worker, _work, Qt::BlockingQueuedConnection);
}

QString CCodecRunner::load(const QString &_path)
{
    QFile file(_path);
    if (!file.exists())
        return QStringLiteral("codec file [%1] does not exist").arg(_path);
    if (file.size() > MAX_CODEC_FILE_SIZE)
        return QStringLiteral("codec file [%1] of [%2] bytes is larger than [%3] bytes")
            .arg(_path)
            .arg(file.size())
            .arg(MAX_CODEC_FILE_SIZE);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("codec file [%1] cannot be read: %2").arg(_path, file.errorString());
    const QByteArray source = file.read(MAX_CODEC_FILE_SIZE + 1);
    if (source.size() > MAX_CODEC_FILE_SIZE)
        return QStringLiteral("codec file [%1] is larger than [%2] bytes").arg(_path).arg(MAX_CODEC_FILE_SIZE);
    QString error;
    onCodecThread([&] {
        std::shared_ptr<SLoaded> &entry = loaded[_path];
        if (entry && entry->source == source) {
            error = entry->error;
            return;
        }
        entry = std::make_shared<SLoaded>();
        entry->source = source;
        entry->engine = std::make_unique<CCodecEngine>(watchdog);
        entry->error = entry->engine->load(QFileInfo(_path).fileName(), QString::fromUtf8(source));
        error = entry->error;
    });
    return error;
}

CCodecEngine *CCodecRunner::engineOf(const QString &_path, QString *_error)
{
    const std::shared_ptr<SLoaded> entry = loaded.value(_path);
    if (!entry) {
        *_error = QStringLiteral("codec [%1] is not loaded").arg(_path);
        return nullptr;
    }
    if (!entry->error.isEmpty()) {
        *_error = entry->error;
        return nullptr;
    }
    return entry->engine.get();
}

bool CCodecRunner::canEncode(const QString &_path)
{
    bool can = false;
    onCodecThread([&] {
        QString error;
        CCodecEngine *engine = engineOf(_path, &error);
        can = engine && engine->canEncode();
    });
    return can;
}

SCodecResult CCodecRunner::decode(const QString &_path, int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs)
{
    SCodecResult result;
    onCodecThread([&] {
        CCodecEngine *engine = engineOf(_path, &result.error);
        if (engine)
            result = engine->decode(_fPort, _bytes, _recvTimeMs);
    });
    return result;
}

SEncodeResult CCodecRunner::encode(const QString &_path, const QJsonObject &_data, int _fPort)
{
    SEncodeResult result;
    onCodecThread([&] {
        CCodecEngine *engine = engineOf(_path, &result.error);
        if (engine)
            result = engine->encode(_data, _fPort);
    });
    return result;
}

void CCodecRunner::decodeLater(const QString &_path, int _fPort, const QByteArray &_bytes, qint64 _recvTimeMs,
    QObject *_context, std::function<void(const SCodecResult &)> _done)
{
    if (waiting.load() >= maxWaiting) {
        SCodecResult refused;
        refused.error = QStringLiteral("%1 uplinks already wait for the codecs").arg(maxWaiting);
        _done(refused);
        return;
    }
    ++waiting;
    QMetaObject::invokeMethod(
        worker,
        [this, _path, _fPort, _bytes, _recvTimeMs, _context, _done] {
            SCodecResult result;
            CCodecEngine *engine = engineOf(_path, &result.error);
            if (engine)
                result = engine->decode(_fPort, _bytes, _recvTimeMs);
            --waiting;
            // Dropped when the context is gone meanwhile.
            QMetaObject::invokeMethod(
                _context, [_done, result] { _done(result); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void CCodecRunner::waitForQueued()
{
    onCodecThread([] {});
}
