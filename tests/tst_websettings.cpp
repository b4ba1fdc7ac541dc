#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include "app/clogfile.h"
#include "app/constants.h"
#include "app/csettings.h"
#include "app/timetext.h"
#include "gateway/cgateway.h"
#include "gateway/startupconfig.h"
#include "gatewaytestsupport.h"
#include "store/chistorystore.h"
#include "testworkdir.h"
#include "web/cwebusers.h"
#include "web/websettings.h"
#include "webtestsupport.h"

using namespace GatewayTest;
using namespace WebTest;

// The console's settings, accounts and HTTPS, each on a gateway of its own.
class TestWebSettings : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    QString adminToken;
    QString viewerToken;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(enterConsoleFolder(workDir, &adminToken, &viewerToken, &error), qPrintable(error));
    }

    void webSettingsAreChecked_data()
    {
        QTest::addColumn<QString>("lines");
        QTest::addColumn<bool>("enabled");
        QTest::addColumn<QString>("problem");
        QTest::newRow("no [web]") << "" << false << "";
        QTest::newRow("loopback") << "listen=127.0.0.1:8080" << true << "";
        QTest::newRow("IPv6 loopback") << "listen=[::1]:8080" << true << "";
        QTest::newRow("any address, plain") << "listen=0.0.0.0:8080" << false << "allow_plain_http=true";
        QTest::newRow("IPv6 any, plain") << "listen=[::]:8443" << false << "allow_plain_http=true";
        QTest::newRow("any address, plain allowed") << "listen=0.0.0.0:8080\nallow_plain_http=true" << true << "";
        QTest::newRow("IPv6 any with TLS") << "listen=[::]:8443\ncert_file=cert.pem\nkey_file=key.pem" << true << "";
        QTest::newRow("host name") << "listen=localhost:8080" << false << "[web] listen=localhost:8080";
        QTest::newRow("no port") << "listen=127.0.0.1" << false << "[web] listen=127.0.0.1";
        QTest::newRow("port 0") << "listen=127.0.0.1:0" << false << "[web] listen=127.0.0.1:0";
        QTest::newRow("port too high") << "listen=127.0.0.1:70000" << false << "[web] listen";
        QTest::newRow("IPv6 without brackets") << "listen=:::8080" << false << "[web] listen";
        QTest::newRow("certificate without key") << "listen=[::]:8443\ncert_file=cert.pem" << false
                                                 << "cert_file is set without key_file";
        QTest::newRow("missing certificate") << "listen=[::]:8443\ncert_file=none.pem\nkey_file=key.pem" << false
                                             << "cert_file=none.pem is not a readable file";
        QTest::newRow("flag not true or false") << "listen=127.0.0.1:8080\nmetrics_public=yes" << false
                                                << "[web] metrics_public=yes";
        QTest::newRow("time-out not a number") << "listen=127.0.0.1:8080\nread_timeout_ms=soon" << false
                                               << "[web] read_timeout_ms=soon";
    }

    void webSettingsAreChecked()
    {
        QFETCH(QString, lines);
        QFETCH(bool, enabled);
        QFETCH(QString, problem);
        QVERIFY(writeFile(workDir.filePath("cert.pem"), "pem"));
        QVERIFY(writeFile(workDir.filePath("key.pem"), "pem"));
        const QString file = workDir.filePath(QStringLiteral("web.conf"));
        QVERIFY(writeFile(file, ("[web]\n" + lines + "\n").toUtf8()));
        QSettings settings(file, CSettings::iniFormat());
        SWebSettings web;
        QString error;
        QDir::setCurrent(workDir.path());
        const bool read = readWebSettings(settings, &web, &error);
        QCOMPARE(read, problem.isEmpty());
        QVERIFY2(error.contains(problem), qPrintable(error));
        QCOMPARE(web.enabled, enabled);
    }

    void badWebSettingStopsTheGatewayNamingTheKey()
    {
        const QString folder = workDir.filePath(QStringLiteral("badweb"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(writeFile(folder + QStringLiteral("/settings.conf"), "[web]\nlisten=0.0.0.0:8080\n"));
        QProcess gatewayRun;
        gatewayRun.start(gatewayProgram(), { QStringLiteral("--headless"), QStringLiteral("--workdir"), folder });
        QVERIFY(gatewayRun.waitForFinished(10000));
        QCOMPARE(gatewayRun.exitCode(), 1);
        QVERIFY(QString::fromUtf8(gatewayRun.readAllStandardError()).contains(QLatin1String("[web] listen=0.0.0.0:8080")));
    }

    void accountsKeepOnlyHashes()
    {
        const QString folder = workDir.filePath(QStringLiteral("accounts"));
        QVERIFY(QDir().mkpath(folder));
        const auto run = [&folder](const QStringList &_arguments, const QByteArray &_input, QByteArray *_out) {
            QProcess command;
            command.start(gatewayProgram(), _arguments + QStringList { QStringLiteral("--workdir"), folder });
            command.write(_input);
            command.closeWriteChannel();
            command.waitForFinished(20000);
            *_out = command.readAllStandardOutput();
            return command.exitCode();
        };
        QByteArray out;
        QCOMPARE(run({ "web", "user", "add", "anna", "--admin", "--password-stdin" }, "pa ss,word\n", &out), 0);
        QCOMPARE(run({ "web", "user", "add", "ben", "--password-stdin" }, "other\n", &out), 0);
        QCOMPARE(run({ "web", "token", "add", "grafana" }, QByteArray(), &out), 0);
        const QString token = QString::fromLatin1(out.trimmed());
        QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(token).hasMatch(), out.constData());
        // Without a terminal and without --password-stdin nothing is asked nor added.
        QCOMPARE(run({ "web", "user", "add", "carl" }, "x\n", &out), 1);
        QCOMPARE(run({ "web", "user", "list" }, QByteArray(), &out), 0);
        QCOMPARE(out, QByteArray("user anna admin\nuser ben viewer\ntoken grafana viewer\n"));
        const QString path = folder + QStringLiteral("/web-users");
        QCOMPARE(QFileInfo(path).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), QFileDevice::Permissions());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray kept = file.readAll();
        QVERIFY(!kept.contains("pa ss,word") && !kept.contains(token.toLatin1()));
        QCOMPARE(kept.count("$argon2id$"), 2);
        CWebUsers users(path);
        QString error;
        QVERIFY(users.load(&error));
        bool admin = false;
        QVERIFY(users.checkPassword(QStringLiteral("anna"), QStringLiteral("pa ss,word"), &admin));
        QVERIFY(admin);
        QVERIFY(!users.checkPassword(QStringLiteral("anna"), QStringLiteral("pa ss,wordx"), &admin));
        QVERIFY(!users.checkPassword(QStringLiteral("ben"), QStringLiteral("pa ss,word"), &admin));
        QString name;
        QVERIFY(users.checkToken(token, &name, &admin));
        QCOMPARE(name, QStringLiteral("grafana"));
        QVERIFY(!admin);
        QVERIFY(!users.checkToken(token.left(63) + QLatin1Char(token.endsWith('0') ? '1' : '0'), &name, &admin));
        QCOMPARE(run({ "web", "token", "remove", "grafana" }, QByteArray(), &out), 0);
        QCOMPARE(run({ "web", "user", "remove", "nobody" }, QByteArray(), &out), 1);
        // Each change is one line of the log, without the secret; what changed nothing logs nothing.
        QFile log(folder + QStringLiteral("/history.log"));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray logged = log.readAll();
        QCOMPARE(logged.count('\n'), 4);
        QVERIFY(logged.contains("[kelvara web user add] user anna added (admin)"));
        QVERIFY(logged.contains("[kelvara web token remove] token grafana removed"));
        QVERIFY(!logged.contains("pa ss,word") && !logged.contains(token.toLatin1()) && !logged.contains("carl"));
    }

    void httpsServesWithASecureCookie()
    {
        const QString folder = workDir.filePath(QStringLiteral("tls"));
        QVERIFY(QDir().mkpath(folder));
        QProcess openssl;
        openssl.start(QStringLiteral("openssl"),
                      { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=kelvara", "-keyout",
                        folder + "/web.key", "-out", folder + "/web.pem" });
        QVERIFY2(openssl.waitForStarted(5000), "openssl is missing: install the Debian package openssl");
        QVERIFY(openssl.waitForFinished(30000));
        QCOMPARE(openssl.exitCode(), 0);
        QVERIFY(QFile::copy(workDir.filePath(CWebUsers::FILE_NAME), folder + QStringLiteral("/web-users")));
        SGatewayConfig config;
        config.workDir = folder;
        config.web.enabled = true;
        config.web.host = QStringLiteral("127.0.0.1");
        config.web.certFile = folder + QStringLiteral("/web.pem");
        config.web.keyFile = folder + QStringLiteral("/web.key");
        CGateway secure(config);
        QString error;
        QVERIFY(secure.start(&error));
        const quint16 port = quint16(secure.webPort());
        QVERIFY(port > 0);
        const SReply login = request(port, "POST", "/login", {}, "user=guest&password=look%20only", true);
        QCOMPARE(login.status, 303);
        QVERIFY2(login.headers.value("set-cookie").contains("; Secure"), login.headers.value("set-cookie").constData());
        const SReply status = request(port, "GET", "/api/v1/status", { { "Authorization", bearer(viewerToken) } },
                                      QByteArray(), true);
        QCOMPARE(status.status, 200);
        // Plain HTTP on the HTTPS port gets no answer.
        QCOMPARE(request(port, "GET", "/login").status, 0);
    }

    void consoleWithoutAccountsSaysHowToAddOne()
    {
        const QString folder = workDir.filePath(QStringLiteral("noaccounts"));
        QVERIFY(QDir().mkpath(folder));
        QSignalSpy lines(CLogFile::getInstance(QString()), &CLogFile::addLogSignal);
        SGatewayConfig config;
        config.workDir = folder;
        config.web.enabled = true;
        config.web.host = QStringLiteral("127.0.0.1");
        CGateway lonely(config);
        QString error;
        QVERIFY(lonely.start(&error));
        QCOMPARE(lonely.webPort(), 0);
        bool told = false;
        for (const QList<QVariant> &line : lines)
            told = told || line.at(0).toString().contains(QLatin1String("kelvara web user add NAME --admin"));
        QVERIFY(told);
    }
};

QTEST_GUILESS_MAIN(TestWebSettings)
#include "tst_websettings.moc"
