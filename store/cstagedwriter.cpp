#include "store/cstagedwriter.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMutexLocker>

#include <algorithm>

#include "app/logsink.h"
#include "app/threadpriority.h"
#include "store/cgatewaycounters.h"
#include "store/chistorystore.h"
#include "store/cregisterimage.h"
#include "store/storesql.h"

namespace {

// After each write the writer rests this many times as long as the write took, at most
// MAX_WRITER_REST_NS.
const qint64 WRITER_REST_FACTOR = 3;
const qint64 MAX_WRITER_REST_NS = 500 * 1000 * 1000;
// Register words a write puts into the image before it lets a poll in.
const int PUBLISH_SLICE = 256;

const QString SAVE_ORIGIN = QStringLiteral("[CDataBaseHandler::saveRegisterData]");

} // namespace

CStagedWriter::CStagedWriter(CStagedWriteTarget &_target, CRegisterImage &_image, QMutex &_imageMutex,
                             const QString &_fileName, CClock *_clock, CLogSink *_log)
    : target(_target)
    , image(_image)
    , imageMutex(_imageMutex)
    , fileName(_fileName)
    , clock(_clock)
    , log(_log)
{
}

CStagedWriter::~CStagedWriter()
{
    stop();
}

void CStagedWriter::setClock(CClock *_clock)
{
    QMutexLocker stageLocker(&stageMutex);
    clock = _clock;
}

quint64 CStagedWriter::stage(const QList<SDeviceRegData> &_batch)
{
    const qint64 timeMs = QDateTime::currentMSecsSinceEpoch();
    // Before the image's lock: copying a batch's values keeps no poll waiting.
    if (CHistoryStore *values = history)
        values->stage(_batch);
    QMutexLocker imageLocker(&imageMutex);
    QMutexLocker stageLocker(&stageMutex);
    bool any = false;
    for (const SDeviceRegData &data : _batch) {
        if (data.registers.isEmpty()) {
            log->addLine(QStringLiteral("INFO: %1 Empty input data").arg(SAVE_ORIGIN));
            continue;
        }
        uint32_t deviceId = 0;
        if (!image.findDevice(data.devEui, &deviceId) || deviceId == 0) {
            log->addLine(QStringLiteral("ERROR: %1 Uncknown DevEUI [%2]").arg(SAVE_ORIGIN, data.devEui));
            continue;
        }
        bool uplinkStaged = false;
        // Only registers that have a row take a value.
        for (const SRegisterValue &reg : data.registers) {
            const qint64 regAddr = qint64(data.startAddr) + reg.regOffset;
            if (!image.hasRegister(deviceId, regAddr))
                continue;
            staged.insert({ deviceId, regAddr },
                          SStagedRegister { deviceId, regAddr, StoreSql::textOrEmpty(reg.value), reg.fullValue,
                                            reg.word, timeMs });
            uplinkStaged = true;
        }
        stagedUplinks += uplinkStaged ? 1 : 0;
        any = any || uplinkStaged;
    }
    if (!any)
        return 0;
    // A resting writer takes it when its rest is over: waking it for each batch would only
    // send it back to sleep.
    if (idle)
        stagedMore.wakeOne();
    return ++stagedTicket;
}

void CStagedWriter::stageCounters(uint32_t _deviceId, const SDeviceCounters &_counters)
{
    QMutexLocker stageLocker(&stageMutex);
    stagedCounters.insert(_deviceId, _counters);
}

bool CStagedWriter::waitForWrite(quint64 _ticket)
{
    QMutexLocker stageLocker(&stageMutex);
    ++waiters;
    stagedMore.wakeOne();
    while (writtenTicket < _ticket && writer.joinable())
        writeOver.wait(&stageMutex);
    --waiters;
    return savedTicket >= _ticket;
}

void CStagedWriter::forgetDevice(uint32_t _deviceId, uint16_t _port)
{
    QMutexLocker stageLocker(&stageMutex);
    stagedCounters.remove(_deviceId);
    for (auto it = staged.begin(); it != staged.end();) {
        if (it->deviceId == _deviceId) {
            it = staged.erase(it);
            continue;
        }
        if (image.devicePort(it->deviceId) == _port)
            image.setDeviceWord(it->deviceId, it->regAddr, it->word);
        ++it;
    }
}

void CStagedWriter::start()
{
    stopping = false;
    writer = std::thread(&CStagedWriter::writeStaged, this);
}

void CStagedWriter::stop()
{
    if (!writer.joinable())
        return;
    {
        QMutexLocker stageLocker(&stageMutex);
        stopping = true;
        stagedMore.wakeOne();
    }
    writer.join();
}

