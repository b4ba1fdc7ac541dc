#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

class CLogSink;

// Knows the schema of "server.db": whether a file is an intact store of ours, and what an
// older version's file lacks. Each check logs why it refuses the file.
class CStoreSchema
{
public:
    // The write-ahead log shrinks back to this after a checkpoint, so it never keeps
    // the space of a burst of writes on a disk that is almost full.
    static constexpr int JOURNAL_SIZE_LIMIT_BYTES = 1024 * 1024;

    CStoreSchema(const QSqlDatabase &_db, const QString &_fileName, CLogSink *_log);

    // False with the reason in *_reason when nothing could be saved in the folder or file.
    static bool checkWritable(const QString &_fileName, QString *_reason);
    // The quick check of every page: a damaged file or one that is no database at all.
    bool checkIntact();
    // Lets through an empty file, and our tables (one may be missing) with exactly our columns.
    bool checkSchema();
    // Creates what is missing of the schema and turns the write-ahead log on.
    bool createTables();

private:
    bool createTable(const QString &_table, const QStringList &_columns, int _expected, const QString &_format);
    // Adds the devices columns a server.db of an older version lacks, with their defaults.
    bool addDeviceColumns();
    // Adds the writable column to a file made before it existed.
    bool addWritableColumn();
    // _columns as the index lists them, e.g. "port, reg_addr".
    bool createIndex(const QString &_name, const QString &_table, const QString &_columns);
    void useWriteAheadLog();

    QSqlDatabase db;
    QString fileName;
    CLogSink *log;
};
