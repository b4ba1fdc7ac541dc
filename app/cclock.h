#pragma once

#include <atomic>

#include <QDateTime>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

// Time as the gateway's deadlines and back-offs see it. The program runs on the
// system clock; tests hand in a CManualClock and move it on, so a 10 s time-out
// costs them nothing and a 60 s rule can be tested at all.
class CClock : public QObject
{
    Q_OBJECT

public:
    // Milliseconds on a monotonic scale; only differences mean anything.
    virtual qint64 nowMs() const = 0;
    // Milliseconds since 1970 UTC, for times that must survive a restart.
    virtual qint64 epochMs() const = 0;
    // True when timers must wait for advanced() instead of the event loop's timers.
    virtual bool isManual() const { return false; }

    // The process's one system clock.
    static CClock *system();

signals:
    // A manual clock moved on: due timers fire.
    void advanced();
};

class CSystemClock : public CClock
{
    Q_OBJECT

public:
    CSystemClock() { elapsed.start(); }
    qint64 nowMs() const override { return elapsed.elapsed(); }
    qint64 epochMs() const override { return QDateTime::currentMSecsSinceEpoch(); }

private:
    QElapsedTimer elapsed;
};

// A clock that stands still until advance() moves it.
class CManualClock : public CClock
{
    Q_OBJECT

public:
    qint64 nowMs() const override { return now; }
    // Starts at 2023-11-14 22:13:20 UTC and moves with advance().
    qint64 epochMs() const override { return EPOCH_START_MS + now; }
    bool isManual() const override { return true; }
    static constexpr qint64 EPOCH_START_MS = 1700000000000;
    void advance(qint64 _ms)
    {
        now += _ms;
        emit advanced();
    }

private:
    // Read by the Modbus and store threads too.
    std::atomic<qint64> now { 0 };
};

// A single-shot timer on a CClock: QTimer on the system clock, the clock's own
// time on a manual one.
class CClockTimer : public QObject
{
    Q_OBJECT

public:
    explicit CClockTimer(CClock *_clock, QObject *_parent = nullptr);

    void start(int _ms);
    void stop();
    bool isActive() const;

signals:
    void timeout();

private:
    void checkDue();

    CClock *clock;
    QTimer timer;
    qint64 dueMs = -1;
};
