// The history's reading side and its size: a week of one-minute rows of one value (10,080)
// asked for as 1,000 points, as the web console's and the window's trends ask; and the bytes a
// day of history takes per device at one uplink a minute, with 3 values an uplink (the TH
// sensor of the examples) and with 10. Prints figures; judges nothing.
//
// usage: bench_history [QUERIES]   (50 unless given)

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/cclock.h"
#include "app/logsink.h"
#include "store/chistoryreader.h"
#include "store/chistorystore.h"

namespace {

const qint64 MINUTE_MS = 60000;

QString devEuiOf(int _d)
{
    return QStringLiteral("70B3D5E75F%1").arg(_d, 6, 16, QLatin1Char('0')).toUpper();
}

// Writes _minutes one-minute uplinks of _devices devices with _values values each, in writes of
// about a thousand uplinks as a busy writer would; the file's used bytes afterwards.
qint64 fill(CHistoryStore &_history, CManualClock &_clock, int _devices, int _minutes, int _values)
{
    const qint64 start = _clock.epochMs() - qint64(_minutes) * MINUTE_MS;
    QList<SDeviceRegData> batch;
    for (int m = 0; m < _minutes; ++m) {
        for (int d = 0; d < _devices; ++d) {
            SDeviceRegData uplink;
            uplink.devEui = devEuiOf(d);
            uplink.receivedMs = start + m * MINUTE_MS + d;
            for (int k = 0; k < _values; ++k)
                uplink.values.append({ QStringLiteral("Value %1").arg(k), double((m * 7 + k * 13 + d) % 1000) / 10,
                    k % 2 ? QStringLiteral("°C") : QStringLiteral("%") });
            batch << uplink;
        }
        if (batch.size() >= 1000) {
            _history.stage(batch);
            _history.writeStaged();
            batch.clear();
        }
    }
    _history.stage(batch);
    _history.writeStaged();
    return _history.usedBytes();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int queries = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 50;
    QTemporaryDir dir;
    if (!dir.isValid())
        return 1;
    CManualClock clock;
    clock.advance(30 * 24 * 60 * MINUTE_MS);

    // A week of one value of one device, beside 9 more values of its uplinks and 9 more devices.
    const QString weekFile = dir.filePath(QStringLiteral("week.db"));
    {
        CHistoryStore history(weekFile, SHistorySettings(), &clock, CLogSink::discard());
        if (!history.open())
            return 1;
        QElapsedTimer writing;
        writing.start();
        fill(history, clock, 10, 7 * 24 * 60, 10);
        const double seconds = double(writing.nsecsElapsed()) / 1e9;
        std::printf("history write alone: %d uplinks of 10 values in writes of 1,000 in %.2f s = %.0f uplinks/s on "
                    "one thread\n",
            10 * 7 * 24 * 60, seconds, 10 * 7 * 24 * 60 / seconds);
    }
    std::vector<double> times;
    int points = 0;
    int rows = 0;
    for (int q = 0; q < queries; ++q) {
        QElapsedTimer timer;
        timer.start();
        // As a request does it: a reader of its own, opened for the query.
        CHistoryReader reader(weekFile);
        QString error;
        SHistorySeries series;
        QVector<SHistorySample> counted;
        if (!reader.open(&error)
            || !reader.series(devEuiOf(3), QStringLiteral("Value 4"), clock.epochMs() - 7 * 24 * 60 * MINUTE_MS,
                clock.epochMs(), 1000, &series, &error)) {
            std::fprintf(stderr, "query failed: %s\n", qPrintable(error));
            return 1;
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
        points = series.points.size();
        if (q == 0
            && reader.samples(devEuiOf(3), QStringLiteral("Value 4"), clock.epochMs() - 7 * 24 * 60 * MINUTE_MS,
                clock.epochMs(), &counted, &error))
            rows = counted.size();
    }
    std::sort(times.begin(), times.end());
    std::printf(
        "history query: %d one-minute rows of one value (a week; 10 devices x 10 values in the file) as %d "
        "points: median %.1f ms, 90th percentile %.1f ms, fastest %.1f ms, slowest %.1f ms over %d queries (target "
        "under 50 ms)\n",
        rows, points, times[times.size() / 2], times[times.size() * 9 / 10], times.front(), times.back(), queries);

    // A day of history per device at one uplink a minute.
    for (int values : { 3, 10 }) {
        const QString file = dir.filePath(QStringLiteral("day-%1.db").arg(values));
        CHistoryStore history(file, SHistorySettings(), &clock, CLogSink::discard());
        if (!history.open())
            return 1;
        const int devices = 50;
        const qint64 bytes = fill(history, clock, devices, 24 * 60, values);
        std::printf("history size: a day at one uplink a minute with %d values an uplink takes %.0f KiB per device "
                    "(%d devices, %.1f MiB used); a week %.1f MiB per device\n",
            values, double(bytes) / devices / 1024, devices, double(bytes) / 1024 / 1024,
            double(bytes) * 7 / devices / 1024 / 1024);
    }
    return 0;
}
