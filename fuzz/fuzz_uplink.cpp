#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

#include <limits>

#include "devices/devicetemplate.h"
#include "devices/uplinkdecoder.h"
#include "fuzz/fuzzsupport.h"
#include "server/apimessages.h"
#include "server/apitypes.h"

// Uplink messages from the network server through to register texts. Input: one selector
// byte, then the message text. Selector bits 0-1 pick one of the sample templates, or (3)
// take a template from the input: two bytes of length (little-endian), then its bytes.
// Bits 2-4 pick the register parameters, bits 5-7 the device's start address.

namespace {

QList<SDeviceTemplate> &sampleTemplates()
{
    static QList<SDeviceTemplate> templates;
    return templates;
}

SDeviceTemplate readTemplate(const QByteArray &_bytes)
{
    return SDeviceTemplate(QJsonDocument::fromJson(_bytes).object());
}

SRegisterParam paramsOf(int _choice)
{
    const qint32 min = std::numeric_limits<qint32>::min();
    const qint32 max = std::numeric_limits<qint32>::max();
    const qint32 table[8][2]
        = { { 0, 1 }, { 5, 10 }, { -1, -1 }, { min, -1 }, { max, max }, { 0, 0 }, { min, min }, { 1000, 3 } };
    SRegisterParam param;
    param.startValue = table[_choice][0];
    param.gratingPeriod = table[_choice][1];
    return param;
}

qint32 startAddressOf(int _choice)
{
    const qint32 table[8] = { 0, 1, 100, 1000, 40000, 65535, 65536, std::numeric_limits<qint32>::max() };
    return table[_choice];
}

// Registers a value of that width may take in the map.
qint64 ownRegisters(qint32 _bits)
{
    return _bits <= 16 ? 1 : (qint64(_bits) + 15) / 16;
}

struct SValuePlace
{
    qint64 base;
    qint64 registers;
};

void checkDecoded(const SDecodedUplink &_decoded, const API::SApiDeviceData &_uplink, const SDeviceTemplate &_template,
    const DB::SDeviceRegMapDescription &_device)
{
    FUZZ_CHECK(_decoded.data.devEui == _uplink.devEui);
    FUZZ_CHECK(_decoded.data.startAddr == _device.startAddr);
    if (!_decoded.accepted) {
        FUZZ_CHECK(_decoded.data.registers.isEmpty());
        FUZZ_CHECK(!_decoded.logLines.isEmpty());
        return;
    }
    FUZZ_CHECK(!_uplink.data.isEmpty());
    const auto packet = _template.packets.constFind(packetTypeKey(qint8(_uplink.data.at(0))));
    FUZZ_CHECK(packet != _template.packets.constEnd());
    FUZZ_CHECK(packet->packetSize == _uplink.data.size());

    QList<SValuePlace> places;
    for (const SServerData &server : _template.serverData)
        places << SValuePlace { server.regMapBias, ownRegisters(server.regBitSize) };
    for (const SDevicePacketField &field : packet->fields)
        places << SValuePlace { field.regMapBias, ownRegisters(field.regBitSize) };

    // Each value: a first register carrying the whole text, then its continuations at
    // the following offsets, together no more registers than the value's width allows.
    const QVector<SRegisterValue> &registers = _decoded.data.registers;
    int i = 0;
    while (i < registers.size()) {
        const SRegisterValue &first = registers.at(i);
        FUZZ_CHECK(!first.fullValue.isEmpty());
        QString joined = first.value;
        int count = 1;
        while (i + count < registers.size() && registers.at(i + count).fullValue.isEmpty()) {
            FUZZ_CHECK(qint64(registers.at(i + count).regOffset) == qint64(first.regOffset) + count);
            joined += registers.at(i + count).value;
            ++count;
        }
        for (int k = i; k < i + count; ++k)
            FUZZ_CHECK(registers.at(k).value.size() >= 1 && registers.at(k).value.size() <= 4);
        // An identifier over four registers keeps its whole text as the full value, even
        // past the sixteen characters the registers hold.
        FUZZ_CHECK(
            joined == first.fullValue || (count == 4 && joined.size() == 16 && first.fullValue.startsWith(joined)));
        bool placed = false;
        for (const SValuePlace &place : places)
            placed = placed || (place.base == first.regOffset && count <= place.registers);
        FUZZ_CHECK(placed);
        i += count;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    for (const char *name : { "th-sensor.json", "pulse-counter.json", "status-reporter.json" }) {
        QFile file(QStringLiteral(KELVARA_SOURCE_DIR "/examples/") + QLatin1String(name));
        if (!file.open(QIODevice::ReadOnly))
            FUZZ::fail("sample template not readable", __FILE__, __LINE__);
        const SDeviceTemplate sample = readTemplate(file.readAll());
        if (!sample.valid)
            FUZZ::fail("sample template not valid", __FILE__, __LINE__);
        sampleTemplates() << sample;
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    FUZZ::CInput input(_data, _size);
    const uint8_t selector = input.byte();
    const int templateChoice = selector & 3;
    const SDeviceTemplate deviceTemplate = templateChoice < sampleTemplates().size()
        ? sampleTemplates().at(templateChoice)
        : readTemplate(input.bytes(input.word()));

    QJsonObject message;
    if (!API::parseMessage(QString::fromUtf8(input.rest()), message))
        return 0;
    const API::SApiDeviceData uplink(message);
    // The server link passes on only records that hold an uplink; a refused one holds
    // nothing but its DevEUI.
    if (!uplink.refusal.isEmpty()) {
        FUZZ_CHECK(uplink.data.isEmpty() && uplink.fcnt == 0 && uplink.ts == 0 && uplink.gatewayId.isEmpty());
        return 0;
    }
    if (uplink.devEui.isEmpty())
        return 0;
    FUZZ_CHECK(uplink.devEui == uplink.devEui.toUpper());
    FUZZ_CHECK(uplink.gatewayId == uplink.gatewayId.toUpper() && !uplink.gatewayId.contains(QLatin1Char('+')));

    DB::SDeviceRegMapDescription device;
    device.devEui = uplink.devEui;
    device.appEui = deviceTemplate.appEui;
    device.startAddr = startAddressOf((selector >> 5) & 7);
    // One scaling for every field's register.
    const SRegisterParam param = paramsOf((selector >> 2) & 7);
    QVector<SRegisterScale> scales;
    for (const SDevicePacket &packet : deviceTemplate.packets) {
        for (const SDevicePacketField &field : packet.fields)
            scales.append(SRegisterScale { qint64(device.startAddr) + field.regMapBias, param.startValue,
                                           param.gratingPeriod });
    }
    const SDecodedUplink decoded = decodeUplink(uplink, deviceTemplate, device, CRegisterScaling(scales));
    checkDecoded(decoded, uplink, deviceTemplate, device);
    return 0;
}
