#pragma once

#include <QString>
#include <QVector>

struct sqlite3;

// One value of one uplink, as the history keeps it.
struct SHistorySample
{
    qint64 timeMs = 0;
    QString name;
    double value = 0;
    QString unit;
};

// A point of a trend: one row (min, max and mean its value), or a bucket of rows.
struct SHistoryPoint
{
    qint64 timeMs = 0;
    double min = 0;
    double max = 0;
    double mean = 0;
    int count = 0;
};

struct SHistorySeries
{
    QString name;
    // The unit of the newest row.
    QString unit;
    // More rows than points were asked for: each point is a bucket of equal time width,
    // its time the bucket's start. Empty buckets give no point.
    bool bucketed = false;
    QVector<SHistoryPoint> points;
};

struct SHistoryValueName
{
    QString name;
    QString unit;
};

// Reads history.db without ever keeping its writer out: the window, the web console's
// workers and the command line each make one for what they read, on any thread, whether or
// not a gateway writes the file meanwhile. Times are ms since 1970, ranges inclusive.
class CHistoryReader
{
public:
    static constexpr int DEFAULT_POINTS = 1000;

    explicit CHistoryReader(const QString &_fileName);
    ~CHistoryReader();
    CHistoryReader(const CHistoryReader &) = delete;
    CHistoryReader &operator=(const CHistoryReader &) = delete;

    // False with the reason when there is no history to read.
    bool open(QString *_error);
    // The device's values by name, in the order they first came; empty when it has none.
    QVector<SHistoryValueName> valueNames(const QString &_devEui);
    // Every value called _name (every value when empty) of the device's uplinks in the range,
    // oldest first.
    bool samples(const QString &_devEui, const QString &_name, qint64 _fromMs, qint64 _toMs,
        QVector<SHistorySample> *_samples, QString *_error);
    // The value's rows in the range as at most _maxPoints points, bucketed when there are more.
    bool series(const QString &_devEui, const QString &_name, qint64 _fromMs, qint64 _toMs, int _maxPoints,
        SHistorySeries *_series, QString *_error);

    // The points of rows (time order) in [_fromMs, _toMs]: the rows themselves when they are
    // _maxPoints or fewer, buckets of ceil((to - from + 1) / _maxPoints) ms otherwise.
    static QVector<SHistoryPoint> bucketed(
        const QVector<QPair<qint64, double>> &_rows, qint64 _fromMs, qint64 _toMs, int _maxPoints, bool *_bucketed);

private:
    bool deviceId(const QString &_devEui, qint64 *_id, QString *_error);
    QString lastError() const;

    QString fileName;
    sqlite3 *db = nullptr;
};
