#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <sys/resource.h>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "gateway/settingsfile.h"
#include "modbus/modbuslimits.h"
#include "testworkdir.h"

// The settings object is process-wide: one settings.conf, rewritten by the cases.
class TestModbusLimits : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir dir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.enter());
        QFile file(SETTINGS_FILE_NAME);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray text = "[server]\nip=10.0.0.1\n\n[modbus]\nidle_timeout=120\nmax_connections=50\n";
        QCOMPARE(file.write(text), qint64(text.size()));
        file.close();
        QVERIFY(CSettings::getInstance(SETTINGS_FILE_NAME));
    }

    void readFromTheModbusGroup()
    {
        const SModbusLimits limits = readModbusLimits(*CSettings::getInstance(QString()));
        QCOMPARE(limits.idleTimeoutMs, 120 * 1000);
        QCOMPARE(limits.maxConnections, 50);
    }

    void values_data()
    {
        QTest::addColumn<QVariant>("idleTimeout"); // invalid: key absent
        QTest::addColumn<QVariant>("maxConnections");
        QTest::addColumn<int>("idleTimeoutMs");
        QTest::addColumn<int>("expectedMax");
        QTest::addColumn<int>("warnings");
        QTest::newRow("absent: defaults") << QVariant() << QVariant() << 300000 << 1000 << 0;
        QTest::newRow("idle 0 means never") << QVariant("0") << QVariant("1") << 0 << 1 << 0;
        QTest::newRow("spaces around") << QVariant(" 5 ") << QVariant(" 7") << 5000 << 7 << 0;
        QTest::newRow("negative idle") << QVariant("-1") << QVariant() << 300000 << 1000 << 1;
        QTest::newRow("no connections") << QVariant() << QVariant("0") << 300000 << 1000 << 1;
        QTest::newRow("words") << QVariant("five") << QVariant("many") << 300000 << 1000 << 2;
        QTest::newRow("fraction") << QVariant("1.5") << QVariant() << 300000 << 1000 << 1;
        QTest::newRow("idle past int milliseconds") << QVariant("2147484") << QVariant() << 300000 << 1000 << 1;
    }
    void values()
    {
        QFETCH(QVariant, idleTimeout);
        QFETCH(QVariant, maxConnections);
        QFETCH(int, idleTimeoutMs);
        QFETCH(int, expectedMax);
        QFETCH(int, warnings);
        CSettings *settings = CSettings::getInstance(QString());
        for (const auto &[key, value] : { std::pair<QString, QVariant> { "modbus/idle_timeout", idleTimeout },
                 std::pair<QString, QVariant> { "modbus/max_connections", maxConnections } }) {
            if (value.isValid())
                QVERIFY(CSettings::writeValue(key, value));
            else
                settings->remove(key);
        }
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        const SModbusLimits limits = readModbusLimits(*CSettings::getInstance(QString()));
        QCOMPARE(limits.idleTimeoutMs, idleTimeoutMs);
        QCOMPARE(limits.maxConnections, expectedMax);
        QCOMPARE(log.size(), warnings);
        for (const QList<QVariant> &line : log)
            QVERIFY(line.at(0).toString().contains("WARNING: [readModbusLimits] Invalid value ["));
    }

    void openFileLimitRaisedToHard()
    {
        rlimit limit {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
        QVERIFY2(limit.rlim_max > 256, "needs a hard limit above 256 open files");
        limit.rlim_cur = 256;
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);
        QSignalSpy log(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        QVERIFY(raiseOpenFileLimit(CLogFile::getInstance(QString())));
        rlimit raised {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &raised), 0);
        QCOMPARE(raised.rlim_cur, limit.rlim_max);
        QCOMPARE(log.size(), 1);
        QVERIFY(
            log.at(0).at(0).toString().contains("INFO: [raiseOpenFileLimit] Open files limit raised from [256] to ["));
        // Already at the hard limit: nothing to do, nothing logged.
        QVERIFY(raiseOpenFileLimit(CLogFile::getInstance(QString())));
        QCOMPARE(log.size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestModbusLimits)
#include "tst_modbuslimits.moc"
