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
inline const QString API_KEY_CONSOLE_ENABLE = QStringLiteral("consoleEnable");
inline const QString API_KEY_COMMAND_LIST = QStringLiteral("command_list");
inline const QString API_KEY_DEVICE_ACCESS = QStringLiteral("device_access");
inline const QString API_KEY_RX_SETTINGS = QStringLiteral("rx_settings");
inline const QString API_KEY_UNSOLICITED = QStringLiteral("unsolicited");
inline const QString API_KEY_WITH_MAC_COMMANDS = QStringLiteral("withMacCommands");
inline const QString API_KEY_USER_LIST = QStringLiteral("user_list");
inline const QString API_KEY_ADD_USER_LIST = QStringLiteral("add_user_list");
inline const QString API_KEY_DELETE_USER_LIST = QStringLiteral("delete_user_list");
inline const QString API_KEY_DELETED = QStringLiteral("deleted");
inline const QString API_KEY_CMD = QStringLiteral("cmd");
inline const QString API_KEY_KEYWORD = QStringLiteral("keyword");
inline const QString API_KEY_SELECT = QStringLiteral("select");
inline const QString API_KEY_DEV_EUI_LIST = QStringLiteral("devEui_list");
inline const QString API_KEY_APP_EUI_LIST = QStringLiteral("appEui_list");
inline const QString API_KEY_STATUS = QStringLiteral("status");
inline const QString API_KEY_DEVICES_LIST = QStringLiteral("devices_list");
inline const QString API_KEY_DEV_EUI = QStringLiteral("devEui");
inline const QString API_KEY_DEV_NAME = QStringLiteral("devName");
inline const QString API_KEY_LAST_DATA_TS = QStringLiteral("last_data_ts");
inline const QString API_KEY_FCNT_UP = QStringLiteral("fcnt_up");
inline const QString API_KEY_FCNT_DOWN = QStringLiteral("fcnt_down");
inline const QString API_KEY_DATE_FROM = QStringLiteral("date_from");
inline const QString API_KEY_DATE_TO = QStringLiteral("date_to");
inline const QString API_KEY_BEGIN_INDEX = QStringLiteral("begin_index");
inline const QString API_KEY_LIMIT = QStringLiteral("limit");
inline const QString API_KEY_DIRECTION = QStringLiteral("direction");
inline const QString API_KEY_TOTAL_NUM = QStringLiteral("totalNum");
inline const QString API_KEY_DATA_LIST = QStringLiteral("data_list");
inline const QString API_KEY_ERR_STRING = QStringLiteral("err_string");
inline const QString API_KEY_APPEND_STATUS = QStringLiteral("append_status");
inline const QString API_KEY_TS = QStringLiteral("ts");
inline const QString API_KEY_GATEWAY_ID = QStringLiteral("gatewayId");
inline const QString API_KEY_ACK = QStringLiteral("ack");
inline const QString API_KEY_FCNT = QStringLiteral("fcnt");
inline const QString API_KEY_PORT = QStringLiteral("port");
inline const QString API_KEY_DATA = QStringLiteral("data");
inline const QString API_KEY_MAC_DATA = QStringLiteral("macData");
inline const QString API_KEY_FREQ = QStringLiteral("freq");
inline const QString API_KEY_DR = QStringLiteral("dr");
inline const QString API_KEY_RSSI = QStringLiteral("rssi");
inline const QString API_KEY_SNR = QStringLiteral("snr");
inline const QString API_KEY_TYPE = QStringLiteral("type");
inline const QString API_KEY_PACKET_STATUS = QStringLiteral("packetStatus");
inline const QString API_KEY_UPDATE_STATUS = QStringLiteral("update_status");
inline const QString API_KEY_DELETE_KEYS = QStringLiteral("delete_keys");
inline const QString API_KEY_DELETE_STATUS = QStringLiteral("delete_status");
inline const QString API_KEY_GATEWAY_LIST = QStringLiteral("gateway_list");
inline const QString API_KEY_EXTRA_INFO = QStringLiteral("extraInfo");
inline const QString API_KEY_ACTIVE = QStringLiteral("active");
inline const QString API_KEY_LATENCY = QStringLiteral("latency");
inline const QString API_KEY_DOWNLINK_CHANNEL = QStringLiteral("downlinkChannel");
inline const QString API_KEY_MAX_POWER = QStringLiteral("maxPower");
inline const QString API_KEY_RX_ONLY = QStringLiteral("rxOnly");
inline const QString API_KEY_COMPANION_GATEWAY = QStringLiteral("companionGateway");
inline const QString API_KEY_POSITION = QStringLiteral("position");
inline const QString API_KEY_LONGITUDE = QStringLiteral("longitude");
inline const QString API_KEY_LATITUDE = QStringLiteral("latitude");
inline const QString API_KEY_ALTITUDE = QStringLiteral("altitude");
inline const QString API_KEY_GATEWAY_ADD_STATUS = QStringLiteral("gateway_add_status");
inline const QString API_KEY_LAST_ONLINE = QStringLiteral("lastOnline");
inline const QString API_KEY_ABP = QStringLiteral("ABP");
inline const QString API_KEY_DEV_ADDRESS = QStringLiteral("devAddress");
inline const QString API_KEY_APPS_KEY = QStringLiteral("appsKey");
inline const QString API_KEY_NWKS_KEY = QStringLiteral("nwksKey");
inline const QString API_KEY_OTAA = QStringLiteral("OTAA");
inline const QString API_KEY_APP_EUI = QStringLiteral("appEui");
inline const QString API_KEY_APP_KEY = QStringLiteral("appKey");
inline const QString API_KEY_LAST_JOIN_TS = QStringLiteral("last_join_ts");
inline const QString API_KEY_FREQUENCY_PLAN = QStringLiteral("frequencyPlan");
inline const QString API_KEY_FREQ4 = QStringLiteral("freq4");
inline const QString API_KEY_FREQ5 = QStringLiteral("freq5");
inline const QString API_KEY_FREQ6 = QStringLiteral("freq6");
inline const QString API_KEY_FREQ7 = QStringLiteral("freq7");
inline const QString API_KEY_FREQ8 = QStringLiteral("freq8");
inline const QString API_KEY_CHANNEL_MASK = QStringLiteral("channelMask");
inline const QString API_KEY_CHANNEL1_EN = QStringLiteral("channel1En");
inline const QString API_KEY_CHANNEL2_EN = QStringLiteral("channel2En");
inline const QString API_KEY_CHANNEL3_EN = QStringLiteral("channel3En");
inline const QString API_KEY_CHANNEL4_EN = QStringLiteral("channel4En");
inline const QString API_KEY_CHANNEL5_EN = QStringLiteral("channel5En");
inline const QString API_KEY_CHANNEL6_EN = QStringLiteral("channel6En");
inline const QString API_KEY_CHANNEL7_EN = QStringLiteral("channel7En");
inline const QString API_KEY_CHANNEL8_EN = QStringLiteral("channel8En");
inline const QString API_KEY_CHANNEL9_EN = QStringLiteral("channel9En");
inline const QString API_KEY_CHANNEL10_EN = QStringLiteral("channel10En");
inline const QString API_KEY_CHANNEL11_EN = QStringLiteral("channel11En");
inline const QString API_KEY_CHANNEL12_EN = QStringLiteral("channel12En");
inline const QString API_KEY_CHANNEL13_EN = QStringLiteral("channel13En");
inline const QString API_KEY_CHANNEL14_EN = QStringLiteral("channel14En");
inline const QString API_KEY_CHANNEL15_EN = QStringLiteral("channel15En");
inline const QString API_KEY_CHANNEL16_EN = QStringLiteral("channel16En");
inline const QString API_KEY_CLASS = QStringLiteral("class");
inline const QString API_KEY_RX_WINDOW = QStringLiteral("rxWindow");
inline const QString API_KEY_DELAY_RX1 = QStringLiteral("delayRx1");
inline const QString API_KEY_DELAY_RX2 = QStringLiteral("delayRx2");
inline const QString API_KEY_DELAY_JOIN1 = QStringLiteral("delayJoin1");
inline const QString API_KEY_DELAY_JOIN2 = QStringLiteral("delayJoin2");
inline const QString API_KEY_DR_RX2 = QStringLiteral("drRx2");
inline const QString API_KEY_FREQ_RX2 = QStringLiteral("freqRx2");
inline const QString API_KEY_ADR = QStringLiteral("adr");
inline const QString API_KEY_PREFER_DR = QStringLiteral("preferDr");
inline const QString API_KEY_PREFER_POWER = QStringLiteral("preferPower");
inline const QString API_KEY_LAST_RSSI = QStringLiteral("lastRssi");
inline const QString API_KEY_LAST_SNR = QStringLiteral("lastSnr");
inline const QString API_KEY_REACTION_TIME = QStringLiteral("reactionTime");
inline const QString API_KEY_USE_DOWNLINK_QUEUE_CLASS_C = QStringLiteral("useDownlinkQueueClassC");
inline const QString API_KEY_SERVER_ADR_ENABLE = QStringLiteral("serverAdrEnable");
inline const QString API_KEY_DEVICE_ADD_STATUS = QStringLiteral("device_add_status");
inline const QString API_KEY_SETTINGS_APPLY_STATUS = QStringLiteral("settingsApplyStatus");
inline const QString API_KEY_CHANNEL_MASK_APLLIED = QStringLiteral("channelMaskApllied");
inline const QString API_KEY_DELAY_RX1_APPLIED = QStringLiteral("delayRx1Applied");
inline const QString API_KEY_DR_RX2_APPLIED = QStringLiteral("drRx2Applied");
inline const QString API_KEY_FREQ_RX2_APPLIED = QStringLiteral("freqRx2Applied");
inline const QString API_KEY_FREQ4_APPLIED = QStringLiteral("freq4Applied");
inline const QString API_KEY_FREQ5_APPLIED = QStringLiteral("freq5Applied");
inline const QString API_KEY_FREQ6_APPLIED = QStringLiteral("freq6Applied");
inline const QString API_KEY_FREQ7_APPLIED = QStringLiteral("freq7Applied");
inline const QString API_KEY_FREQ8_APPLIED = QStringLiteral("freq8Applied");
inline const QString API_KEY_ACTION = QStringLiteral("action");
inline const QString API_KEY_TS_LIST = QStringLiteral("ts_list");
inline const QString API_KEY_QUEUE_MANAGE_STATUS = QStringLiteral("queue_manage_status");
inline const QString API_KEY_HEX = QStringLiteral("hex");
inline const QString API_KEY_MESSAGE = QStringLiteral("message");
inline const QString API_KEY_COLOR = QStringLiteral("color");

