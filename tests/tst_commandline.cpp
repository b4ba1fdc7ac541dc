#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include "app/commandline.h"
#include "gatewaytestsupport.h"

Q_DECLARE_METATYPE(SCommandLine::EAction)

// The program's options, parsed, and as the built program answers them.
class TestCommandLine : public QObject
{
    Q_OBJECT

private:
    struct SRun
    {
        int exitCode = -1;
        QString out;
        QString err;
    };

    // Runs the built gateway with _arguments and only _environment, in a fresh directory.
    static SRun runGateway(
        const QStringList &_arguments, const QProcessEnvironment &_environment, const QString &_workDir)
    {
        QProcess gateway;
        gateway.setProcessEnvironment(_environment);
        gateway.setWorkingDirectory(_workDir);
        gateway.start(GatewayTest::gatewayProgram(), _arguments);
        SRun run;
        if (!gateway.waitForFinished(10000)) {
            GatewayTest::stopProcess(gateway);
            return run;
        }
        run.exitCode = gateway.exitStatus() == QProcess::NormalExit ? gateway.exitCode() : -1;
        run.out = QString::fromLocal8Bit(gateway.readAllStandardOutput());
        run.err = QString::fromLocal8Bit(gateway.readAllStandardError());
        return run;
    }

    static QProcessEnvironment withoutDisplay()
    {
        QProcessEnvironment environment;
        environment.insert(QStringLiteral("PATH"), QProcessEnvironment::systemEnvironment().value("PATH"));
        return environment;
    }

    // The version as the build states it, read independently of the program.
    static QString projectVersion()
    {
        QFile cmake(QStringLiteral(KELVARA_SOURCE_DIR "/CMakeLists.txt"));
        if (!cmake.open(QIODevice::ReadOnly))
            return QString();
        return QRegularExpression(QStringLiteral("project\\(kelvara VERSION ([0-9.]+)"))
            .match(QString::fromUtf8(cmake.readAll()))
            .captured(1);
    }

private slots:
    void parse_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<SCommandLine::EAction>("action");
        QTest::addColumn<bool>("headless");
        QTest::addColumn<QString>("workDir");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<QString>("error");

