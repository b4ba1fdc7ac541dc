#include "store/chistoryreader.h"

#include <QFile>
#include <QHash>

#include <QHash>
#include <QPair>
#include <QUrl>
#include <algorithm>

#include <sqlite3.h>

#include "store/historyformat.h"

namespace {

// The layouts of one device: each the position of every value name in its rows.
using Layouts = QHash<qint64, QVector<QPair<QString, QString>>>;

bool readLayouts(sqlite3 *_db, qint64 _device, Layouts *_layouts)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(_db, "SELECT id, names FROM layouts WHERE device = ?1 ORDER BY id", -1, &statement, nullptr)
        != SQLITE_OK)
        return false;
    sqlite3_bind_int64(statement, 1, _device);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        QVector<QPair<QString, QString>> names;
        const QString text = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
        if (HISTORY::parseLayout(text, &names))
            _layouts->insert(sqlite3_column_int64(statement, 0), names);
    }
    sqlite3_finalize(statement);
    return step == SQLITE_DONE;
}

} // namespace

CHistoryReader::CHistoryReader(const QString &_fileName)
    : fileName(_fileName)
{ }

CHistoryReader::~CHistoryReader()
{
    sqlite3_close(db);
}

bool CHistoryReader::open(QString *_error)
{
    if (!QFile::exists(fileName)) {
        *_error = QStringLiteral("no history yet: %1 does not exist").arg(fileName);
        return false;
    }
    // Read-write without creating, for the write-ahead log's shared index; read-only where the
    // file may not be written; as a file nobody changes where not even the index can be made (a
    // folder this user may not write, which no writer of this user has open). Either way this
    // connection only reads.
    const QByteArray path = QFile::encodeName(fileName);
    const QByteArray unchanging = "file:" + QUrl::toPercentEncoding(fileName, "/") + "?immutable=1";
    const QList<QPair<QByteArray, int>> ways { { path, SQLITE_OPEN_READWRITE }, { path, SQLITE_OPEN_READONLY },
        { unchanging, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI } };
    qint64 applicationId = -1;
    for (const auto &way : ways) {
        sqlite3_close(db);
        db = nullptr;
        if (sqlite3_open_v2(way.first.constData(), &db, way.second, nullptr) != SQLITE_OK)
            continue;
        sqlite3_busy_timeout(db, 2000);
        sqlite3_exec(db, "PRAGMA query_only = 1", nullptr, nullptr, nullptr);
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA application_id", -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            applicationId = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
        if (applicationId >= 0)
            break;
    }
    if (applicationId != HISTORY::APPLICATION_ID) {
        *_error = applicationId < 0 ? QStringLiteral("%1 cannot be read: %2").arg(fileName, lastError())
                                    : QStringLiteral("%1 is not Kelvara's history").arg(fileName);
        return false;
    }
    return true;
}

QVector<SHistoryValueName> CHistoryReader::valueNames(const QString &_devEui)
{
    QVector<SHistoryValueName> names;
    qint64 device = 0;
    QString error;
    Layouts layouts;
    if (!deviceId(_devEui, &device, &error) || device == 0 || !readLayouts(db, device, &layouts))
        return names;
    QHash<QString, int> seen;
    QList<qint64> ids = layouts.keys();
    std::sort(ids.begin(), ids.end());
    for (qint64 id : qAsConst(ids)) {
        for (const auto &name : layouts.value(id)) {
            const auto known = seen.constFind(name.first);
            if (known == seen.constEnd()) {
                seen.insert(name.first, names.size());
                names.append({ name.first, name.second });
            } else {
                // A later layout's unit is the one the value has now.
                names[known.value()].unit = name.second;
            }
        }
    }
    return names;
}

