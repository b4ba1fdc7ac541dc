#include <QJsonDocument>
#include <QJsonObject>

#include "devices/decodedpath.h"
#include "fuzz/fuzzsupport.h"

// Paths of decoded fields as a template writes them. Input: the path text (UTF-8).
// A path that parses is written back to a text that parses to the same steps, and leads
// into a decoded object without reading past it.

namespace {

bool sameSteps(const QList<SPathStep> &_a, const QList<SPathStep> &_b)
{
    if (_a.size() != _b.size())
        return false;
    for (int i = 0; i < _a.size(); ++i) {
        if (_a.at(i).isIndex != _b.at(i).isIndex || _a.at(i).key != _b.at(i).key || _a.at(i).index != _b.at(i).index)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(_data), int(_size));
    QString error;
    const QList<SPathStep> steps = parseDecodedPath(text, &error);
    FUZZ_CHECK(steps.isEmpty() != error.isEmpty());
    if (steps.isEmpty())
        return 0;
    for (const SPathStep &step : steps)
        FUZZ_CHECK(step.isIndex ? step.index >= 0 && step.key.isEmpty() : true);
    QString again;
    const QList<SPathStep> reparsed = parseDecodedPath(pathText(steps), &again);
    FUZZ_CHECK(again.isEmpty());
    FUZZ_CHECK(sameSteps(steps, reparsed));
    static const QJsonObject decoded
        = QJsonDocument::fromJson(R"({"a": [1, {"b": [true, "x"]}], "a.b": {"c": 2}, "": {"": 3}, "0": [[0]]})")
              .object();
    const QJsonValue value = valueAtPath(decoded, steps);
    Q_UNUSED(value)
    return 0;
}