        const QString none;
        QTest::newRow("nothing") << QStringList() << SCommandLine::eRun << false << none << none << none;
        QTest::newRow("help") << QStringList { "--help" } << SCommandLine::eHelp << false << none << none << none;
        QTest::newRow("short help") << QStringList { "-h" } << SCommandLine::eHelp << false << none << none << none;
        QTest::newRow("version") << QStringList { "--version" } << SCommandLine::eVersion << false << none << none
                                 << none;
        QTest::newRow("help wins over version")
            << QStringList { "--version", "--help" } << SCommandLine::eHelp << false << none << none << none;
        QTest::newRow("headless") << QStringList { "--headless" } << SCommandLine::eRun << true << none << none << none;
        QTest::newRow("workdir, next argument") << QStringList { "--workdir", "/var/lib/kelvara", "--headless" }
                                                << SCommandLine::eRun << true << "/var/lib/kelvara" << none << none;
        QTest::newRow("workdir with =") << QStringList { "--workdir=/srv/gw" } << SCommandLine::eRun << false
                                        << "/srv/gw" << none << none;
        QTest::newRow("workdir without directory")
            << QStringList { "--headless", "--workdir" } << SCommandLine::eUsageError << true << none << none
            << "--workdir needs a directory";
        QTest::newRow("workdir empty") << QStringList { "--workdir=" } << SCommandLine::eUsageError << false << none
                                       << none << "--workdir needs a directory";
        QTest::newRow("unknown option") << QStringList { "--frobnicate" } << SCommandLine::eUsageError << false << none
                                        << none << "unknown option --frobnicate";
        QTest::newRow("unknown option before help")
            << QStringList { "--verbose", "--help" } << SCommandLine::eUsageError << false << none << none
            << "unknown option --verbose";
        QTest::newRow("headless with a value") << QStringList { "--headless=yes" } << SCommandLine::eUsageError << false
                                               << none << none << "unknown option --headless=yes";
        QTest::newRow("stray argument") << QStringList { "demo" } << SCommandLine::eUsageError << false << none << none
                                        << "unexpected argument demo";
        QTest::newRow("Qt platform") << QStringList { "-platform", "offscreen" } << SCommandLine::eRun << false << none
                                     << "offscreen" << none;
        QTest::newRow("Qt style and flag")
            << QStringList { "-style=fusion", "-reverse" } << SCommandLine::eRun << false << none << none << none;
        QTest::newRow("Qt platform without value") << QStringList { "-platform" } << SCommandLine::eUsageError << false
                                                   << none << none << "-platform needs a value";
    }
    void parse()
    {
        QFETCH(QStringList, arguments);
        QFETCH(SCommandLine::EAction, action);
        QFETCH(bool, headless);
        QFETCH(QString, workDir);
        QFETCH(QString, platform);
        QFETCH(QString, error);
        const SCommandLine parsed = parseCommandLine(arguments);
        QCOMPARE(parsed.action, action);
        QCOMPARE(parsed.headless, headless);
        QCOMPARE(parsed.workDir, workDir);
        QCOMPARE(parsed.platform, platform);
        QCOMPARE(parsed.error, error);
    }

    void display_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("variable");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("available");

        QTest::newRow("nothing") << QStringList() << QString() << QString() << false;
        QTest::newRow("X11") << QStringList() << "DISPLAY"
                             << ":0" << true;
        QTest::newRow("X11 empty") << QStringList() << "DISPLAY"
                                   << "" << false;
        QTest::newRow("Wayland") << QStringList() << "WAYLAND_DISPLAY"
                                 << "wayland-0" << true;
        QTest::newRow("Qt platform variable") << QStringList() << "QT_QPA_PLATFORM"
                                              << "offscreen" << true;
        QTest::newRow("Qt platform option")
            << QStringList { "-platform", "offscreen" } << QString() << QString() << true;
        QTest::newRow("other variable") << QStringList() << "TERM"
                                        << "xterm" << false;
    }
    void display()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, variable);
        QFETCH(QString, value);
        QFETCH(bool, available);
        QProcessEnvironment environment;
        if (!variable.isEmpty())
            environment.insert(variable, value);
        QCOMPARE(displayAvailable(parseCommandLine(arguments), environment), available);
    }

    void programAnswers_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");

        const QString usage = commandLineUsage();
        QTest::newRow("help") << QStringList { "--help" } << 0 << usage << QString();
        QTest::newRow("version") << QStringList { "--version" } << 0 << "kelvara " + projectVersion() + "\n"
                                 << QString();
        QTest::newRow("unknown option") << QStringList { "--frobnicate" } << 2 << QString()
                                        << "kelvara: unknown option --frobnicate\n" + usage;
        QTest::newRow("no display") << QStringList() << 2 << QString() << "no display; run with --headless\n";
    }
    void programAnswers()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QVERIFY(!projectVersion().isEmpty());
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        const SRun run = runGateway(arguments, withoutDisplay(), workDir.path());
        QCOMPARE(run.err, err);
        QCOMPARE(run.out, out);
        QCOMPARE(run.exitCode, exitCode);
        // Nothing was started: no log, no settings, no store.
        QCOMPARE(QDir(workDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    void missingWorkDirStops()
    {
        QTemporaryDir workDir;
        QVERIFY(workDir.isValid());
        QProcessEnvironment environment = withoutDisplay();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        const QString missing = workDir.filePath(QStringLiteral("absent"));
        const SRun run = runGateway({ "--workdir", missing }, environment, workDir.path());
        QCOMPARE(run.err, "kelvara: cannot work in " + missing + "\n");
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(QDir(workDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
