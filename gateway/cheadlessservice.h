#pragma once

#include <QObject>

#include "gateway/cgateway.h"

// The gateway as a service: no window, every log line also on stderr (with the journal's
// priority when started by systemd), the saved log-in, a graceful stop on SIGTERM and
// SIGINT and a reload of templates and devices on SIGHUP.
class CHeadlessService : public QObject
{
    Q_OBJECT

public:
    explicit CHeadlessService(const SGatewayConfig &_config, QObject *_parent = nullptr);

    // Runs until stopped; the process's exit code.
    int run();

private:
    void echoLogLine(const QString &_line) const;

    CGateway gateway;
    bool forJournal;
};
