#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

#include <memory>

#include "app/clogfile.h"
#include "store/cdatabasehandler.h"
#include "storetestsupport.h"
#include "testworkdir.h"

using namespace StoreTest;

// A register store whose file is damaged, belongs to someone else, or cannot be saved to.
class TestStoreFailure : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;

    static QString gatewayProgram() { return QStringLiteral(KELVARA_BINARY_DIR "/kelvara"); }

    static QByteArray readAll(const QString &_path)
    {
        QFile file(_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static bool writeAll(const QString &_path, const QByteArray &_bytes)
    {
        QFile file(_path);
        return file.open(QIODevice::WriteOnly) && file.write(_bytes) == _bytes.size();
    }

    // Runs statements on a connection of their own in the default journal mode, then closes it.
    static bool runOn(const QString &_path, const QStringList &_statements)
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
    static bool makeFullStore(const QString &_folder, int _devices)
    {
        if (!QDir().mkpath(_folder))
            return false;
        CDataBaseHandler store(_folder + QStringLiteral("/server.db"));
        if (!store.open())
            return false;
        for (int i = 0; i < _devices; ++i) {
            const QString devEui = QStringLiteral("70B3D5E75F%1").arg(i, 6, 16, QLatin1Char('0')).toUpper();
            QList<SRegisterDescription> registers;
            QList<SRegisterValue> values;
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
    static bool damageMiddlePage(const QString &_path)
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

    static std::unique_ptr<CDataBaseHandler> tryOpen(const QString &_path, QString *_reason)
    {
        auto store = std::make_unique<CDataBaseHandler>(_path);
        if (!store->open(_reason))
            store.reset();
        return store;
    }

private slots:
    void initTestCase() { QVERIFY(workDir.enter()); }

    void damagedPageIsRefusedUntouched()
    {
        QVERIFY(makeFullStore(QStringLiteral("damaged"), 300));
        const QString path = QStringLiteral("damaged/server.db");
        QVERIFY(damageMiddlePage(path));
        const QByteArray damaged = readAll(path);

        QString reason;
        QVERIFY(!tryOpen(path, &reason));
        QVERIFY2(reason.contains(QStringLiteral("CRITICAL_ERROR! Data base \"damaged/server.db\" is damaged! "
                                                "Error_text[")),
            qPrintable(reason));
        QCOMPARE(readAll(path), damaged);
    }

    void textFileIsRefusedWithSqliteReason()
    {
        QVERIFY(QDir().mkpath(QStringLiteral("text")));
        const QString path = QStringLiteral("text/server.db");
        const QByteArray text = QByteArray("Not a database, just notes about the meters.\n").repeated(200);
        QVERIFY(writeAll(path, text));

        QString reason;
        QVERIFY(!tryOpen(path, &reason));
        QVERIFY2(reason.contains(QStringLiteral("Error_text[file is not a database]")), qPrintable(reason));
        QCOMPARE(readAll(path), text);
    }

    void anotherSchemaIsRefusedUnchanged_data()
    {
        QTest::addColumn<QStringList>("statements");
        QTest::addColumn<QString>("reason");
        QTest::newRow("devices table with other columns")
            << QStringList { "CREATE TABLE devices (id INTEGER PRIMARY KEY, label TEXT, dev_eui TEXT);",
                   "INSERT INTO devices VALUES (1, 'pump', '0011223344556677');" }
            << "has another schema: table \"devices\" has the columns [id, label, dev_eui]";
        QTest::newRow("dev_data table missing its last column")
            << QStringList { "CREATE TABLE dev_data ( device INTEGER NOT NULL, port INTEGER, reg_addr INTEGER, "
                             "start_value INTEGER, grating_period INTEGER, bit_size INTEGER, data_type TEXT, value "
                             "TEXT, full_value TEXT, time INTEGER, name TEXT, unit TEXT, parent INTEGER );" }
            << "has another schema: table \"dev_data\" has the columns [device, port, reg_addr";
        QTest::newRow("unrelated database") << QStringList {
            "CREATE TABLE invoices (number INTEGER, total REAL);", "INSERT INTO invoices VALUES (17, 99.5);"
        } << "belongs to another program: it has the tables [invoices] and none of ours";
    }

    void anotherSchemaIsRefusedUnchanged()
    {
        QFETCH(QStringList, statements);
        QFETCH(QString, reason);
        const QString folder = QStringLiteral("schema-%1").arg(QTest::currentDataTag()).replace(' ', '-');
        QVERIFY(QDir().mkpath(folder));
        const QString path = folder + QStringLiteral("/server.db");
        QVERIFY(runOn(path, statements));
        const QByteArray before = readAll(path);

        QString refused;
        QVERIFY(!tryOpen(path, &refused));
        QVERIFY2(refused.contains(reason), qPrintable(refused));
        QCOMPARE(readAll(path), before);
        // Not switched to a write-ahead log either.
        QVERIFY(!QFile::exists(path + QStringLiteral("-wal")));
    }

    void programRefusesDamagedFileOnStderr()
    {
        QVERIFY(makeFullStore(QStringLiteral("program"), 40));
        QVERIFY(damageMiddlePage(QStringLiteral("program/server.db")));
        QVERIFY2(QFile::exists(gatewayProgram()), "build the kelvara program first");

        QProcess gateway;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        gateway.setProcessEnvironment(environment);
        gateway.setWorkingDirectory(workDir.filePath(QStringLiteral("program")));
        gateway.start(gatewayProgram(), QStringList());
        QVERIFY(gateway.waitForStarted(5000));
        const bool finished = gateway.waitForFinished(10000);
        if (!finished) {
            gateway.kill();
            gateway.waitForFinished(5000);
        }
        QVERIFY2(finished, "the gateway went on running on a damaged store");
        QCOMPARE(gateway.exitStatus(), QProcess::NormalExit);
        QVERIFY(gateway.exitCode() != 0);
        const QString errors = QString::fromUtf8(gateway.readAllStandardError());
        QVERIFY2(
            errors.contains(QStringLiteral("Register store \"server.db\" cannot be opened: ")), qPrintable(errors));
        QVERIFY2(errors.contains(QStringLiteral("CRITICAL_ERROR! Data base \"./server.db\" is damaged! Error_text[")),
            qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestStoreFailure)
#include "tst_storefailure.moc"
