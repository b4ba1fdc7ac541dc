#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/clogfile.h"
#include "app/globaltables.h"

// Shared by the fuzz harnesses: quiet start-up, a failing check that stops the run,
// and a reader that takes the fuzzer's bytes apart.
namespace FUZZ {

inline void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) { }

// Tables once, no console output, and a log that cannot open: its lines cost a
// time stamp instead of a write and a flush each. A fixed time zone keeps that time
// stamp from looking at the zone file again for every line.
inline void quietStart()
{
    qputenv("TZ", "UTC");
    qInstallMessageHandler(dropMessage);
    CLogFile::getInstance(QStringLiteral("kelvara-fuzz-no-such-folder/history.log"));
    fillGlobalTables();
}

[[noreturn]] inline void fail(const char *_what, const char *_file, int _line)
{
    std::fprintf(stderr, "Invariant broken at %s:%d: %s\n", _file, _line, _what);
    std::abort();
}

// The fuzzer's bytes, taken from the front; past the end every read gives 0.
class CInput
{
public:
    CInput(const uint8_t *_data, size_t _size)
        : data(_data)
        , size(_size)
    { }

    uint8_t byte() { return at < size ? data[at++] : 0; }
    uint16_t word()
    {
        const uint16_t low = byte();
        return uint16_t(low | (byte() << 8));
    }
    // Up to _count bytes, fewer near the end.
    QByteArray bytes(size_t _count)
    {
        const size_t count = qMin(_count, size - at);
        const QByteArray taken(reinterpret_cast<const char *>(data + at), int(count));
        at += count;
        return taken;
    }
    QByteArray rest() { return bytes(size - at); }

private:
    const uint8_t *data;
    size_t size;
    size_t at = 0;
};

} // namespace FUZZ

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            FUZZ::fail(#condition, __FILE__, __LINE__);                                                                \
    } while (0)

extern "C" int LLVMFuzzerInitialize(int *_argc, char ***_argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size);
