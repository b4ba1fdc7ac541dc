#pragma once

#include <QString>

// Scheduling of the calling thread. Linux schedules threads one by one, so each of these
// changes only the thread that calls it (and the threads it starts afterwards).
namespace ThreadPriority {

// The Modbus thread's nice value: a poll's answer goes before decoding and commits. Mild on purpose:
// with polls flat out on two cores, nice -5 took a third of the uplink path's rate, -2 nothing measurable.
constexpr int MODBUS_NICE = -2;

// Sets the calling thread's nice value to _nice, below 0 for more of the processor. An
// unprivileged process may only go as low as its RLIMIT_NICE allows (none by default): then
// the thread stays as it was and *_why says why.
bool raiseThisThread(int _nice, QString *_why);
// Marks the calling thread as a batch worker (SCHED_BATCH): its wake-ups never cut into a
// running thread's turn, which every process may ask for its own threads. False with the
// reason when refused.
bool batchThisThread(QString *_why);

} // namespace ThreadPriority
