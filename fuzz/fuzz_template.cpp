#include <QJsonDocument>
#include <QJsonObject>

#include "app/globaltables.h"
#include "devices/devicetemplate.h"
#include "fuzz/fuzzsupport.h"

// Template parsing: any bytes as a template file, then the register map it exposes.

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(_data), int(_size));
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const SDeviceTemplate parsed(document.object());
    const SDeviceRegMap regMap = regMapOfTemplate(parsed);

    if (!parsed.valid) {
        // Nothing but the defaults and what was read before the refusal.
        FUZZ_CHECK(parsed.serverData.isEmpty());
        FUZZ_CHECK(parsed.packets.isEmpty());
        return 0;
    }
    FUZZ_CHECK(parsed.problems.isEmpty());
    FUZZ_CHECK(parsed.appEui == parsed.appEui.toUpper());
    FUZZ_CHECK(parsed.color.startsWith(QLatin1Char('#')));
    FUZZ_CHECK(!parsed.packets.isEmpty());

    int fields = 0;
    for (auto it = parsed.packets.cbegin(); it != parsed.packets.cend(); ++it) {
        FUZZ_CHECK(it->valid);
        FUZZ_CHECK(!it->fields.isEmpty());
        FUZZ_CHECK(it.key() == packetTypeKey(it->packetType));
        for (const SDevicePacketField &field : it->fields) {
            FUZZ_CHECK(field.valid);
            // Inside the packet, or inside the longest payload when the packet has no size.
            const qint64 bytes = it->packetSize > 0 ? it->packetSize : 255;
            FUZZ_CHECK(field.packetBias >= 0 && field.dataBitSize > 0);
            FUZZ_CHECK(qint64(field.packetBias) * 8 + field.dataBitSize <= bytes * 8);
        }
        fields += it->fields.size();
    }
    for (auto it = parsed.serverData.cbegin(); it != parsed.serverData.cend(); ++it) {
        FUZZ_CHECK(it->valid);
        FUZZ_CHECK(it.key() == it->keyword);
        const auto row = serverKeywordTable.constFind(it->keyword);
        FUZZ_CHECK(row != serverKeywordTable.constEnd());
        FUZZ_CHECK(it->bitSize == row->bitSize && it->dataType == row->dataType);
    }

    // One register description per value: server values first, then payload fields.
    FUZZ_CHECK(regMap.appEui == parsed.appEui);
    FUZZ_CHECK(regMap.registers.size() == parsed.serverData.size() + fields);
    for (int i = 0; i < regMap.registers.size(); ++i) {
        const SRegisterDescription &reg = regMap.registers.at(i);
        FUZZ_CHECK(reg.source == (i < parsed.serverData.size() ? 0 : 1));
        // Every value's registers lie within the register space.
        FUZZ_CHECK(reg.offset >= 0 && reg.bitSize > 0);
        FUZZ_CHECK(qint64(reg.offset) + (qint64(reg.bitSize) + 15) / 16 <= 65536);
    }
    return 0;
}
