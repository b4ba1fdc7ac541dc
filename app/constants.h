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
