#pragma once

// Helpers shared by the tests that run the register store in a scratch directory.

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include <memory>

#include "app/clogfile.h"
#include "store/cdatabasehandler.h"
#include "store/registerword.h"
#include "store/storecolumns.h"
#include "store/storerecords.h"

namespace StoreTest {

// The one store of the test's working directory, on "server.db", logging to the process's log;
// null when it cannot be opened (the next call tries again).
inline CDataBaseHandler *workingDirectoryStore()
{
    static CDataBaseHandler *store = nullptr;
    if (!store) {
        auto *created = new CDataBaseHandler(DB_FILE_NAME, CDataBaseHandler::DEFAULT_BUSY_TIMEOUT_MS, CClock::system(),
                                             CLogFile::getInstance(QString()));
        if (!created->open()) {
            delete created;
            return nullptr;
        }
        store = created;
    }
    return store;
}

inline SRegisterDescription reg(const QString &name, qint32 offset, qint32 bitSize,
                                const QString &dataType = QStringLiteral("uinteger"), const QString &unit = QString())
{
    SRegisterDescription r;
    r.name = name;
    r.source = 1;
    r.offset = offset;
    r.bitSize = bitSize;
    r.dataType = dataType;
    r.unit = unit;
    return r;
}

inline DB::SDeviceRegMapDescription device(const QString &devEui, const QString &name, qint32 startAddr,
                                           const QList<SRegisterDescription> &registers)
{
    DB::SDeviceRegMapDescription d;
    d.devEui = devEui;
    d.appEui = QStringLiteral("70B3D5E75F600000");
    d.name = name;
    d.startAddr = startAddr;
    d.registers = registers;
    return d;
}

inline SRegisterValue value(const QString &text, qint32 regOffset, const QString &fullValue = QString())
{
    SRegisterValue v;
    v.value = text;
    v.fullValue = fullValue;
    v.regOffset = regOffset;
    // As the decoder hands it over: the word a client reads from that text.
    v.word = registerWord(text);
    return v;
}

inline SDeviceRegData uplink(const QString &devEui, qint32 startAddr, const QVector<SRegisterValue> &registers)
{
    SDeviceRegData d;
    d.devEui = devEui;
    d.startAddr = startAddr;
    d.registers = registers;
    return d;
}

// A second connection on "server.db", as another program would open it.
inline QSqlDatabase peer()
{
    const QString name = QStringLiteral("peer");
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name);
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(QStringLiteral("server.db"));
    db.open();
    return db;
}

// Runs one statement on the peer connection; the statement is finished on return.
inline bool peerExec(const QString &sql)
{
    QSqlQuery query(peer());
    return query.exec(sql);
}

// First column of every row, or an "error" entry when the statement fails.
inline QVariantList peerColumn(const QString &sql)
{
    QSqlQuery query(peer());
    QVariantList result;
    if (!query.exec(sql))
        return {QStringLiteral("error")};
    while (query.next())
        result << query.value(0);
    return result;
}

inline int peerCount(const QString &sql)
{
    const QVariantList rows = peerColumn(sql);
    return rows.isEmpty() ? -1 : rows.first().toInt();
}

// Whether any log line written since the spy started ends with text.
inline bool logged(const QSignalSpy &spy, const QString &text)
{
    for (const QList<QVariant> &args : spy) {
        if (args.at(0).toString().endsWith(text))
            return true;
    }
    return false;
}

// ---- Files damaged, foreign or filled from outside ----

inline QByteArray readAll(const QString &_path)
{
    QFile file(_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeAll(const QString &_path, const QByteArray &_bytes)
{
    QFile file(_path);
    return file.open(QIODevice::WriteOnly) && file.write(_bytes) == _bytes.size();
}

// Runs statements on a connection of their own in the default journal mode, then closes it.
inline bool runOn(const QString &_path, const QStringList &_statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("maker"));
        db.setDatabaseName(_path);
        ok = db.open();
        for (const QString &statement : _statements) {
            QSqlQuery query(db);
            ok = ok && query.exec(statement);
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("maker"));
    return ok;
}

// A store on _folder/server.db holding _devices devices of 8 registers each, every one with a value;
// closed again, so the whole content is in the file itself.
inline bool makeFullStore(const QString &_folder, int _devices)
{
    if (!QDir().mkpath(_folder))
        return false;
    CDataBaseHandler store(_folder + QStringLiteral("/server.db"));
    if (!store.open())
        return false;
    for (int i = 0; i < _devices; ++i) {
        const QString devEui = QStringLiteral("70B3D5E75F%1").arg(i, 6, 16, QLatin1Char('0')).toUpper();
        QList<SRegisterDescription> registers;
        QVector<SRegisterValue> values;
        for (int r = 0; r < 8; ++r) {
            registers << reg(QStringLiteral("Value %1").arg(r), r, 16);
            values << value(QStringLiteral("%1").arg(0x1000 + r, 4, 16, QLatin1Char('0')), r);
        }
        if (!store.registerNewDevice(device(devEui, QStringLiteral("Meter %1").arg(i), i * 8, registers), 502)
            || !store.saveRegisterData(uplink(devEui, i * 8, values)))
            return false;
    }
    return true;
}

// Writes garbage over the page in the middle of the file.
inline bool damageMiddlePage(const QString &_path)
{
    QByteArray bytes = readAll(_path);
    if (bytes.size() < 100)
        return false;
    const int pageSize = (uchar(bytes.at(16)) << 8) | uchar(bytes.at(17));
    const int pages = bytes.size() / pageSize;
    if (pages < 10)
        return false;
    bytes.replace((pages / 2) * pageSize, pageSize, QByteArray(pageSize, char(0xA5)));
    return writeAll(_path, bytes);
}

// A statement on a connection of the test's own to _path, kept open between calls
// as another program's would be.
inline QVariantList peerOn(const QString &_path, const QString &_sql)
{
    const QString name = QStringLiteral("peer:") + _path;
    QSqlDatabase db = QSqlDatabase::contains(name) ? QSqlDatabase::database(name)
                                                   : QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
    db.setDatabaseName(_path);
    if (!db.isOpen() && !db.open())
        return { QStringLiteral("error") };
    QSqlQuery query(db);
    if (!query.exec(_sql))
        return { QStringLiteral("error: ") + query.lastError().text() };
    QVariantList rows;
    while (query.next())
        rows << query.value(0);
    return rows;
}

// The store's own connection to _path, for the pragmas only it can be given.
inline QSqlDatabase storeConnection(const QString &_path)
{
    for (const QString &name : QSqlDatabase::connectionNames()) {
        QSqlDatabase db = QSqlDatabase::database(name, false);
        if (!name.startsWith(QStringLiteral("peer")) && db.databaseName() == _path)
            return db;
    }
    return QSqlDatabase();
}

inline std::unique_ptr<CDataBaseHandler> tryOpen(const QString &_path, QString *_reason)
{
    auto store = std::make_unique<CDataBaseHandler>(_path);
    if (!store->open(_reason))
        store.reset();
    return store;
}

} // namespace StoreTest
