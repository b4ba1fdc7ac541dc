#include "modbus/cdevicehandler.h"

#include "app/clogfile.h"
#include "modbus/cconnectionhandler.h"

CDeviceHandler::CDeviceHandler(uint16_t _port, CDataBaseHandler *_store)
    : port(_port)
    , store(_store)
{
}

bool CDeviceHandler::open(const QHostAddress &_address, bool _logFailure)
{
    if (isListening())
        return true;
    if (listen(_address, port))
        return true;
    if (_logFailure)
        CLogFile::addLog(QStringLiteral("ERROR: [CDeviceHandler] Port [%1] is not opened! Error_text[%2]")
                             .arg(port)
                             .arg(errorString()));
    return false;
}

void CDeviceHandler::incomingConnection(qintptr socketDescriptor)
{
    if (socketDescriptor <= 0)
        return;
    // No parent: the connection outlives this server and deletes itself on disconnect.
    auto *connection = new CConnectionHandler(port, store);
    if (!connection->setSocketDescriptor(socketDescriptor, QAbstractSocket::ConnectedState, QIODevice::ReadWrite)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CDeviceHandler] Connection on port [%1] is not accepted! "
                                        "Error_text[%2]")
                             .arg(port)
                             .arg(connection->errorString()));
        delete connection;
    }
}
