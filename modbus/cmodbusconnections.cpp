#include "modbus/cmodbusconnections.h"

#include <utility>

#include "modbus/cconnectionhandler.h"

namespace {

// A full service keeps closing connections; once a minute in the log says so.
const qint64 CAP_LOG_INTERVAL_MS = 60 * 1000;

} // namespace

CModbusConnections::CModbusConnections(const SModbusLimits &_limits, MODBUS::Clock _clock)
    : limits(_limits)
    , clock(std::move(_clock))
    , capLog(CAP_LOG_INTERVAL_MS, clock, [](int _count) {
        return QStringLiteral("WARNING: [CModbusConnections] [%1] more connections closed at the limit").arg(_count);
    })
{
}

void CModbusConnections::admit(CConnectionHandler *_connection)
{
    while (connections.size() >= limits.maxConnections) {
        CConnectionHandler *longestIdle = *connections.cbegin();
        for (CConnectionHandler *connection : qAsConst(connections)) {
            if (connection->getLastActivity() < longestIdle->getLastActivity())
                longestIdle = connection;
        }
        capLog.addLog(QStringLiteral("WARNING: [CModbusConnections] Connection limit [%1] reached. Close the longest "
                                     "idle connection from [%2]")
                          .arg(limits.maxConnections)
                          .arg(longestIdle->getPeerText()));
        // Taken out at once: its socket is closed now, the object goes from the event loop.
        forget(longestIdle);
        longestIdle->abort();
    }
    connections.insert(_connection);
    connect(_connection, &QTcpSocket::disconnected, this, [this, _connection] { forget(_connection); });
    connect(_connection, &QObject::destroyed, this, [this, _connection] { forget(_connection); });
}

void CModbusConnections::forget(CConnectionHandler *_connection)
{
    connections.remove(_connection);
}
