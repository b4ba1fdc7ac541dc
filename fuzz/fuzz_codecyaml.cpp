#include "devices/codecexamples.h"
#include "fuzz/fuzzsupport.h"

// Codec definition files of the device repository (YAML), read for their uplink examples.
// Input: the file. What reads is a list of examples each with a port, bytes and either an
// expected refusal or an expected object, which agrees with itself.

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    const QByteArray text(reinterpret_cast<const char *>(_data), int(_size));
    QList<SCodecExample> examples;
    QString error;
    const bool read = readCodecExamplesYaml(text, &examples, &error);
    FUZZ_CHECK(read == error.isEmpty());
    if (!read)
        return 0;
    for (const SCodecExample &example : examples) {
        FUZZ_CHECK(example.fPort >= 0 && example.fPort <= 255);
        FUZZ_CHECK(example.whole);
        FUZZ_CHECK(example.expectErrors || example.data.isObject());
        FUZZ_CHECK(firstDifference(example.data, example.data, QString()).isEmpty());
        SCodecResult refused;
        refused.error = QStringLiteral("refused");
        FUZZ_CHECK(exampleProblem(example, refused).isEmpty() == example.expectErrors);
    }
    return 0;
}
