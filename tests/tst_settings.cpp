#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/constants.h"
#include "app/csettings.h"

// The settings object is process-wide, so the cases run in order on one file.
class TestSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString previousDir;

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        previousDir = QDir::currentPath();
        QVERIFY(QDir::setCurrent(dir.path()));
    }
    void cleanupTestCase() { QDir::setCurrent(previousDir); }

    void emptyNameWithoutObjectIsRefused()
    {
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::getInstance] Invalid fileName");
        QVERIFY(!CSettings::getInstance(QString()));
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::getInstance] Invalid fileName");
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::readValue] Invalid object");
        QVERIFY(!CSettings::readValue(QStringLiteral("server/ip"), QVariant()).isValid());
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::getInstance] Invalid fileName");
        QTest::ignoreMessage(QtDebugMsg, "ERROR: [CSettings::writeValue] Invalid object");
        QVERIFY(!CSettings::writeValue(QStringLiteral("server/ip"), QStringLiteral("1.2.3.4")));
    }

    void firstNameWins()
    {
        CSettings *settings = CSettings::getInstance(SETTINGS_FILE_NAME);
        QVERIFY(settings);
        QCOMPARE(CSettings::getInstance(QStringLiteral("other.conf")), settings);
        QCOMPARE(CSettings::getInstance(QString()), settings);
        QCOMPARE(QFileInfo(settings->fileName()).fileName(), SETTINGS_FILE_NAME);
    }

    void absentKeyReadsInvalid()
    {
        const QVariant value = CSettings::readValue(SETTINGS_GROUP_SERVER + SETTINGS_KEY_IP, QVariant());
        QVERIFY(!value.isValid());
        QCOMPARE(value.toString(), QString());
    }

    void writeStoresGroupServerOnDisk()
    {
        QVERIFY(CSettings::writeValue(SETTINGS_GROUP_SERVER + SETTINGS_KEY_IP, QStringLiteral("192.168.1.20")));
        QVERIFY(CSettings::writeValue(SETTINGS_GROUP_SERVER + SETTINGS_KEY_PASSWORD, QStringLiteral("p=w;d")));
        QFile file(SETTINGS_FILE_NAME);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY2(text.contains(QStringLiteral("[server]")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("ip=192.168.1.20")), qPrintable(text));
        // Another reader of the file sees the same values.
        QSettings reader(SETTINGS_FILE_NAME, QSettings::IniFormat);
        QCOMPARE(reader.value(QStringLiteral("server/password")).toString(), QStringLiteral("p=w;d"));
        QCOMPARE(CSettings::readValue(QStringLiteral("server/ip"), QVariant()).toString(),
                 QStringLiteral("192.168.1.20"));
    }

    void unwritableFileIsReported()
    {
        // A directory in the file's place: the write cannot land.
        QVERIFY(QFile::remove(SETTINGS_FILE_NAME));
        QVERIFY(QDir().mkdir(SETTINGS_FILE_NAME));
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("Settings file is not written")));
        QVERIFY(!CSettings::writeValue(SETTINGS_GROUP_SERVER + SETTINGS_KEY_LOGIN, QStringLiteral("admin")));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
