#include "store/historyformat.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtEndian>

#include <cstring>

namespace HISTORY {

const char FILE_NAME[] = "history.db";

const char SCHEMA_SQL[] = "CREATE TABLE devices (id INTEGER PRIMARY KEY AUTOINCREMENT, dev_eui TEXT NOT NULL UNIQUE);"
                          "CREATE TABLE layouts (id INTEGER PRIMARY KEY, device INTEGER NOT NULL, names TEXT NOT NULL);"
                          "CREATE INDEX layouts_of_device ON layouts (device);"
                          "CREATE TABLE uplinks (device INTEGER NOT NULL, time_ms INTEGER NOT NULL, "
                          "layout INTEGER NOT NULL, vals BLOB NOT NULL);"
                          "CREATE INDEX uplinks_by_time ON uplinks (device, time_ms);"
                          "CREATE TABLE dropped (device INTEGER PRIMARY KEY);";

QString layoutText(const QVector<SHistoryValue> &_values)
{
    QJsonArray names;
    for (const SHistoryValue &value : _values)
        names.append(QJsonArray { value.name, value.unit });
    return QString::fromUtf8(QJsonDocument(names).toJson(QJsonDocument::Compact));
}

bool parseLayout(const QString &_text, QVector<QPair<QString, QString>> *_names)
{
    const QJsonDocument document = QJsonDocument::fromJson(_text.toUtf8());
    if (!document.isArray())
        return false;
    _names->clear();
    for (const QJsonValue &entry : document.array()) {
        const QJsonArray pair = entry.toArray();
        if (pair.size() != 2)
            return false;
        _names->append({ pair.at(0).toString(), pair.at(1).toString() });
    }
    return true;
}

QByteArray valuesBlob(const QVector<SHistoryValue> &_values)
{
    QByteArray blob(int(_values.size() * sizeof(double)), Qt::Uninitialized);
    char *at = blob.data();
    for (const SHistoryValue &value : _values) {
        quint64 bits = 0;
        std::memcpy(&bits, &value.value, sizeof bits);
        qToLittleEndian(bits, at);
        at += sizeof bits;
    }
    return blob;
}

bool valueAt(const void *_blob, int _bytes, int _index, double *_value)
{
    if (_index < 0 || (qint64(_index) + 1) * qint64(sizeof(double)) > _bytes)
        return false;
    const quint64 bits = qFromLittleEndian<quint64>(static_cast<const char *>(_blob) + _index * sizeof(double));
    std::memcpy(_value, &bits, sizeof bits);
    return true;
}

} // namespace HISTORY