void CStagedWriter::writeStaged()
{
    // A commit takes long; its wake-up need not cut into a Modbus answer's turn.
    QString refusal;
    if (!ThreadPriority::batchThisThread(&refusal))
        log->addLine(QStringLiteral("INFO: [CDataBaseHandler] The store's writer keeps the normal scheduling: %1")
                         .arg(refusal));
    QMutexLocker stageLocker(&stageMutex);
    // After each write the writer rests three times as long as the write took: under a heavy
    // load it gathers more into each write instead of taking a whole core from decoding and
    // polls, and the rows of a busy device are written once for many of its uplinks. Light
    // loads, whose writes take a fraction of a millisecond, hardly wait at all.
    QDeadlineTimer rested;
    for (;;) {
        while (!stopping && writtenTicket == stagedTicket) {
            idle = true;
            if (!target.savesNothing()) {
                stagedMore.wait(&stageMutex);
                idle = false;
                continue;
            }
            // Nothing to write, but the operator hears once a minute that nothing could be.
            const bool woken = stagedMore.wait(&stageMutex, SAVE_FAILURE_REPORT_MS);
            idle = false;
            if (woken)
                continue;
            stageLocker.unlock();
            target.retryWriting();
            stageLocker.relock();
        }
        if (writtenTicket == stagedTicket)
            return;
        // Nobody waits for a rest: not a stop, nor a caller that needs its values written.
        if (!stopping && waiters == 0 && !rested.hasExpired()) {
            stagedMore.wait(&stageMutex, rested);
            continue;
        }
        const quint64 ticket = stagedTicket;
        const int uplinks = std::exchange(stagedUplinks, 0);
        SStagedWrite write;
        write.registers = staged.values();
        // In the order of the rows' index: each row is found next to the one before.
        std::sort(write.registers.begin(), write.registers.end(),
                  [](const SStagedRegister &_a, const SStagedRegister &_b) {
                      return _a.deviceId != _b.deviceId ? _a.deviceId < _b.deviceId : _a.regAddr < _b.regAddr;
                  });
        write.counters = stagedCounters;
        staged.clear();
        stagedCounters.clear();
        stageLocker.unlock();

        QString error;
        QElapsedTimer writing;
        writing.start();
        const bool saved = target.commitWrite(write, &error);
        // A write that waited long for another process's lock does not make the next wait as long.
        if (CGatewayCounters *counting = counters)
            counting->countStoreWrite(double(writing.nsecsElapsed()) / 1e9);
        rested = QDeadlineTimer(std::chrono::nanoseconds(
            std::min(WRITER_REST_FACTOR * writing.nsecsElapsed(), MAX_WRITER_REST_NS)));
        bool statusChanged = false;
        {
            QMutexLocker imageLocker(&imageMutex);
            publish(write);
            stageLocker.relock();
            if (!saved) {
                // Kept for the next write, unless a newer value came meanwhile.
                for (const SStagedRegister &reg : qAsConst(write.registers)) {
                    if (!staged.contains({ reg.deviceId, reg.regAddr }))
                        staged.insert({ reg.deviceId, reg.regAddr }, reg);
                }
                for (auto it = write.counters.cbegin(); it != write.counters.cend(); ++it) {
                    if (!stagedCounters.contains(it.key()))
                        stagedCounters.insert(it.key(), it.value());
                }
            }
            statusChanged = noteSaveResult(saved, error, uplinks);
            stageLocker.unlock();
        }
        if (statusChanged)
            target.reportSavingStatus(saved, saved ? QString() : error);
        // The registers are saved and served; their values' history comes after them, and before the
        // devices are announced, so that a trend drawn on the announcement has the newest row.
        if (CHistoryStore *values = history)
            values->writeStaged();
        target.reportWritten(ticket);
        stageLocker.relock();
        writtenTicket = ticket;
        // A failed write's values go along with the next: once one is saved, so are they.
        if (saved)
            savedTicket = ticket;
        writeOver.wakeAll();
    }
}

void CStagedWriter::publish(const SStagedWrite &_write)
{
    // A device's words all at once. A large write lets polls and decoding in between devices
    // instead of holding them all along. Called with imageMutex held.
    int sinceRelease = 0;
    for (int i = 0; i < _write.registers.size(); ++i) {
        const SStagedRegister &reg = _write.registers.at(i);
        if (sinceRelease >= PUBLISH_SLICE && reg.deviceId != _write.registers.at(i - 1).deviceId) {
            imageMutex.unlock();
            imageMutex.lock();
            sinceRelease = 0;
        }
        image.setDeviceWord(reg.deviceId, reg.regAddr, reg.word);
        ++sinceRelease;
    }
}

bool CStagedWriter::noteSaveResult(bool _saved, const QString &_error, int _uplinks)
{
    if (_saved) {
        if (!savingFails)
            return false;
        log->addLine(QStringLiteral("INFO: %1 Saving works again: the values of %2 unsaved uplinks are in \"%3\" now")
                         .arg(SAVE_ORIGIN)
                         .arg(failedUplinks)
                         .arg(fileName));
        savingFails = false;
        failedUplinks = 0;
        return true;
    }
    failedUplinks += _uplinks;
    const qint64 now = clock->nowMs();
    if (!savingFails) {
        savingFails = true;
        failedSinceReport = 0;
        lastReportMs = now;
        log->addLine(QStringLiteral("ERROR: %1 Saving to \"%2\" fails: %3. Modbus serves the newest values from "
                                    "memory until saving works again")
                         .arg(SAVE_ORIGIN, fileName, _error));
        return true;
    }
    failedSinceReport += _uplinks;
    if (now - lastReportMs >= SAVE_FAILURE_REPORT_MS) {
        log->addLine(QStringLiteral("ERROR: %1 Saving still fails: %2 more uplinks not saved since the last report, "
                                    "%3 registers wait in memory. Error_text[%4]")
                         .arg(SAVE_ORIGIN)
                         .arg(failedSinceReport)
                         .arg(staged.size())
                         .arg(_error));
        failedSinceReport = 0;
        lastReportMs = now;
    }
    return false;
}
