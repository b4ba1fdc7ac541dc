#pragma once

#include <QObject>
#include <QString>

class CGateway;

// What every run of the gateway does around its event loop, with a window or without: SIGTERM
// and SIGINT stop it gracefully (the uplinks waiting for their batch are committed), SIGHUP
// reads the templates and the device list again.
class CGatewayLifecycle : public QObject
{
    Q_OBJECT

public:
    // _origin names the run in its log lines.
    CGatewayLifecycle(CGateway &_gateway, const QString &_origin, QObject *_parent = nullptr);

    // Runs the event loop until a stop or the last window closes; the process's exit code.
    int exec();

private:
    CGateway &gateway;
    QString origin;
};
