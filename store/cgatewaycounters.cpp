#include "store/cgatewaycounters.h"

#include <QMutexLocker>

#include <algorithm>

#include "app/ceui.h"

namespace {

const qint64 RECENT_WINDOW_MS = 3600 * 1000;

} // namespace

void CGatewayCounters::countStoreWrite(double _seconds)
{
    const auto bound = std::lower_bound(WRITE_BUCKETS.begin(), WRITE_BUCKETS.end(), _seconds);
    writeBuckets[size_t(bound - WRITE_BUCKETS.begin())]++;
    writeMicros += quint64(std::max(0.0, _seconds) * 1e6);
}

std::array<quint64, CGatewayCounters::WRITE_BUCKETS.size() + 1> CGatewayCounters::storeWriteBuckets() const
{
    std::array<quint64, WRITE_BUCKETS.size() + 1> counts {};
    for (size_t i = 0; i < counts.size(); ++i)
        counts[i] = writeBuckets[i];
    return counts;
}

double CGatewayCounters::storeWriteSeconds() const
{
    return double(writeMicros) / 1e6;
}

void CGatewayCounters::noteUplink(const QString &_devEui, const SUplink &_uplink)
{
    QMutexLocker locker(&journalMutex);
    std::deque<SUplink> &kept = journals[CEui(_devEui).text()];
    kept.push_back(_uplink);
    if (kept.size() > size_t(JOURNAL_LENGTH))
        kept.pop_front();
    recentUplinks.push_back(_uplink.epochMs);
    while (!recentUplinks.empty() && recentUplinks.front() < _uplink.epochMs - RECENT_WINDOW_MS)
        recentUplinks.pop_front();
}

void CGatewayCounters::forgetDevice(const QString &_devEui)
{
    QMutexLocker locker(&journalMutex);
    journals.remove(CEui(_devEui).text());
    downlinkNotes.remove(CEui(_devEui).text());
}

void CGatewayCounters::noteDownlink(const QString &_devEui, qint64 _epochMs, const QString &_text)
{
    QMutexLocker locker(&journalMutex);
    downlinkNotes.insert(CEui(_devEui).text(), { _epochMs, _text });
}

bool CGatewayCounters::lastDownlink(const QString &_devEui, qint64 *_epochMs, QString *_text) const
{
    QMutexLocker locker(&journalMutex);
    const auto found = downlinkNotes.constFind(CEui(_devEui).text());
    if (found == downlinkNotes.constEnd())
        return false;
    *_epochMs = found->first;
    *_text = found->second;
    return true;
}

QVector<CGatewayCounters::SUplink> CGatewayCounters::journal(const QString &_devEui) const
{
    QMutexLocker locker(&journalMutex);
    const auto found = journals.constFind(CEui(_devEui).text());
    if (found == journals.constEnd())
        return {};
    return QVector<SUplink>(found->begin(), found->end());
}

bool CGatewayCounters::lastRadio(const QString &_devEui, qint16 *_rssi, double *_snr) const
{
    QMutexLocker locker(&journalMutex);
    const auto found = journals.constFind(CEui(_devEui).text());
    if (found == journals.constEnd() || found->empty())
        return false;
    *_rssi = found->back().rssi;
    *_snr = found->back().snr;
    return true;
}

int CGatewayCounters::uplinksWithin(qint64 _nowEpochMs, qint64 _windowMs) const
{
    QMutexLocker locker(&journalMutex);
    const auto first = std::lower_bound(recentUplinks.begin(), recentUplinks.end(), _nowEpochMs - _windowMs);
    return int(recentUplinks.end() - first);
}
