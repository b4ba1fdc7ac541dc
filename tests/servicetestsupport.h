#pragma once

// What the tests of the program as a service and of its commands share: the built program
// run in a folder, and the store read by a connection of the test's own.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QVariant>

#include "gatewaytestsupport.h"
#include "peertestsupport.h"

namespace ServiceTest {

using namespace GatewayTest;

inline const QString BOILER = QStringLiteral("70B3D5E75E00B001");
inline const QString CELLAR = QStringLiteral("70B3D5E75E00B002");
// Temperature 22.5 (0x00e1), humidity 44.1 (0x01b9), battery 3012 (0x0bc4), little-endian.
inline const QByteArray BOILER_PAYLOAD = "01e100b901c40b";

struct SRun
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

// The built program in _dir, waited for.
inline SRun kelvara(const QString &_dir, const QStringList &_arguments, const QProcessEnvironment &_environment = {})
{
    QProcess process;
    if (!_environment.isEmpty())
        process.setProcessEnvironment(_environment);
    process.start(gatewayProgram(), _arguments + QStringList { QStringLiteral("--workdir"), _dir });
    SRun run;
    if (!process.waitForFinished(20000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

inline QProcessEnvironment withoutDisplay()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : { "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "JOURNAL_STREAM" })
        environment.remove(QLatin1String(name));
    return environment;
}

inline QStringList addArguments(const QString &_devEui, const QString &_name, quint16 _port, int _start)
{
    return { "devices", "add", "--dev-eui", _devEui, "--template", "TH sensor", "--name", _name, "--port",
             QString::number(_port), "--start", QString::number(_start) };
}

// The value text of a register as server.db holds it, read by a connection of our own.
inline QString storedValue(const QString &_dir, const QString &_devEui, int _offset)
{
    QString value;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peer"));
        db.setDatabaseName(QDir(_dir).filePath(QStringLiteral("server.db")));
        if (db.open()) {
            QSqlQuery query(db);
            query.prepare(QStringLiteral("SELECT d.value FROM dev_data d JOIN devices v ON d.device = v.device "
                                         "WHERE v.dev_eui = :eui AND d.reg_addr = v.start_addr + :offset;"));
            query.bindValue(QStringLiteral(":eui"), _devEui);
            query.bindValue(QStringLiteral(":offset"), _offset);
            if (query.exec() && query.next())
                value = query.value(0).toString();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peer"));
    return value;
}

// Why the programs these tests run are not at hand; empty when they are.
inline QString missingPrograms()
{
    if (!QFile::exists(gatewayProgram()) || !QFile::exists(simulatorProgram()))
        return QStringLiteral("the gateway or the simulator is not built");
    return PeerTest::missingProgram(QStringLiteral("mbpoll"), QStringLiteral("mbpoll"));
}

// A folder with the example templates installed; empty when they could not be copied.
inline QString makeFolder(QTemporaryDir &_dir)
{
    const QDir dir(_dir.path());
    return installTemplates(dir) ? dir.path() : QString();
}

} // namespace ServiceTest
