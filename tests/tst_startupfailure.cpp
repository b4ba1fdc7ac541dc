#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/globaltables.h"
#include "store/storecolumns.h"
#include "ui/cgatewaystartup.h"
#include "ui/cusernotice.h"
#include "testworkdir.h"

// A register store that cannot be opened stops the start with a message saying so.
class TestStartupFailure : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;

    // Runs _work with stderr going to a file; returns what was written there.
    template <typename Work>
    static QByteArray captureStderr(const QString &_path, Work _work)
    {
        std::fflush(stderr);
        const int saved = dup(STDERR_FILENO);
        std::FILE *target = std::fopen(qPrintable(_path), "w");
        if (saved < 0 || !target)
            return QByteArray();
        dup2(fileno(target), STDERR_FILENO);
        _work();
        std::fflush(stderr);
        dup2(saved, STDERR_FILENO);
        close(saved);
        std::fclose(target);
        QFile file(_path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(workDir.enter());
        CSettings::getInstance(SETTINGS_FILE_NAME);
    }
    void cleanupTestCase()
    {
        CUserNotice::setNoticeHandler(nullptr);
    }

    void unopenableStoreStopsTheStart()
    {
        // A directory where the database file should be.
        QVERIFY(QDir().mkdir(DB_FILE_NAME));
        QList<QPair<QMessageBox::Icon, QString>> notices;
        CUserNotice::setNoticeHandler(
            [&notices](QWidget *, QMessageBox::Icon _icon, const QString &_text, const QString &_informative) {
                notices.append({ _icon, _text + QLatin1Char('\n') + _informative });
            });
        CGatewayStartup startup;
        bool started = true;
        const QByteArray errorOutput
            = captureStderr(workDir.filePath(QStringLiteral("stderr.txt")), [&] { started = startup.start(); });
        QVERIFY(!started);
        QVERIFY(!startup.window());

        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().first, QMessageBox::Critical);
        QVERIFY(notices.first().second.contains(QStringLiteral("\"server.db\"")));
        // The driver's reason travels with it.
        QVERIFY2(notices.first().second.contains(QStringLiteral("Error_text[")), qPrintable(notices.first().second));

        QVERIFY(errorOutput.contains("\"server.db\" cannot be opened"));
        QFile log(QStringLiteral("history.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("[CGatewayStartup::start] Register store \"server.db\" cannot be opened"));
    }
};

QTEST_MAIN(TestStartupFailure)
#include "tst_startupfailure.moc"