// Command names
inline const QString API_CMD_AUTH_REQ = QStringLiteral("auth_req");
inline const QString API_CMD_AUTH_RESP = QStringLiteral("auth_resp");
inline const QString API_CMD_CLOSE_AUTH_REQ = QStringLiteral("close_auth_req");
inline const QString API_CMD_CLOSE_AUTH_RESP = QStringLiteral("close_auth_resp");
inline const QString API_CMD_TOKEN_AUTH_REQ = QStringLiteral("token_auth_req");
inline const QString API_CMD_TOKEN_AUTH_RESP = QStringLiteral("token_auth_resp");
inline const QString API_CMD_GET_USERS_REQ = QStringLiteral("get_users_req");
inline const QString API_CMD_GET_USERS_RESP = QStringLiteral("get_users_resp");
inline const QString API_CMD_MANAGE_USERS_REQ = QStringLiteral("manage_users_req");
inline const QString API_CMD_MANAGE_USERS_RESP = QStringLiteral("manage_users_resp");
inline const QString API_CMD_ALTER_USER_RESP = QStringLiteral("alter_user_resp");
inline const QString API_CMD_DELETE_USERS_REQ = QStringLiteral("delete_users_req");
inline const QString API_CMD_DELETE_USERS_RESP = QStringLiteral("delete_users_resp");
inline const QString API_CMD_GET_DEVICE_APPDATA_REQ = QStringLiteral("get_device_appdata_req");
inline const QString API_CMD_GET_DEVICE_APPDATA_RESP = QStringLiteral("get_device_appdata_resp");
inline const QString API_CMD_GET_DATA_REQ = QStringLiteral("get_data_req");
inline const QString API_CMD_GET_DATA_RESP = QStringLiteral("get_data_resp");
inline const QString API_CMD_SEND_DATA_REQ = QStringLiteral("send_data_req");
inline const QString API_CMD_SEND_DATA_RESP = QStringLiteral("send_data_resp");
inline const QString API_CMD_MANAGE_DEVICE_APPDATA_REQ = QStringLiteral("manage_device_appdata_req");
inline const QString API_CMD_MANAGE_DEVICE_APPDATA_RESP = QStringLiteral("manage_device_appdata_resp");
inline const QString API_CMD_DELETE_DEVICE_APPDATA_REQ = QStringLiteral("delete_device_appdata_req");
inline const QString API_CMD_DELETE_DEVICE_APPDATA_RESP = QStringLiteral("delete_device_appdata_resp");
inline const QString API_CMD_GET_GATEWAYS_REQ = QStringLiteral("get_gateways_req");
inline const QString API_CMD_GET_GATEWAYS_RESP = QStringLiteral("get_gateways_resp");
inline const QString API_CMD_MANAGE_GATEWAYS_REQ = QStringLiteral("manage_gateways_req");
inline const QString API_CMD_MANAGE_GATEWAYS_RESP = QStringLiteral("manage_gateways_resp");
inline const QString API_CMD_DELETE_GATEWAYS_REQ = QStringLiteral("delete_gateways_req");
inline const QString API_CMD_DELETE_GATEWAYS_RESP = QStringLiteral("delete_gateways_resp");
inline const QString API_CMD_GET_DEVICES_REQ = QStringLiteral("get_devices_req");
inline const QString API_CMD_GET_DEVICES_RESP = QStringLiteral("get_devices_resp");
inline const QString API_CMD_MANAGE_DEVICES_REQ = QStringLiteral("manage_devices_req");
inline const QString API_CMD_MANAGE_DEVICES_RESP = QStringLiteral("manage_devices_resp");
inline const QString API_CMD_DELETE_DEVICES_REQ = QStringLiteral("delete_devices_req");
inline const QString API_CMD_DELETE_DEVICES_RESP = QStringLiteral("delete_devices_resp");
inline const QString API_CMD_GET_COVERAGE_MAP_REQ = QStringLiteral("get_coverage_map_req");
inline const QString API_CMD_GET_COVERAGE_MAP_RESP = QStringLiteral("get_coverage_map_resp");
inline const QString API_CMD_GET_DEVICE_DOWNLINK_QUEUE_REQ = QStringLiteral("get_device_downlink_queue_req");
inline const QString API_CMD_GET_DEVICE_DOWNLINK_QUEUE_RESP = QStringLiteral("get_device_downlink_queue_resp");
inline const QString API_CMD_MANAGE_DEVICE_DOWNLINK_QUEUE_REQ = QStringLiteral("manage_device_downlink_queue_req");
inline const QString API_CMD_MANAGE_DEVICE_DOWNLINK_QUEUE_RESP = QStringLiteral("manage_device_downlink_queue_resp");
inline const QString API_CMD_RX = QStringLiteral("rx");
inline const QString API_CMD_TX = QStringLiteral("tx");
inline const QString API_CMD_CONSOLE = QStringLiteral("console");

