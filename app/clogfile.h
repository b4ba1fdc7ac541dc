#pragma once

#include <QFile>
#include <QMutex>
#include <QObject>

#include "app/logsink.h"

// The application log: one time-stamped line per call, ending in its newline, flushed at
// once, appended across runs, and offered to the window as a signal. A file that would
// grow past the rotation size becomes <name>.1 (the older ones move up to .5, the
// oldest goes) and a new one is begun.
class CLogFile : public QObject, public CLogSink
{
    Q_OBJECT

public:
    // The first call creates the log on that name; later calls may pass an empty string.
    static CLogFile *getInstance(const QString &fileName);
    // The one call every module uses to write a log line.
    static void addLog(const QString &str);
    // A command's one line about the change it made; the only line a command writes.
    static void addChangeLog(const QString &str);

    // The banner a run of the gateway begins with.
    void startSession();
    // For a command: lines reach the file only through addChangeLog (they are still emitted).
    void setChangesOnly(bool _changesOnly);

    // What the parts below the gateway write through, handed down by whoever built them.
    void addLine(const QString &_line) override { writeEntry(_line, false); }

signals:
    // The entry as written, without line breaks.
    void addLogSignal(QString);

public slots:
    void addLogMetod(QString logStr = QString());

public:
    // The program logs through getInstance(); a separate object lets tests
    // replay a fresh start in the same directory.
    explicit CLogFile(const QString &fileName, QObject *parent = nullptr);

    static constexpr qint64 DEFAULT_ROTATE_SIZE = 10 * 1024 * 1024;
    static constexpr int KEPT_OLD_FILES = 5;
    void setRotateSize(qint64 _bytes);

private:
    void writeEntry(const QString &_text, bool _change);
    // Called with the mutex held.
    void rotate();

    QFile file;
    QMutex mutex;
    qint64 rotateSize = DEFAULT_ROTATE_SIZE;
    bool changesOnly = false;

    static CLogFile *instance;
};
