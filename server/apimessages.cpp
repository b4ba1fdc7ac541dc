#include "server/apimessages.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include "server/apivocabulary.h"

namespace API {

namespace {

// The ping is a command named "cmd": the server answers it with an error
// reply, which proves it is alive and speaks the API.
const QString PING_COMMAND = QStringLiteral("cmd");

QString compactText(const QJsonObject &_obj)
{
    return QString::fromUtf8(QJsonDocument(_obj).toJson(QJsonDocument::Compact));
}

// One "devices_list" entry; false when a key the gateway needs is missing.
bool readDeviceEntry(const QJsonObject &_entry, SServerDeviceInfo &_info)
{
    if (!_entry.contains(API_KEY_DEV_EUI) || !_entry.contains(API_KEY_DEV_NAME) || !_entry.contains(API_KEY_OTAA))
        return false;
    const QString appEui = _entry.value(API_KEY_OTAA).toObject().value(API_KEY_APP_EUI).toString();
    if (appEui.isEmpty())
        return false;
    _info.devEui = _entry.value(API_KEY_DEV_EUI).toString();
    _info.devName = _entry.value(API_KEY_DEV_NAME).toString();
    _info.appEui = appEui;
    return true;
}

} // namespace

QString pingMessage()
{
    QJsonObject obj;
    obj.insert(API_KEY_CMD, PING_COMMAND);
    return compactText(obj);
}

QString authRequestMessage(const QString &_login, const QString &_password)
{
    QJsonObject obj;
    obj.insert(API_KEY_CMD, API_CMD_AUTH_REQ);
    obj.insert(API_KEY_LOGIN, _login);
    obj.insert(API_KEY_PASSWORD, _password);
    return compactText(obj);
}

QString devicesListRequestMessage(const QStringList &_appEuiList)
{
    QJsonObject select;
    select.insert(API_KEY_APP_EUI_LIST, QJsonArray::fromStringList(_appEuiList));
    QJsonObject obj;
    obj.insert(API_KEY_CMD, API_CMD_GET_DEVICES_REQ);
    obj.insert(API_KEY_SELECT, select);
    return compactText(obj);
}

bool parseMessage(const QString &_text, QJsonObject &_obj)
{
    const QJsonDocument doc = QJsonDocument::fromJson(_text.toUtf8());
    if (!doc.isObject())
        return false;
    _obj = doc.object();
    return true;
}

SAuthResponse readAuthResponse(const QJsonObject &_obj)
{
    SAuthResponse response;
    if (!_obj.contains(API_KEY_CMD)) {
        response.verdict = eAuthNoCmd;
    } else if (_obj.value(API_KEY_CMD).toString() != API_CMD_AUTH_RESP) {
        response.verdict = eAuthWrongCmd;
    } else if (!_obj.contains(API_KEY_STATUS)) {
        response.verdict = eAuthNoStatus;
    } else if (!_obj.value(API_KEY_STATUS).toBool(false)) {
        response.verdict = eAuthRefused;
        response.errString = _obj.value(API_KEY_ERR_STRING).toString();
    } else {
        response.verdict = eAuthAccepted;
        response.token = _obj.value(API_KEY_TOKEN).toString();
    }
    return response;
}

SDevicesListResponse readDevicesListResponse(const QJsonObject &_obj)
{
    SDevicesListResponse response;
    response.status = _obj.value(API_KEY_STATUS).toBool(false);
    if (!response.status)
        return response;
    const QJsonArray entries = _obj.value(API_KEY_DEVICES_LIST).toArray();
    for (const QJsonValue &value : entries) {
        SServerDeviceInfo info;
        if (readDeviceEntry(value.toObject(), info))
            response.devices.append(info);
    }
    return response;
}

} // namespace API