// Command access names
inline const QString API_ACCESS_GET_USERS = QStringLiteral("get_users");
inline const QString API_ACCESS_MANAGE_USERS = QStringLiteral("manage_users");
inline const QString API_ACCESS_DELETE_USERS = QStringLiteral("delete_users");
inline const QString API_ACCESS_GET_DEVICE_APPDATA = QStringLiteral("get_device_appdata");
inline const QString API_ACCESS_GET_DATA = QStringLiteral("get_data");
inline const QString API_ACCESS_SEND_DATA = QStringLiteral("send_data");
inline const QString API_ACCESS_MANAGE_DEVICE_APPDATA = QStringLiteral("manage_device_appdata");
inline const QString API_ACCESS_DELETE_DEVICE_APPDATA = QStringLiteral("delete_device_appdata");
inline const QString API_ACCESS_GET_GATEWAYS = QStringLiteral("get_gateways");
inline const QString API_ACCESS_MANAGE_GATEWAYS = QStringLiteral("manage_gateways");
inline const QString API_ACCESS_DELETE_GATEWAYS = QStringLiteral("delete_gateways");
inline const QString API_ACCESS_GET_DEVICES = QStringLiteral("get_devices");
inline const QString API_ACCESS_MANAGE_DEVICES = QStringLiteral("manage_devices");
inline const QString API_ACCESS_DELETE_DEVICES = QStringLiteral("delete_devices");
inline const QString API_ACCESS_GET_COVERAGE_MAP = QStringLiteral("get_coverage_map");
inline const QString API_ACCESS_GET_DEVICE_DOWNLINK_QUEUE = QStringLiteral("get_device_downlink_queue");
inline const QString API_ACCESS_MANAGE_DEVICE_DOWNLINK_QUEUE = QStringLiteral("manage_device_downlink_queue");
inline const QString API_ACCESS_TX = QStringLiteral("tx");

