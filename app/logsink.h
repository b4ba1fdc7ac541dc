#pragma once

#include <QString>
#include <QStringList>

// Where a part of the gateway writes its log lines. The program builds one log (the log file)
// at start-up and hands it to every part it builds; a part never looks the log up itself.
class CLogSink
{
public:
    virtual ~CLogSink() = default;
    virtual void addLine(const QString &_line) = 0;

    // A sink that keeps nothing: for parts built where nobody reads a log.
    static CLogSink *discard();
};

// Keeps the lines it is given and passes them on: a part that must tell its caller why it
// failed, and log the same, records what it logged.
class CLogRecorder : public CLogSink
{
public:
    explicit CLogRecorder(CLogSink *_next) : next(_next) {}
    void addLine(const QString &_line) override;
    QStringList lines() const { return recorded; }

private:
    CLogSink *next;
    QStringList recorded;
};
