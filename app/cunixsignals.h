#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP turned into signals of the event loop: the handler only
// writes the number to a pipe, everything else runs as a normal slot.
class CUnixSignals : public QObject
{
    Q_OBJECT

public:
    explicit CUnixSignals(QObject *_parent = nullptr);
    ~CUnixSignals() override;

    // False when the pipe or the handlers could not be set up.
    bool isValid() const { return notifier != nullptr; }

signals:
    // SIGTERM or SIGINT.
    void stopRequested(int _signal);
    // SIGHUP.
    void reloadRequested();

private slots:
    void readSignal();

private:
    QSocketNotifier *notifier = nullptr;
};
