#pragma once

// Fixed texts shared by every module. Values are part of the
// gateway's contract with its files, its peers and its operator: change none.

#include <QString>

// ---- Application ----
inline const QString APPLICATION_NAME = QStringLiteral("Kelvara " KELVARA_VERSION);

// ---- Template directory ----
inline const QString DEVICE_FOLDER = QStringLiteral("deviceFolder");

// ---- Settings ----
inline const QString SETTINGS_FILE_NAME = QStringLiteral("settings.conf");
inline const QString SETTINGS_GROUP_SERVER = QStringLiteral("server/");
inline const QString SETTINGS_KEY_IP = QStringLiteral("ip");
inline const QString SETTINGS_KEY_PORT = QStringLiteral("port");
inline const QString SETTINGS_KEY_LOGIN = QStringLiteral("login");
inline const QString SETTINGS_KEY_PASSWORD = QStringLiteral("password");

// ---- Logo words ----
inline const QString LOGO_WORD_FIRST = QStringLiteral("KORV");
inline const QString LOGO_WORD_SECOND = QStringLiteral("ARA");

// ---- Server API vocabulary ----
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

// ---- Device template keys ----
inline const QString TEMPLATE_KEY_APP_EUI = QStringLiteral("app_eui");
inline const QString TEMPLATE_KEY_DEV_TYPE = QStringLiteral("dev_type");
inline const QString TEMPLATE_KEY_COLOR = QStringLiteral("color");
inline const QString TEMPLATE_KEY_SERVER_DATA = QStringLiteral("server_data");
inline const QString TEMPLATE_KEY_DATA_CODE = QStringLiteral("data_code");
inline const QString TEMPLATE_KEY_REG_MAP_BIAS = QStringLiteral("reg_map_bias");
inline const QString TEMPLATE_KEY_REG_BIT_BIAS = QStringLiteral("reg_bit_bias");
inline const QString TEMPLATE_KEY_REG_BIT_SIZE = QStringLiteral("reg_bit_size");
inline const QString TEMPLATE_KEY_DATA_NAME = QStringLiteral("data_name");
inline const QString TEMPLATE_KEY_DEVICE_PACKETS = QStringLiteral("device_packets");
inline const QString TEMPLATE_KEY_PACKET_TYPE = QStringLiteral("packet_type");
inline const QString TEMPLATE_KEY_PACKET_SIZE = QStringLiteral("packet_size");
inline const QString TEMPLATE_KEY_PACKET_FIELDS = QStringLiteral("packet_fields");
inline const QString TEMPLATE_KEY_PACKET_BIAS = QStringLiteral("packet_bias");
inline const QString TEMPLATE_KEY_DATA_BIT_BIAS = QStringLiteral("data_bit_bias");
inline const QString TEMPLATE_KEY_DATA_BIT_SIZE = QStringLiteral("data_bit_size");
inline const QString TEMPLATE_KEY_DATA_TYPE = QStringLiteral("data_type");

// ---- Data type names ----
inline const QString DATA_TYPE_INTEGER = QStringLiteral("integer");
inline const QString DATA_TYPE_UINTEGER = QStringLiteral("uinteger");
inline const QString DATA_TYPE_BOOLEAN = QStringLiteral("boolean");
inline const QString DATA_TYPE_TEXT = QStringLiteral("text");

// ---- Server keyword names ----
inline const QString SERVER_KEYWORD_TS = QStringLiteral("ts");
inline const QString SERVER_KEYWORD_RSSI = QStringLiteral("rssi");
inline const QString SERVER_KEYWORD_GATEWAY_ID = QStringLiteral("gatewayId");
inline const QString SERVER_KEYWORD_DEV_EUI = QStringLiteral("devEui");
inline const QString SERVER_KEYWORD_SNR = QStringLiteral("snr");
inline const QString SERVER_KEYWORD_FCNT = QStringLiteral("fcnt");
// Not from uplinks: the state of the device's last downlink.
inline const QString SERVER_KEYWORD_DOWNLINK = QStringLiteral("downlink");
// Kept by the gateway, not sent by the server: seconds since the last decoded uplink (computed
// when read), uplinks received, frames lost by the frame counter's gaps, uplinks dropped.
inline const QString SERVER_KEYWORD_AGE = QStringLiteral("age");
inline const QString SERVER_KEYWORD_UPLINKS = QStringLiteral("uplinks");
inline const QString SERVER_KEYWORD_LOST = QStringLiteral("lost");
inline const QString SERVER_KEYWORD_ERRORS = QStringLiteral("errors");

// ---- Register time format (the log uses the same text) ----
inline const QString REGISTER_TIME_FORMAT = QStringLiteral("dd-MMM-yy HH:mm:ss");

// ---- Store names ----
inline const QString DB_FILE_NAME = QStringLiteral("server.db");
inline const QString DB_CONNECTION_NAME = QStringLiteral("server");
inline const QString DB_TABLE_DEVICES = QStringLiteral("devices");
inline const QString DB_TABLE_DEV_DATA = QStringLiteral("dev_data");
