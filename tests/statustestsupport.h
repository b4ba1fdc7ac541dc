#pragma once

// The statuses a network-server link reported, as a signal spy caught them.

#include <QSignalSpy>

#include "server/serverstatus.h"

using Statuses = QList<COMM::EServerStatus>;

namespace StatusTest {

inline Statuses statusesOf(const QSignalSpy &_spy)
{
    Statuses list;
    for (const QList<QVariant> &args : _spy)
        list << args.at(0).value<COMM::EServerStatus>();
    return list;
}

// DISCONNECTED before the first report, as the link starts.
inline COMM::EServerStatus lastStatusOf(const QSignalSpy &_spy)
{
    return _spy.isEmpty() ? COMM::eDisconnected : _spy.last().at(0).value<COMM::EServerStatus>();
}

} // namespace StatusTest
