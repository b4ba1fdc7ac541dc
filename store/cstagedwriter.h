#pragma once

#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QWaitCondition>

#include <atomic>
#include <thread>

#include "app/cclock.h"
#include "store/cregisterwriter.h"
#include "store/storerecords.h"

class CGatewayCounters;
class CHistoryStore;
class CLogSink;
class CRegisterImage;

// What the staged writer needs of the store it writes for.
class CStagedWriteTarget
{
public:
    virtual ~CStagedWriteTarget() = default;
    // Writes one transaction on the store's connection, all or nothing; false with the reason.
    virtual bool commitWrite(const SStagedWrite &_write, QString *_error) = 0;
    // True while nothing can be saved at all (a read-only store).
    virtual bool savesNothing() const = 0;
    // Nothing is staged, nothing can be saved: looks whether it can again, or logs why not.
    virtual void retryWriting() = 0;
    // Saving stopped working (with the reason) or works again.
    virtual void reportSavingStatus(bool _saving, const QString &_reason) = 0;
    // Every ticket up to _ticket is over, saved or not, and served.
    virtual void reportWritten(quint64 _ticket) = 0;
};

// Stages the register values of decoded uplinks and writes them on a thread of its own, one
// transaction at a time, so that neither a Modbus poll nor the next uplink waits for a commit.
// Whatever is staged while a write runs goes into the next one, a later value of a register
// replacing an earlier: the busier the gateway, the larger its transactions. The image serves
// a write's values once its transaction is over, saved or not.
class CStagedWriter
{
public:
    // While saving fails, how often the log is told again.
    static constexpr qint64 SAVE_FAILURE_REPORT_MS = 60000;

    // _image and _imageMutex are the store's; the image is changed only under _imageMutex.
    CStagedWriter(CStagedWriteTarget &_target, CRegisterImage &_image, QMutex &_imageMutex, const QString &_fileName,
                  CClock *_clock, CLogSink *_log);
    ~CStagedWriter();

    void start();
    // What is staged is written before the thread ends.
    void stop();

    // A ticket for the batch, 0 when none of it had a register to write.
    quint64 stage(const QList<SDeviceRegData> &_batch);
    // The device's counters go with the next write. Under the image lock.
    void stageCounters(uint32_t _deviceId, const SDeviceCounters &_counters);
    // Blocks until the write that took ticket _ticket along is over; whether it was saved.
    bool waitForWrite(quint64 _ticket);
    // The device is gone: nothing of it is written; the values its port-mates still wait to have
    // written go back into the image, which the store has just read again. Under the image lock.
    void forgetDevice(uint32_t _deviceId, uint16_t _port);

    void setClock(CClock *_clock);
    void setCounters(CGatewayCounters *_counters) { counters = _counters; }
    // Takes each staged uplink's values along and has them written after each write's registers
    // are saved and served; it must outlive the writer.
    void setHistory(CHistoryStore *_history) { history = _history; }

private:
    void writeStaged();
    // Logs the first failure, then a count once a report interval, then the recovery;
    // true when the status changed. Under stageMutex.
    bool noteSaveResult(bool _saved, const QString &_error, int _uplinks);
    // Saved or not, Modbus serves the write's values.
    void publish(const SStagedWrite &_write);

    CStagedWriteTarget &target;
    CRegisterImage &image;
    QMutex &imageMutex;
    QString fileName;
    CClock *clock;
    CLogSink *log;
    std::atomic<CGatewayCounters *> counters { nullptr };
    std::atomic<CHistoryStore *> history { nullptr };

    // Taken after the image's lock, never before it.
    QMutex stageMutex;
    QWaitCondition stagedMore;
    QWaitCondition writeOver;
    // The newest value of each register not in the file yet, one entry a register at most:
    // staged since the last write, or left by a write that failed.
    QHash<QPair<uint32_t, qint64>, SStagedRegister> staged;
    // The newest counters of devices whose counters changed since the last save.
    QHash<uint32_t, SDeviceCounters> stagedCounters;
    int stagedUplinks = 0;
    // Tickets: each staging takes the next; a write takes all staged up to its ticket along.
    quint64 stagedTicket = 0;
    quint64 writtenTicket = 0;
    // Every ticket up to it is in the file.
    quint64 savedTicket = 0;
    // Callers blocked in waitForWrite.
    int waiters = 0;
    // The writer waits for something to write (not resting after a write): staging wakes it.
    bool idle = false;
    bool stopping = false;
    std::thread writer;
    bool savingFails = false;
    int failedUplinks = 0;
    int failedSinceReport = 0;
    qint64 lastReportMs = 0;
};
