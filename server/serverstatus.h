#pragma once

#include <QMetaType>

namespace COMM {

// Status of the link to the network server, as shown to the operator.
enum EServerStatus {
    eSuccess = 0,
    ePingWaiting = 1,
    eInvalidPing = 2,
    eAuthWaiting = 3,
    eInvalidAuth = 4,
    eDisconnected = 5,
};

} // namespace COMM

Q_DECLARE_METATYPE(COMM::EServerStatus)
