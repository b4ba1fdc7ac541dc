#include "app/logsink.h"

namespace {

class CDiscardingSink : public CLogSink
{
public:
    void addLine(const QString &) override {}
};

} // namespace

CLogSink *CLogSink::discard()
{
    static CDiscardingSink sink;
    return &sink;
}

void CLogRecorder::addLine(const QString &_line)
{
    recorded << _line;
    if (next)
        next->addLine(_line);
}