// Status values
inline const QString API_STATUS_ADDED = QStringLiteral("added");
inline const QString API_STATUS_UPDATED = QStringLiteral("updated");
inline const QString API_STATUS_NOT_ADDED = QStringLiteral("notAdded");
inline const QString API_STATUS_NOTHING_TO_UPDATE = QStringLiteral("nothingToUpdate");
inline const QString API_STATUS_UPDATE_VIA_MAC_BUFFER = QStringLiteral("updateViaMacBuffer");
inline const QString API_STATUS_SERVER_INTERNAL_ERROR = QStringLiteral("serverInternalError");
inline const QString API_STATUS_DATA_ADDED = QStringLiteral("dataAdded");
inline const QString API_STATUS_DATA_IGNORED_QUEUE_DO_NOT_USED = QStringLiteral("dataIgnored-queueDoNotUsed");
inline const QString API_STATUS_FULL = QStringLiteral("FULL");
inline const QString API_STATUS_SELECTED = QStringLiteral("SELECTED");
inline const QString API_STATUS_EMPTY_DATA_FOR_UPDATE = QStringLiteral("emptyDataForUpdate");
inline const QString API_STATUS_INVALID_DEV_EUI = QStringLiteral("invalidDevEui");
inline const QString API_STATUS_INVALID_ABP_PARAM_LIST = QStringLiteral("invalidAbpParamList");
inline const QString API_STATUS_INVALID_DEV_ADDR_VALUE = QStringLiteral("invalidDevAddrValue");
inline const QString API_STATUS_INVALID_SESSION_KEY_VALUE = QStringLiteral("invalidSessionKeyValue");
inline const QString API_STATUS_INVALID_OTAA_PARAM_LIST = QStringLiteral("invalidOtaaParamList");
inline const QString API_STATUS_FREQUENCY_PLAN_IS_ABSENT = QStringLiteral("frequencyPlanIsAbsent");
inline const QString API_STATUS_INVALID_FREQUENCY_PLAN = QStringLiteral("invalidFrequencyPlan");
inline const QString API_STATUS_INVALID_APP_KEY_VALUE = QStringLiteral("invalidAppKeyValue");
inline const QString API_STATUS_INVALID_CHANNEL_MASK_PARAM_LIST = QStringLiteral("invalidChannelMaskParamList");
inline const QString API_STATUS_INVALID_CLASS = QStringLiteral("invalidClass");
inline const QString API_STATUS_UNSUPPORT_CLASS = QStringLiteral("unsupportClass");
inline const QString API_STATUS_INVALID_RX_WINDOW = QStringLiteral("invalidRxWindow");
inline const QString API_STATUS_INVALID_DATA_RATE = QStringLiteral("invalidDataRate");
inline const QString API_STATUS_INVALID_POWER = QStringLiteral("invalidPower");
inline const QString API_STATUS_INVALID_DELAY = QStringLiteral("invalidDelay");
inline const QString API_STATUS_NO_REGISTER_KEYS = QStringLiteral("noRegisterKeys");
inline const QString API_STATUS_REPETITION_DEV_ADDR = QStringLiteral("repetitionDevAddr");
inline const QString API_STATUS_ABP_REGINFO_ALREADY_EXIST = QStringLiteral("abpReginfoAlreadyExist");
inline const QString API_STATUS_OTAA_REGINFO_ALREADY_EXIST = QStringLiteral("otaaReginfoAlreadyExist");
inline const QString API_STATUS_REGINFO_ALREADY_EXIST = QStringLiteral("reginfoAlreadyExist");
inline const QString API_STATUS_MAX_DEV_COUNT_REACHED = QStringLiteral("maxDevCountReached");

