#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "fuzz/fuzzsupport.h"
#include "server/mqttmessages.h"

// The MQTT uplink messages of ChirpStack v4 and The Things Stack v3, with or without the
// object the server decoded, through to the registers of a network-decoded template.
// Input: one selector byte (bit 0: The Things Stack, bit 1: little word order), one byte
// of topic length, the topic, then the message.

namespace {

const char *DECODED_TEMPLATE = R"({ "app_eui": "0000000000000001", "dev_type": "Decoded",
    "decoder": { "network": true },
    "server_data": [ { "data_code": "errors", "reg_map_bias": 0, "reg_bit_bias": 0, "reg_bit_size": 16,
                       "data_name": "Errors" } ],
    "decoded_fields": [
        { "path": "temperature", "reg_map_bias": 1, "reg_format": "int16", "multiplier": 10, "data_name": "T" },
        { "path": "sensors[1].value", "reg_map_bias": 2, "reg_format": "float32", "data_name": "CO2" },
        { "path": "door", "reg_map_bias": 4, "reg_format": "uint16", "map": { "open": 1 }, "data_name": "Door" },
        { "path": "[\"a.b\"].c", "reg_map_bias": 5, "reg_format": "uint32", "data_name": "Wide" },
        { "path": "ok", "reg_map_bias": 7, "reg_format": "bool", "data_name": "Ok" },
        { "path": "fw", "reg_map_bias": 8, "reg_format": "text", "reg_bit_size": 32, "data_name": "Fw" } ] })";

const SDeviceTemplate &decodedTemplate()
{
    static const SDeviceTemplate parsed(QJsonDocument::fromJson(DECODED_TEMPLATE).object());
    return parsed;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    FUZZ_CHECK(decodedTemplate().valid);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    FUZZ::CInput input(_data, _size);
    const uint8_t selector = input.byte();
    const QByteArray topic = input.bytes(input.byte());
    const QByteArray message = input.rest();
    const EServerKind kind = selector & 1 ? EServerKind::eTts : EServerKind::eChirpStack;
    const API::SMqttUplink uplink = API::parseMqttUplink(kind, topic, message, 1700000000000ULL);
    if (!uplink.valid) {
        FUZZ_CHECK(!uplink.error.isEmpty());
        return 0;
    }
    static const QRegularExpression eui(QStringLiteral("^[0-9A-F]{16}$"));
    FUZZ_CHECK(eui.match(uplink.data.devEui).hasMatch());
    FUZZ_CHECK(uplink.data.hasDecoded || uplink.data.decoded.isEmpty());

    DB::SDeviceRegMapDescription device;
    device.wordOrder = selector & 2 ? EWordOrder::Little : EWordOrder::Big;
    SCodecResult decoded;
    if (uplink.data.hasDecoded)
        decoded.data = uplink.data.decoded;
    else
        decoded.error = QStringLiteral("no object");
    const SDecodedUplink result = decodeObjectUplink(
        uplink.data, decodedTemplate(), device,
        CRegisterScaling(), decoded);
    FUZZ_CHECK(result.accepted == uplink.data.hasDecoded);
    FUZZ_CHECK(result.counters.errors == (uplink.data.hasDecoded ? 0u : 1u));
    // Every register belongs to one value and lies within its registers: 0 errors, 1 T, 2-3 CO2,
    // 4 door, 5-6 wide, 7 ok, 8-9 fw; a refused uplink writes only its counter.
    for (const SRegisterValue &reg : result.data.registers) {
        FUZZ_CHECK(reg.regOffset >= 0 && reg.regOffset <= 9);
        FUZZ_CHECK(result.accepted || reg.regOffset == 0);
        FUZZ_CHECK(reg.value.size() >= 1 && reg.value.size() <= 4);
    }
    return 0;
}