bool CHistoryReader::samples(const QString &_devEui, const QString &_name, qint64 _fromMs, qint64 _toMs,
    QVector<SHistorySample> *_samples, QString *_error)
{
    _samples->clear();
    qint64 device = 0;
    Layouts layouts;
    if (!deviceId(_devEui, &device, _error))
        return false;
    if (device == 0)
        return true;
    if (!readLayouts(db, device, &layouts)) {
        *_error = lastError();
        return false;
    }
    // Per layout, the positions of the values asked for.
    QHash<qint64, QVector<int>> wanted;
    for (auto layout = layouts.constBegin(); layout != layouts.constEnd(); ++layout) {
        QVector<int> positions;
        for (int k = 0; k < layout.value().size(); ++k) {
            if (_name.isEmpty() || layout.value().at(k).first == _name)
                positions.append(k);
        }
        if (!positions.isEmpty())
            wanted.insert(layout.key(), positions);
    }
    if (wanted.isEmpty())
        return true;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db,
            "SELECT time_ms, layout, vals FROM uplinks WHERE device = ?1 AND time_ms BETWEEN ?2 AND ?3 "
            "ORDER BY time_ms, rowid",
            -1, &statement, nullptr)
        != SQLITE_OK) {
        *_error = lastError();
        return false;
    }
    sqlite3_bind_int64(statement, 1, device);
    sqlite3_bind_int64(statement, 2, _fromMs);
    sqlite3_bind_int64(statement, 3, _toMs);
    int step = SQLITE_ROW;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) {
        const auto positions = wanted.constFind(sqlite3_column_int64(statement, 1));
        if (positions == wanted.constEnd())
            continue;
        const qint64 timeMs = sqlite3_column_int64(statement, 0);
        const void *blob = sqlite3_column_blob(statement, 2);
        const int bytes = sqlite3_column_bytes(statement, 2);
        const auto &names = layouts[positions.key()];
        for (int k : positions.value()) {
            double value = 0;
            if (HISTORY::valueAt(blob, bytes, k, &value))
                _samples->append({ timeMs, names.at(k).first, value, names.at(k).second });
        }
    }
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE) {
        *_error = lastError();
        return false;
    }
    return true;
}

bool CHistoryReader::series(const QString &_devEui, const QString &_name, qint64 _fromMs, qint64 _toMs, int _maxPoints,
    SHistorySeries *_series, QString *_error)
{
    QVector<SHistorySample> rows;
    if (!samples(_devEui, _name, _fromMs, _toMs, &rows, _error))
        return false;
    QVector<QPair<qint64, double>> values;
    values.reserve(rows.size());
    for (const SHistorySample &row : qAsConst(rows))
        values.append({ row.timeMs, row.value });
    _series->name = _name;
    _series->unit = rows.isEmpty() ? QString() : rows.last().unit;
    _series->points = bucketed(values, _fromMs, _toMs, _maxPoints, &_series->bucketed);
    return true;
}

QVector<SHistoryPoint> CHistoryReader::bucketed(
    const QVector<QPair<qint64, double>> &_rows, qint64 _fromMs, qint64 _toMs, int _maxPoints, bool *_bucketed)
{
    QVector<SHistoryPoint> points;
    *_bucketed = _rows.size() > _maxPoints;
    if (!*_bucketed) {
        points.reserve(_rows.size());
        for (const auto &row : _rows)
            points.append({ row.first, row.second, row.second, row.second, 1 });
        return points;
    }
    const qint64 span = qMax<qint64>(1, _toMs - _fromMs + 1);
    const qint64 width = qMax<qint64>(1, (span + _maxPoints - 1) / _maxPoints);
    qint64 bucket = -1;
    double sum = 0;
    for (const auto &row : _rows) {
        const qint64 index = (row.first - _fromMs) / width;
        if (index != bucket || points.isEmpty()) {
            if (!points.isEmpty())
                points.last().mean = sum / points.last().count;
            bucket = index;
            sum = 0;
            points.append({ _fromMs + index * width, row.second, row.second, row.second, 0 });
        }
        SHistoryPoint &point = points.last();
        point.min = qMin(point.min, row.second);
        point.max = qMax(point.max, row.second);
        sum += row.second;
        ++point.count;
    }
    if (!points.isEmpty())
        points.last().mean = sum / points.last().count;
    return points;
}

bool CHistoryReader::deviceId(const QString &_devEui, qint64 *_id, QString *_error)
{
    *_id = 0;
    if (!db) {
        *_error = QStringLiteral("%1 is not open").arg(fileName);
        return false;
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT id FROM devices WHERE dev_eui = ?1", -1, &statement, nullptr) != SQLITE_OK) {
        *_error = lastError();
        return false;
    }
    const QByteArray devEui = _devEui.toUpper().toUtf8();
    sqlite3_bind_text(statement, 1, devEui.constData(), devEui.size(), SQLITE_TRANSIENT);
    const int step = sqlite3_step(statement);
    if (step == SQLITE_ROW)
        *_id = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    if (step != SQLITE_ROW && step != SQLITE_DONE) {
        *_error = lastError();
        return false;
    }
    return true;
}

QString CHistoryReader::lastError() const
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}
