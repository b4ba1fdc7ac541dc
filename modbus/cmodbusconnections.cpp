#include "modbus/cmodbusconnections.h"

#include <utility>

#include <sys/resource.h>

#include "modbus/cconnectionhandler.h"
#include "modbus/modbuswrite.h"

namespace {

// A full service keeps closing connections; once a minute in the log says so.
const qint64 CAP_LOG_INTERVAL_MS = 60 * 1000;

// Descriptors kept free below the open-file limit for the log, the store and new
// connections. An accept that finds none left is not reported by QTcpServer once its
// listening socket has seen any error; it is only retried, at full speed.
const rlim_t SPARE_DESCRIPTORS = 32;

bool nearDescriptorLimit(qintptr _descriptor)
{
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return false;
    return limit.rlim_cur <= SPARE_DESCRIPTORS || rlim_t(_descriptor) >= limit.rlim_cur - SPARE_DESCRIPTORS;
}

} // namespace

CModbusConnections::CModbusConnections(const SModbusLimits &_limits, CClock *_clock, CLogSink *_log)
    : limits(_limits)
    , clock(_clock)
    , log(_log)
    , capLog(CAP_LOG_INTERVAL_MS, clock, log,
          [](int _count) {
              return QStringLiteral("WARNING: [CModbusConnections] [%1] more connections closed at the limit")
                  .arg(_count);
          })
    , acceptLog(CAP_LOG_INTERVAL_MS, clock, log, [](int _count) {
        return QStringLiteral("WARNING: [CModbusConnections] [%1] more accept errors").arg(_count);
    })
{ }

void CModbusConnections::admit(CConnectionHandler *_connection)
{
    while (connections.size() >= limits.maxConnections) {
        const QString peer = closeLongestIdle();
        capLog.addLog(QStringLiteral("WARNING: [CModbusConnections] Connection limit [%1] reached. Close the longest "
                                     "idle connection from [%2]")
                          .arg(limits.maxConnections)
                          .arg(peer));
    }
    // Accepted descriptors are the lowest free ones: a high one means few are left.
    if (nearDescriptorLimit(_connection->socketDescriptor())) {
        const QString peer = closeLongestIdle();
        capLog.addLog(QStringLiteral("WARNING: [CModbusConnections] Open files near their limit. Close the longest "
                                     "idle connection from [%1]")
                          .arg(peer));
    }
    connections.append(_connection);
    open = connections.size();
    connect(_connection, &QTcpSocket::disconnected, this, [this, _connection] { forget(_connection); });
    connect(_connection, &QObject::destroyed, this, [this, _connection] { forget(_connection); });
}

QString CModbusConnections::closeLongestIdle()
{
    if (connections.isEmpty())
        return QString();
    CConnectionHandler *longestIdle = connections.first();
    for (CConnectionHandler *connection : qAsConst(connections)) {
        if (connection->getLastActivity() < longestIdle->getLastActivity())
            longestIdle = connection;
    }
    const QString peer = longestIdle->getPeerText();
    // Taken out at once: its descriptor is closed now, the object goes from the event loop.
    forget(longestIdle);
    longestIdle->abort();
    return peer;
}

void CModbusConnections::closeAll()
{
    const QVector<CConnectionHandler *> open = std::exchange(connections, {});
    for (CConnectionHandler *connection : open)
        connection->abort();
}

void CModbusConnections::reportAcceptError(uint16_t _port, QAbstractSocket::SocketError _error)
{
    acceptLog.addLog(
        QStringLiteral("WARNING: [CModbusConnections] Port [%1] cannot accept a connection. Socket_error[%2]")
            .arg(_port)
            .arg(int(_error)));
}

void CModbusConnections::forget(CConnectionHandler *_connection)
{
    connections.removeOne(_connection);
    open = connections.size();
}
