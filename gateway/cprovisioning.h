#pragma once

#include <QStringList>
#include <QTextStream>

class CGateway;

// The command line's "devices" and "templates" commands on the working directory. They
// change server.db directly, whether or not a gateway is running there, and then tell a
// running one (SIGHUP to the pid in its lock) so the change applies at once. Wrong input
// is refused before anything is written.
class CProvisioning
{
public:
    CProvisioning(QTextStream &_out, QTextStream &_err);

    // _command starts with "devices" or "templates"; the exit code: 0 done, 1 refused, 2 usage.
    int run(const QStringList &_command);

private:
    int listDevices(CGateway &_gateway, bool _json);
    int addDevice(CGateway &_gateway, const QStringList &_arguments);
    int removeDevice(CGateway &_gateway, const QStringList &_arguments);
    int exportDevices(CGateway &_gateway, const QStringList &_arguments);
    int importDevices(CGateway &_gateway, const QStringList &_arguments);
    int listTemplates(CGateway &_gateway);
    int checkTemplates(const QStringList &_files);
    int tryTemplate(const QStringList &_arguments);

    int usage(const QString &_problem);
    int refuse(const QString &_problem);
    // Tells a gateway running in the working directory to read the devices again.
    // Logs the change the command made (its one line in the gateway's log) and tells the
    // gateway running in the folder, if any.
    void notifyRunningGateway(const QString &_change);

    QTextStream &out;
    QTextStream &err;
    // "devices add" and the like, for the log line of the change.
    QString commandName;
};
