#include "app/globaltables.h"

#include "app/constants.h"

QStringList devicesColumns;
QStringList devDataColumns;
QMap<QString, SServerKeyword> serverKeywordTable;
QStringList loraPacketTypes;

void fillGlobalTables()
{
    devicesColumns << QStringLiteral("device") << QStringLiteral("name") << QStringLiteral("app_eui")
                   << QStringLiteral("dev_eui") << QStringLiteral("port") << QStringLiteral("start_addr");

    devDataColumns << QStringLiteral("device") << QStringLiteral("port") << QStringLiteral("reg_addr")
                   << QStringLiteral("start_value") << QStringLiteral("grating_period")
                   << QStringLiteral("bit_size") << QStringLiteral("data_type") << QStringLiteral("value")
                   << QStringLiteral("full_value") << QStringLiteral("time") << QStringLiteral("name")
                   << QStringLiteral("unit") << QStringLiteral("parent") << QStringLiteral("source");

    const auto addKeyword = [](const QString &keyword, int bitSize, const QString &dataType) {
        serverKeywordTable.insert(keyword, SServerKeyword{keyword, bitSize, dataType});
    };
    addKeyword(SERVER_KEYWORD_TS, 64, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_RSSI, 16, DATA_TYPE_INTEGER);
    addKeyword(SERVER_KEYWORD_GATEWAY_ID, 64, DATA_TYPE_TEXT);
    addKeyword(SERVER_KEYWORD_DEV_EUI, 64, DATA_TYPE_TEXT);
    addKeyword(SERVER_KEYWORD_SNR, 16, DATA_TYPE_INTEGER);
    addKeyword(SERVER_KEYWORD_FCNT, 32, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_DOWNLINK, 16, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_AGE, 32, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_UPLINKS, 32, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_LOST, 32, DATA_TYPE_UINTEGER);
    addKeyword(SERVER_KEYWORD_ERRORS, 32, DATA_TYPE_UINTEGER);

    loraPacketTypes << QStringLiteral("UNCONF_UP") << QStringLiteral("UNCONF_DOWN") << QStringLiteral("CONF_UP")
                    << QStringLiteral("CONF_DOWN") << QStringLiteral("JOIN_REQ") << QStringLiteral("JOIN_ACC")
                    << QStringLiteral("MAC_LINKCHECK_REQ") << QStringLiteral("MAC_LINKCHECK_ANS")
                    << QStringLiteral("MAC_LINKADR_REQ") << QStringLiteral("MAC_LINKADR_ANS")
                    << QStringLiteral("MAC_DUTYCYCLE_REQ") << QStringLiteral("MAC_DUTYCYCLE_ANS")
                    << QStringLiteral("MAC_RXPARAMSETUP_REQ") << QStringLiteral("MAC_RXPARAMSETUP_ANS")
                    << QStringLiteral("MAC_DEVSTATUS_REQ") << QStringLiteral("MAC_DEVSTATUS_ANS")
                    << QStringLiteral("MAC_NEWCHAN_REQ") << QStringLiteral("MAC_NEWCHAN_ANS")
                    << QStringLiteral("MAC_RXTIMING_REQ") << QStringLiteral("MAC_RXTIMING_ANS")
                    << QStringLiteral("MAC_TXPARAM_REQ") << QStringLiteral("MAC_TXPARAM_ANS")
                    << QStringLiteral("MAC_DLCHAN_REQ") << QStringLiteral("MAC_DLCHAN_ANS")
                    << QStringLiteral("MAC_PROPRIETARY");
}
