#pragma once

// The keys of a device template's JSON: part of the gateway's contract with its template
// files, change none.

#include <QString>

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
