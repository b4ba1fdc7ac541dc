#pragma once

// The small pieces the gateway backend's files share: names of the server's kind and state,
// refusals and their HTTP status, members of a JSON body as the command line's text.

#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <algorithm>

#include "gateway/cgateway.h"
#include "server/serverstatus.h"
#include "web/webbackend.h"

namespace WebBackend {

// The log's tail read for the log page: enough for the most lines it asks.
inline constexpr qint64 LOG_TAIL_BYTES = 2 * 1024 * 1024;

inline QString serverKindName(EServerKind _kind)
{
    switch (_kind) {
    case EServerKind::eWebSocket:
        return QStringLiteral("websocket");
    case EServerKind::eChirpStack:
        return QStringLiteral("chirpstack");
    case EServerKind::eTts:
        return QStringLiteral("tts");
    }
    return QString();
}

inline QString serverStatusName(int _status)
{
    switch (_status) {
    case COMM::eSuccess:
        return QStringLiteral("connected");
    case COMM::ePingWaiting:
    case COMM::eAuthWaiting:
        return QStringLiteral("connecting");
    case COMM::eInvalidPing:
        return QStringLiteral("no answer");
    case COMM::eInvalidAuth:
        return QStringLiteral("log-in refused");
    default:
        return QStringLiteral("disconnected");
    }
}

// The HTTP status of a refused device change.
inline int statusOf(EGatewayError _error)
{
    switch (_error) {
    case EGatewayError::ALREADY_REGISTERED:
    case EGatewayError::OVERLAP:
    case EGatewayError::PORT_BUSY:
        return 409;
    case EGatewayError::STORE_FAILED:
        return 500;
    default:
        return 400;
    }
}

inline SWebResult refused(int _status, const QString &_error)
{
    SWebResult result;
    result.status = _status;
    result.error = _error;
    return result;
}

// A JSON member as the command line's text: numbers and flags written out, absent empty.
inline QString memberText(const QJsonObject &_object, const QString &_key)
{
    const QJsonValue value = _object.value(_key);
    if (value.isBool())
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number == double(qint64(number)) ? QString::number(qint64(number)) : QString::number(number);
    }
    return value.toString();
}

inline QJsonValue ageOf(qint64 _lastMs, qint64 _nowMs)
{
    return _lastMs < 0 ? QJsonValue() : QJsonValue(double(std::max<qint64>(0, _nowMs - _lastMs) / 1000));
}

} // namespace WebBackend
