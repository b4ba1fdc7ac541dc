#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <csignal>
#include <unistd.h>

#include "app/clogfile.h"
#include "app/constants.h"
#include "gatewaytestsupport.h"
#include "peertestsupport.h"
#include "store/chistorystore.h"
#include "storetestsupport.h"
#include "testworkdir.h"

using namespace StoreTest;
using GatewayTest::gatewayProgram;

// The program run as another user where it may not write or read: it serves what is stored,
// keeps registers saving where only the history cannot be written, reads history anyway, and
// names a window module it cannot load.
class TestReadOnlyFolder : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;

    // The built programs copied where any user may run them: the test does not depend on
    // where the build lives (a clone in /root is closed to others).
    QString programsForAnyone(const QString &_name)
    {
        const QString folder = workDir.filePath(_name);
        const QFile::Permissions readAndRun = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
            | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        if (!QDir().mkpath(folder) || !QFile::setPermissions(folder, readAndRun))
            return QString();
        for (const QString &file : { QStringLiteral("kelvara"), QStringLiteral("kelvara-window.so") }) {
            const QString target = folder + QLatin1Char('/') + file;
            if (!QFile::exists(target)
                && (!QFile::copy(QStringLiteral(KELVARA_BINARY_DIR "/") + file, target)
                    || !QFile::setPermissions(target, readAndRun)))
                return QString();
        }
        return folder + QStringLiteral("/kelvara");
    }

    // Root writes anywhere: the program then runs as nobody, for whom 0555 means read-only.
    static void runAsAnybody(QProcess &_process, const QString &_program, const QStringList &_arguments,
                             const QString &_home)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("HOME"), _home);
        environment.remove(QStringLiteral("JOURNAL_STREAM"));
        _process.setProcessEnvironment(environment);
        if (geteuid() == 0)
            _process.start(QStringLiteral("/usr/bin/setpriv"),
                           QStringList { "--reuid=65534", "--regid=65534", "--clear-groups", _program } + _arguments);
        else
            _process.start(_program, _arguments);
    }

    // Runs the statements on a connection of the test's own; the first value the last one gives
    // (true when it gives none), invalid on any failure.
    static QVariant runSql(const QString &_path, const QStringList &_statements)
    {
        QVariant result;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peer"));
            db.setDatabaseName(_path);
            if (db.open()) {
                QSqlQuery query(db);
                bool ok = true;
                for (const QString &statement : _statements)
                    ok = ok && query.exec(statement);
                if (ok)
                    result = query.next() ? query.value(0) : QVariant(true);
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("peer"));
        return result;
    }

    static bool setTreePermissions(const QString &_folder, QFile::Permissions _folderPermissions,
                                   QFile::Permissions _filePermissions)
    {
        bool ok = QFile::setPermissions(_folder, _folderPermissions);
        for (const QFileInfo &entry : QDir(_folder).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot)) {
            ok = ok && QFile::setPermissions(entry.filePath(), entry.isDir() ? _folderPermissions : _filePermissions);
            if (entry.isDir())
                ok = ok && setTreePermissions(entry.filePath(), _folderPermissions, _filePermissions);
        }
        return ok;
    }

    // Why these cases cannot run here; empty when they can.
    static QString missingPeers()
    {
        if (geteuid() == 0 && !QFile::exists(QStringLiteral("/usr/bin/setpriv")))
            return QStringLiteral("setpriv is missing: install the Debian package util-linux");
        return PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
    }

    // A folder _name with the example templates and the settings to reach _simulator, started here
    // pushing uplinks of one TH sensor; empty when any of it fails.
    QString simulatedFolder(const QString &_name, const QString &_devEui, const QString &_devName, QProcess &_simulator)
    {
        const QString folder = workDir.filePath(_name);
        const QString devices = QDir(folder).filePath(QStringLiteral("devices.json"));
        if (!QDir().mkpath(folder) || !GatewayTest::installTemplates(QDir(folder))
            || !GatewayTest::writeFile(devices,
                   QStringLiteral(R"([{"devEui":"%1","devName":"%2","appEui":"%3","payload":"01e100b901c40b"}])")
                       .arg(_devEui, _devName, GatewayTest::TH_APP_EUI)
                       .toUtf8()))
            return QString();
        const quint16 serverPort
            = GatewayTest::startSimulator(_simulator, { "--devices", devices, "--rate", "20", "--duration", "60" });
        if (!serverPort
            || !GatewayTest::writeFile(QDir(folder).filePath(QStringLiteral("settings.conf")),
                   QStringLiteral("[server]\nip=127.0.0.1\nport=%1\nlogin=%2\npassword=%3\n[modbus]\nbind=127.0.0.1\n")
                       .arg(serverPort)
                       .arg(GatewayTest::LOGIN, GatewayTest::PASSWORD)
                       .toUtf8()))
            return QString();
        return folder;
    }

