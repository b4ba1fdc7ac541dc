#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "app/constants.h"
#include "app/csettings.h"
#include "gateway/startupconfig.h"

// The settings object is process-wide, so the cases run in order on one file.
class TestSettings : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString previousDir;

    int handWrittenFiles = 0;

    // A settings.conf with these lines, as an operator writes it by hand.
    QString handWritten(const QByteArray &_text)
    {
        // A file of its own for each case: QSettings caches a file it has read.
        const QString path = dir.filePath(QString::number(++handWrittenFiles) + QStringLiteral(".conf"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(_text) != _text.size())
            return QString();
        return path;
    }

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

    // Every key an operator writes by hand reads as written: Qt's own INI reader would turn an
    // unquoted comma into a list, which reads as an empty text.
    void handWrittenValues_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("expected");
        QTest::newRow("server ip") << QByteArray("[server]\nip = 10.0.0.7\n") << "server/ip" << "10.0.0.7";
        QTest::newRow("server port") << QByteArray("[server]\nport=8002\n") << "server/port" << "8002";
        QTest::newRow("login with comma") << QByteArray("[server]\nlogin=plant,north\n") << "server/login" << "plant,north";
        QTest::newRow("password with comma") << QByteArray("[server]\npassword=se,cret\n") << "server/password" << "se,cret";
        QTest::newRow("password comma and spaces") << QByteArray("[server]\npassword=a , b\n") << "server/password" << "a , b";
        QTest::newRow("password with semicolon") << QByteArray("[server]\npassword=x;y#z\n") << "server/password" << "x;y#z";
        // Qt's escapes (\\ \" \t ...) keep their meaning; any other backslash stays as written.
        QTest::newRow("password with backslash") << QByteArray("[server]\npassword=a\\q\\z\\\\1\n") << "server/password" << "a\\q\\z\\1";
        QTest::newRow("password quoted") << QByteArray("[server]\npassword=\" lead,trail \"\n") << "server/password" << " lead,trail ";
        QTest::newRow("password with equals") << QByteArray("[server]\npassword=a=b\n") << "server/password" << "a=b";
        QTest::newRow("mqtt password") << QByteArray("[mqtt]\npassword=NNSXS.A,B\n") << "mqtt/password" << "NNSXS.A,B";
        QTest::newRow("mqtt username") << QByteArray("[mqtt]\nusername=app@ttn,eu\n") << "mqtt/username" << "app@ttn,eu";
        QTest::newRow("mqtt topic") << QByteArray("[mqtt]\ntopic=v3/+/devices/+/up\n") << "mqtt/topic" << "v3/+/devices/+/up";
        QTest::newRow("write_allow list") << QByteArray("[modbus]\nwrite_allow=10.0.0.5, 192.168.1.0/24\n") << "modbus/write_allow" << "10.0.0.5, 192.168.1.0/24";
        QTest::newRow("bind") << QByteArray("[modbus]\nbind=127.0.0.1\n") << "modbus/bind" << "127.0.0.1";
        QTest::newRow("comment lines") << QByteArray("; the plant\n# gateway\n[modbus]\n;bind=1.2.3.4\nidle_timeout=60\n") << "modbus/idle_timeout" << "60";
        QTest::newRow("second group wins its key") << QByteArray("[server]\nport=1\n[mqtt]\nport=1883\n") << "mqtt/port" << "1883";
        QTest::newRow("Qt escapes") << QByteArray("[server]\npassword=\"q\\\"uote\"\n") << "server/password" << "q\"uote";
    }
    void handWrittenValues()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, key);
        QFETCH(QString, expected);
        const QSettings settings(handWritten(text), CSettings::iniFormat());
        QCOMPARE(settings.value(key).toString(), expected);
    }

    // What CSettings writes, Qt's reader and ours read back the same.
    void writtenValuesReadBack_data()
    {
        QTest::addColumn<QString>("value");
        QTest::newRow("commas") << "10.0.0.5, 192.168.1.0/24";
        QTest::newRow("spaces around") << "  padded  ";
        QTest::newRow("quote and backslash") << "a\"b\\c";
        QTest::newRow("semicolon") << "p=w;d";
        QTest::newRow("at sign first") << "@home";
        QTest::newRow("non ASCII") << QString::fromUtf8("Grüße");
    }
    void writtenValuesReadBack()
    {
        QFETCH(QString, value);
        const QString path = dir.filePath(QStringLiteral("written-%1.conf").arg(QTest::currentDataTag()));
        {
            QSettings writer(path, CSettings::iniFormat());
            writer.setValue(QStringLiteral("server/password"), value);
        }
        QCOMPARE(QSettings(path, CSettings::iniFormat()).value(QStringLiteral("server/password")).toString(), value);
        QCOMPARE(QSettings(path, QSettings::IniFormat).value(QStringLiteral("server/password")).toString(), value);
    }

    // write_allow as the README writes it limits writers; one that cannot be read stops the start.
    void writeAllow_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<int>("entries");
        QTest::newRow("two unquoted") << QByteArray("[modbus]\nwrite_allow=10.0.0.5, 192.168.1.0/24\n") << true << 2;
        QTest::newRow("two quoted") << QByteArray("[modbus]\nwrite_allow=\"10.0.0.5, 192.168.1.0/24\"\n") << true << 2;
        QTest::newRow("three, IPv6 too") << QByteArray("[modbus]\nwrite_allow=10.0.0.5,10.0.0.6,fd00::/8\n") << true << 3;
        QTest::newRow("absent: any") << QByteArray("[modbus]\nbind=0.0.0.0\n") << true << 0;
        QTest::newRow("bad second entry") << QByteArray("[modbus]\nwrite_allow=10.0.0.5, plant\n") << false << 0;
    }
    void writeAllow()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, usable);
        QFETCH(int, entries);
        const QSettings settings(handWritten(text), CSettings::iniFormat());
        SGatewayConfig config;
        QString error;
        QCOMPARE(readGatewayConfig(settings, &config, &error), usable);
        QCOMPARE(config.writeAllow.size(), entries);
        if (!usable)
            QVERIFY2(error.contains(QStringLiteral("write_allow")), qPrintable(error));
    }

    // [history] as the README writes it; a value that cannot be used stops the start naming its key.
    void historySettings_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("usable");
        QTest::addColumn<int>("keepDays");
        QTest::addColumn<int>("maxMb");
        QTest::addColumn<QString>("key");
        QTest::newRow("absent: a week, 1 GiB") << QByteArray("[modbus]\nbind=0.0.0.0\n") << true << 7 << 1024 << "";
        QTest::newRow("both set") << QByteArray("[history]\nkeep_days=30\nmax_mb=200\n") << true << 30 << 200 << "";
        QTest::newRow("0 days: off") << QByteArray("[history]\nkeep_days=0\n") << true << 0 << 1024 << "";
        QTest::newRow("days not a number") << QByteArray("[history]\nkeep_days=week\n") << false << 7 << 1024
                                           << "[history] keep_days=week";
        QTest::newRow("negative days") << QByteArray("[history]\nkeep_days=-1\n") << false << 7 << 1024
                                       << "[history] keep_days=-1";
        QTest::newRow("0 MB") << QByteArray("[history]\nmax_mb=0\n") << false << 7 << 1024 << "[history] max_mb=0";
    }
    void historySettings()
    {
        QFETCH(QByteArray, text);
        QFETCH(bool, usable);
        QFETCH(int, keepDays);
        QFETCH(int, maxMb);
        QFETCH(QString, key);
        const QSettings settings(handWritten(text), CSettings::iniFormat());
        SGatewayConfig config;
        QString error;
        QCOMPARE(readGatewayConfig(settings, &config, &error), usable);
        if (!usable) {
            QVERIFY2(error.contains(key), qPrintable(error));
            return;
        }
        QCOMPARE(config.history.keepDays, keepDays);
        QCOMPARE(config.history.maxMb, maxMb);
        QCOMPARE(config.history.enabled(), keepDays > 0);
    }

    void unreadableFileStopsTheStart()
    {
        // A directory in the file's place cannot be read, not even by root.
        const QString path = dir.filePath(QStringLiteral("unreadable.conf"));
        QVERIFY(QDir().mkpath(path));
        const QSettings settings(path, CSettings::iniFormat());
        SGatewayConfig config;
        QString error;
        QVERIFY(!readGatewayConfig(settings, &config, &error));
        QVERIFY2(error.contains(QStringLiteral("cannot be read")), qPrintable(error));
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
