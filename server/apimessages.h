#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "server/apitypes.h"

// The JSON texts exchanged with the network server, kept apart from the
// socket so they can be checked byte for byte.
namespace API {

// Compact JSON with keys in ascending order, as sent in one text frame.
QString pingMessage();
QString authRequestMessage(const QString &_login, const QString &_password);
QString devicesListRequestMessage(const QStringList &_appEuiList);

// False when the text is not a JSON object.
bool parseMessage(const QString &_text, QJsonObject &_obj);

// How an authorisation response ends the log-in.
enum EAuthVerdict {
    eAuthAccepted = 0,
    eAuthNoCmd = 1,
    eAuthWrongCmd = 2,
    eAuthNoStatus = 3,
    eAuthRefused = 4,
};

struct SAuthResponse
{
    EAuthVerdict verdict = eAuthNoCmd;
    QString token;
    QString errString;
};

SAuthResponse readAuthResponse(const QJsonObject &_obj);

// A device list response; a missing or non-boolean status reads as false
// and then the list is empty.
struct SDevicesListResponse
{
    bool status = false;
    QList<SServerDeviceInfo> devices;
};

SDevicesListResponse readDevicesListResponse(const QJsonObject &_obj);

} // namespace API