private slots:
    void initTestCase() { QVERIFY(workDir.enter()); }


    // Started where it cannot write (a card remounted read-only, a folder of another user), the
    // gateway serves the stored values, serves new uplinks from memory, says why nothing is
    // saved, keeps one gateway per folder, and saves again by itself once the folder takes writes.
    void programServesAFolderItCannotWrite()
    {
        const QString missing = missingPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString program = programsForAnyone(QStringLiteral("programs"));
        QVERIFY(!program.isEmpty());
        const QString stored = QStringLiteral("70B3D5E75E00E001");
        const QString heard = QStringLiteral("70B3D5E75E00E002");
        QProcess simulator;
        const QString folder = simulatedFolder(QStringLiteral("readonly"), heard, QStringLiteral("heard"), simulator);
        QVERIFY(!folder.isEmpty());
        const quint16 storedPort = GatewayTest::freePort();
        const quint16 heardPort = GatewayTest::freePort();
        QVERIFY(storedPort && heardPort && storedPort != heardPort);
        for (const auto &[devEui, port] : { std::pair<QString, quint16> { stored, storedPort }, { heard, heardPort } }) {
            QProcess add;
            add.start(GatewayTest::gatewayProgram(),
                { "devices", "add", "--dev-eui", devEui, "--template", "TH sensor", "--name", devEui, "--port",
                  QString::number(port), "--start", "0", "--workdir", folder });
            QVERIFY(add.waitForFinished(20000));
            QCOMPARE(add.exitCode(), 0);
        }
        // A value stored before the folder turned read-only: battery 3012.
        const QString storePath = QDir(folder).filePath(QStringLiteral("server.db"));
        QVERIFY(runSql(storePath, { QStringLiteral("UPDATE dev_data SET value='0bc4' WHERE reg_addr=8 AND device="
                                                   "(SELECT device FROM devices WHERE dev_eui='%1');").arg(stored),
                                    QStringLiteral("PRAGMA wal_checkpoint(TRUNCATE);") })
                    .isValid());
        QFile::remove(QDir(folder).filePath(QStringLiteral("server.db-wal")));
        QFile::remove(QDir(folder).filePath(QStringLiteral("server.db-shm")));
        const QFile::Permissions read = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions enter = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        const QFile::Permissions all = read | enter | QFile::WriteOwner | QFile::WriteGroup | QFile::WriteOther;
        QVERIFY(setTreePermissions(folder, read | enter, read));
        QVERIFY(QFile::setPermissions(workDir.path(), read | enter | QFile::WriteOwner));
        const QByteArray before = readAll(folder + QStringLiteral("/server.db"));

        QProcess gateway;
        runAsAnybody(gateway, program, { "--headless", "--workdir", folder }, folder);
        QVERIFY(gateway.waitForStarted(5000));
        QByteArray errors;
        const auto said = [&](const QByteArray &_text) {
            errors += gateway.readAllStandardError();
            return errors.contains(_text);
        };
        // The stored value, and the newest uplink from memory (temperature 22.5).
        QVERIFY(QTest::qWaitFor([&] { return GatewayTest::readWithMbpoll(storedPort, 8, 1).value(8) == 0x0bc4; }, 15000));
        QVERIFY(QTest::qWaitFor([&] { return GatewayTest::readWithMbpoll(heardPort, 6, 1).value(6) == 0x00e1; }, 15000));
        QVERIFY2(said(QStringLiteral("CRITICAL_ERROR! Folder \"%1\" of the data base cannot be written: ")
                          .arg(QFileInfo(folder).canonicalFilePath())
                          .toUtf8()),
                 errors.constData());
        QVERIFY2(said("Serving the stored values"), errors.constData());
        QCOMPARE(readAll(folder + QStringLiteral("/server.db")), before);

        // Still one gateway per folder, though no lock file can be written in it.
        QProcess second;
        runAsAnybody(second, program, { "--headless", "--workdir", folder }, folder);
        QVERIFY(second.waitForFinished(10000));
        QCOMPARE(second.exitCode(), 1);
        QVERIFY2(second.readAllStandardError().contains("another Kelvara is running in"), "second instance ran");

        // Writable again: the uplinks are saved without a restart.
        QVERIFY(setTreePermissions(folder, all, all));
        QVERIFY(QTest::qWaitFor([&] { return said("can be written again"); }, 15000));
        QVERIFY(QTest::qWaitFor([&] { return said("Saving works again"); }, 15000));
        GatewayTest::stopProcess(simulator);
        ::kill(pid_t(gateway.processId()), SIGTERM);
        QVERIFY(gateway.waitForFinished(5000));
        QCOMPARE(gateway.exitCode(), 0);
        QCOMPARE(runSql(storePath, { QStringLiteral("SELECT value FROM dev_data WHERE reg_addr=6 AND device="
                                                    "(SELECT device FROM devices WHERE dev_eui='%1');").arg(heard) })
                     .toString(),
                 QStringLiteral("00e1"));
    }

    // A history.db the gateway may not write (a read-only file on an otherwise writable disk):
    // history pauses, says so, and the registers are saved and served as ever.
    void readOnlyHistoryLeavesRegistersSaving()
    {
        const QString missing = missingPeers();
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
        const QString program = programsForAnyone(QStringLiteral("programs"));
        QVERIFY(!program.isEmpty());
        const QString devEui = QStringLiteral("70B3D5E75E00E003");
        QProcess simulator;
        const QString folder = simulatedFolder(QStringLiteral("history-readonly"), devEui, QStringLiteral("th"),
                                               simulator);
        QVERIFY(!folder.isEmpty());
        const quint16 port = GatewayTest::freePort();
        QVERIFY(port);
        QProcess add;
        add.start(GatewayTest::gatewayProgram(), { "devices", "add", "--dev-eui", devEui, "--template", "TH sensor",
                                                   "--name", "th", "--port", QString::number(port), "--start", "0",
                                                   "--workdir", folder });
        QVERIFY(add.waitForFinished(20000));
        QCOMPARE(add.exitCode(), 0);
        const QFile::Permissions read = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions all = read | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther | QFile::WriteOwner
            | QFile::WriteGroup | QFile::WriteOther;
        QVERIFY(setTreePermissions(folder, all, all));
        QVERIFY(QFile::setPermissions(workDir.path(), all));
        // Everything writable to the gateway's user but history.db.
        QVERIFY(GatewayTest::writeFile(QDir(folder).filePath(QStringLiteral("history.db")), QByteArray()));
        QVERIFY(QFile::setPermissions(QDir(folder).filePath(QStringLiteral("history.db")), read));

        QProcess gateway;
        runAsAnybody(gateway, program, { "--headless", "--workdir", folder }, folder);
        QVERIFY(gateway.waitForStarted(5000));
        QByteArray errors;
        const auto said = [&](const QByteArray &_text) {
            errors += gateway.readAllStandardError();
            return errors.contains(_text);
        };
        QVERIFY(QTest::qWaitFor([&] { return GatewayTest::readWithMbpoll(port, 6, 1).value(6) == 0x00e1; }, 15000));
        QVERIFY2(said("History paused"), errors.constData());
        GatewayTest::stopProcess(simulator);
        ::kill(pid_t(gateway.processId()), SIGTERM);
        QVERIFY(gateway.waitForFinished(5000));
        QCOMPARE(gateway.exitCode(), 0);
        QCOMPARE(runSql(QDir(folder).filePath(QStringLiteral("server.db")),
                        { QStringLiteral("SELECT value FROM dev_data WHERE reg_addr=6 AND device="
                                         "(SELECT device FROM devices WHERE dev_eui='%1');").arg(devEui) })
                     .toString(),
                 QStringLiteral("00e1"));
        QCOMPARE(QFileInfo(QDir(folder).filePath(QStringLiteral("history.db"))).size(), 0);
    }

    // kelvara history reads a history.db in a folder its user may not write, where not even the
    // write-ahead log's index can be made.
    void historyCommandReadsAFolderItCannotWrite()
    {
        QVERIFY2(geteuid() != 0 || QFile::exists(QStringLiteral("/usr/bin/setpriv")),
                 "setpriv is missing: install the Debian package util-linux");
        const QString program = programsForAnyone(QStringLiteral("programs"));
        QVERIFY(!program.isEmpty());
        const QString folder = workDir.filePath(QStringLiteral("history-closed"));
        QVERIFY(QDir().mkpath(folder));
        CManualClock clock;
        {
            CHistoryStore history(QDir(folder).filePath(QStringLiteral("history.db")), SHistorySettings(), &clock,
                                  CLogFile::getInstance(QString()));
            QVERIFY(history.open());
            SDeviceRegData uplink;
            uplink.devEui = QStringLiteral("70B3D5E75E00E004");
            uplink.receivedMs = clock.epochMs();
            uplink.values = { { QStringLiteral("Level"), 2.5, QStringLiteral("m") } };
            history.stage({ uplink });
            history.writeStaged();
        }
        const QFile::Permissions read = QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther;
        const QFile::Permissions enter = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        QVERIFY(setTreePermissions(folder, read | enter, read));
        QVERIFY(QFile::setPermissions(workDir.path(), read | enter | QFile::WriteOwner));
        QProcess command;
        runAsAnybody(command, program,
                     { "history", "--dev-eui", "70B3D5E75E00E004", "--from", "1700000000", "--to", "1700000000",
                       "--workdir", folder },
                     folder);
        QVERIFY(command.waitForFinished(10000));
        const QByteArray errors = command.readAllStandardError();
        QVERIFY2(command.exitCode() == 0, errors.constData());
        QCOMPARE(command.readAllStandardOutput(),
                 QByteArray("time,value_name,value,unit\n2023-11-14T22:13:20.000Z,Level,2.5,m\n"));
        QVERIFY(setTreePermissions(folder, read | enter | QFile::WriteOwner, read | QFile::WriteOwner));
    }

    // A window module that is there but cannot be read says so, with its path and why.
    void unreadableWindowModuleIsNamed()
    {
        QVERIFY2(geteuid() != 0 || QFile::exists(QStringLiteral("/usr/bin/setpriv")),
                 "setpriv is missing: install the Debian package util-linux");
        const QString program = programsForAnyone(QStringLiteral("closed-module"));
        QVERIFY(!program.isEmpty());
        const QString module = QFileInfo(program).absolutePath() + QStringLiteral("/kelvara-window.so");
        QVERIFY(QFile::setPermissions(module, QFile::WriteOwner));
        const QString folder = workDir.filePath(QStringLiteral("window-home"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::Permissions(0x7777)));
        QProcess gateway;
        runAsAnybody(gateway, program, { "--workdir", folder }, folder);
        QVERIFY(gateway.waitForFinished(10000));
        QCOMPARE(gateway.exitCode(), 2);
        const QString errors = QString::fromUtf8(gateway.readAllStandardError());
        QVERIFY2(errors.contains(QStringLiteral("%1 cannot be read: Permission denied").arg(module)), qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestReadOnlyFolder)
#include "tst_readonlyfolder.moc"
