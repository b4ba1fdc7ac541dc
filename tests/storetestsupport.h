#pragma once

// Helpers shared by the tests that run the register store in a scratch directory.

#include <QDir>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

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

} // namespace StoreTest