// Error strings
inline const QString API_ERR_INVALID_JSON_MSG = QStringLiteral("invalid_json_msg");
inline const QString API_ERR_CMD_NOT_FOUND = QStringLiteral("cmd_not_found");
inline const QString API_ERR_UNKNOWN_CMD = QStringLiteral("unknown_cmd");
inline const QString API_ERR_UNKNOWN_AUTH = QStringLiteral("unknown_auth");
inline const QString API_ERR_INVALID_CMD = QStringLiteral("invalid_cmd");
inline const QString API_ERR_EMPTY_INPUT_PARAMETER_LIST = QStringLiteral("empty_input_parameter_list");
inline const QString API_ERR_INACCESSIBLE_COMMAND = QStringLiteral("inaccessible_command");
inline const QString API_ERR_INACCESSIBLE_DEV_EUI = QStringLiteral("inaccessible_devEui");
inline const QString API_ERR_SERVER_INTERNAL_ERROR = QStringLiteral("server_internal_error");
inline const QString API_ERR_INVALID_LOGIN_OR_PASSWORD = QStringLiteral("invalid_login_or_password");
inline const QString API_ERR_INVALID_TOKEN = QStringLiteral("invalid_token");
inline const QString API_ERR_DALETE = QStringLiteral("dalete");
inline const QString API_ERR_INVALID_DIRECTION = QStringLiteral("invalidDirection");
inline const QString API_ERR_NO_ATTRIBUTES = QStringLiteral("no_attributes");
inline const QString API_ERR_ADD_DATA_INFO = QStringLiteral("add_data_info");
inline const QString API_ERR_NO_REGINFO = QStringLiteral("no_reginfo");
inline const QString API_ERR_NO_COMMAND_AND_DEV_EUI = QStringLiteral("no_command_and_devEui");

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

// ---- Further date and time formats ----
inline const QString DATE_FORMAT = QStringLiteral("dd-MMM-yy");
inline const QString DATE_FORMAT_ISO = QStringLiteral("yyyy-MM-dd");
inline const QString TIME_FORMAT_SHORT = QStringLiteral("HH:mm");
inline const QString TIME_FORMAT = QStringLiteral("HH:mm:ss");
inline const QString TIME_FORMAT_MINUTES = QStringLiteral("mm:ss");
inline const QString DATE_TIME_FORMAT_SHORT = QStringLiteral("dd-MMM-yy HH:mm");
inline const QString DATE_TIME_FORMAT_ISO = QStringLiteral("yyyy-MM-dd hh:mm:ss");
inline const QString DATE_FORMAT_ISO_2 = QStringLiteral("yyyy-MM-dd");
inline const QString DATE_TIME_FORMAT_DOTTED = QStringLiteral("dd.MMM.yy HH:mm:ss");
inline const QString DATE_TIME_FORMAT_TWO_LINES = QStringLiteral("dd.MMM.yy\nHH:mm:ss");
inline const QString DATE_TIME_FORMAT_FILE_NAME = QStringLiteral("yyyy-MM-dd_hh-mm-ss");
