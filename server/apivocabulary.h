#pragma once

// The keys, commands and error texts of the WebSocket network server's JSON messages: part of
// the gateway's contract with its peers, change none.

#include <QString>

// Keys
inline const QString API_KEY_LOGIN = QStringLiteral("login");
inline const QString API_KEY_PASSWORD = QStringLiteral("password");
inline const QString API_KEY_TOKEN = QStringLiteral("token");
inline const QString API_KEY_CMD = QStringLiteral("cmd");
inline const QString API_KEY_SELECT = QStringLiteral("select");
inline const QString API_KEY_APP_EUI_LIST = QStringLiteral("appEui_list");
inline const QString API_KEY_STATUS = QStringLiteral("status");
inline const QString API_KEY_DEVICES_LIST = QStringLiteral("devices_list");
inline const QString API_KEY_DEV_EUI = QStringLiteral("devEui");
inline const QString API_KEY_DEV_NAME = QStringLiteral("devName");
inline const QString API_KEY_DATA_LIST = QStringLiteral("data_list");
inline const QString API_KEY_ERR_STRING = QStringLiteral("err_string");
inline const QString API_KEY_TS = QStringLiteral("ts");
inline const QString API_KEY_GATEWAY_ID = QStringLiteral("gatewayId");
inline const QString API_KEY_ACK = QStringLiteral("ack");
inline const QString API_KEY_FCNT = QStringLiteral("fcnt");
inline const QString API_KEY_PORT = QStringLiteral("port");
inline const QString API_KEY_DATA = QStringLiteral("data");
inline const QString API_KEY_FREQ = QStringLiteral("freq");
inline const QString API_KEY_DR = QStringLiteral("dr");
inline const QString API_KEY_RSSI = QStringLiteral("rssi");
inline const QString API_KEY_SNR = QStringLiteral("snr");
inline const QString API_KEY_TYPE = QStringLiteral("type");
inline const QString API_KEY_OTAA = QStringLiteral("OTAA");
inline const QString API_KEY_APP_EUI = QStringLiteral("appEui");

// Command names
inline const QString API_CMD_AUTH_REQ = QStringLiteral("auth_req");
inline const QString API_CMD_AUTH_RESP = QStringLiteral("auth_resp");
inline const QString API_CMD_SEND_DATA_REQ = QStringLiteral("send_data_req");
inline const QString API_CMD_SEND_DATA_RESP = QStringLiteral("send_data_resp");
inline const QString API_CMD_GET_DEVICES_REQ = QStringLiteral("get_devices_req");
inline const QString API_CMD_GET_DEVICES_RESP = QStringLiteral("get_devices_resp");
inline const QString API_CMD_RX = QStringLiteral("rx");

// Error strings
inline const QString API_ERR_INVALID_JSON_MSG = QStringLiteral("invalid_json_msg");
inline const QString API_ERR_UNKNOWN_CMD = QStringLiteral("unknown_cmd");
inline const QString API_ERR_UNKNOWN_AUTH = QStringLiteral("unknown_auth");
inline const QString API_ERR_INACCESSIBLE_COMMAND = QStringLiteral("inaccessible_command");
inline const QString API_ERR_INVALID_LOGIN_OR_PASSWORD = QStringLiteral("invalid_login_or_password");
