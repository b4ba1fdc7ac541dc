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

// The console over real HTTP on loopback: who may do what, the API's answers and refusals,
// sessions on the test clock, and requests meant to hurt it.
class TestWebConsole : public QObject
{
    Q_OBJECT

private:
    CTestWorkDir workDir;
    CManualClock clock;
    std::unique_ptr<CGateway> gateway;
    quint16 webPort = 0;
    quint16 modbusPort = 0;
    QString adminToken;
    QString viewerToken;

    SReply withToken(const QString &_token, const QByteArray &_method, const QByteArray &_path,
                     const QByteArray &_body = QByteArray())
    {
        return request(webPort, _method, _path, { { "Authorization", bearer(_token) } }, _body);
    }

    // A session's cookie ("kelvara_session=...") and its CSRF token.
    bool logIn(const QString &_user, const QString &_password, QByteArray *_cookie, QByteArray *_csrf)
    {
        const SReply reply = request(webPort, "POST", "/login", { { "Content-Type", "application/x-www-form-urlencoded" } },
                                     "user=" + QUrl::toPercentEncoding(_user) + "&password="
                                         + QUrl::toPercentEncoding(_password));
        if (reply.status != 303)
            return false;
        *_cookie = reply.headers.value("set-cookie").split(';').first();
        const SReply session = request(webPort, "GET", "/api/v1/session", { { "Cookie", *_cookie } });
        *_csrf = session.json().object().value(QStringLiteral("csrf")).toString().toLatin1();
        return session.status == 200 && !_csrf->isEmpty();
    }

    static QByteArray deviceBody(const QString &_devEui, quint16 _port, const QString &_template = "TH sensor")
    {
        return QJsonDocument(QJsonObject { { "devEui", _devEui }, { "template", _template }, { "name", "pump" },
                                           { "port", _port }, { "startAddress", 0 } })
            .toJson();
    }

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(enterConsoleFolder(workDir, &adminToken, &viewerToken, &error), qPrintable(error));

        SGatewayConfig config;
        config.workDir = workDir.path();
        config.clock = &clock;
        config.modbusBind = QHostAddress::LocalHost;
        config.web.enabled = true;
        config.web.host = QStringLiteral("127.0.0.1");
        config.web.port = 0;
        config.web.readTimeoutMs = READ_TIMEOUT_MS;
        config.web.metricsPerDevice = true;
        gateway = std::make_unique<CGateway>(config);
        QVERIFY2(gateway->start(&error), qPrintable(error));
        webPort = quint16(gateway->webPort());
        QVERIFY(webPort > 0);
        modbusPort = freePort();
        DB::SDeviceRegMapDescription device;
        device.devEui = DEVICE;
        device.appEui = TH_APP_EUI;
        device.name = QStringLiteral("boiler room");
        device.registers = gateway->regMap(TH_APP_EUI).registers;
        QVERIFY(gateway->addDevice(device, modbusPort).ok());
    }

    void cleanupTestCase() { gateway.reset(); }

    void apiAnswers_data()
    {
        QTest::addColumn<QString>("who");
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("contains");
        const QByteArray none;
        QTest::newRow("status needs a log-in") << "" << QByteArray("GET") << QByteArray("/api/v1/status") << none << 401
                                               << "\"error\"";
        QTest::newRow("unknown token") << "nobody" << QByteArray("GET") << QByteArray("/api/v1/status") << none << 401
                                       << "token is not known";
        QTest::newRow("status") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/status") << none << 200
                                << "\"serverKind\":\"websocket\"";
        QTest::newRow("devices") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/devices") << none << 200
                                 << "\"devEui\":\"4B454C5600000001\"";
        QTest::newRow("a device") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/devices/4b454c5600000001")
                                  << none << 200 << "\"name\":\"boiler room\"";
        QTest::newRow("its registers") << "viewer" << QByteArray("GET")
                                       << QByteArray("/api/v1/devices/4B454C5600000001/registers") << none << 200
                                       << "\"register\":\"40007\"";
        QTest::newRow("its uplinks") << "viewer" << QByteArray("GET")
                                     << QByteArray("/api/v1/devices/4B454C5600000001/uplinks") << none << 200 << "[]";
        QTest::newRow("unknown device") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/devices/0000000000000009")
                                        << none << 404 << "no device";
        QTest::newRow("not a DevEUI") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/devices/abc") << none
                                      << 404 << "\"error\"";
        QTest::newRow("map as CSV") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/map?format=csv") << none
                                    << 200 << "4B454C5600000001";
        QTest::newRow("map as Markdown") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/map?format=md") << none
                                         << 200 << "| port |";
        QTest::newRow("map in another format") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/map?format=xml")
                                               << none << 400 << "not csv or md";
        QTest::newRow("export as CSV") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/export?format=csv")
                                       << none << 200 << "dev_eui,name,template,port,start_address\n4B454C5600000001,";
        QTest::newRow("export as JSON") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/export?format=json")
                                        << none << 200 << "\"dev_eui\": \"4B454C5600000001\"";
        QTest::newRow("export in another format") << "viewer" << QByteArray("GET")
                                                  << QByteArray("/api/v1/export?format=md") << none << 400 << "csv or json";
        QTest::newRow("log lines") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/log?lines=2") << none << 200
                                   << "[";
        QTest::newRow("log lines not a number") << "viewer" << QByteArray("GET") << QByteArray("/api/v1/log?lines=x")
                                                << none << 400 << "lines=x";
        QTest::newRow("viewer may not delete") << "viewer" << QByteArray("DELETE")
                                               << QByteArray("/api/v1/devices/4B454C5600000001") << none << 403
                                               << "may look but not change";
        QTest::newRow("viewer may not add") << "viewer" << QByteArray("POST") << QByteArray("/api/v1/devices")
                                            << deviceBody("4B454C5600000005", 1) << 403 << "may look";
        QTest::newRow("body is no JSON") << "admin" << QByteArray("POST") << QByteArray("/api/v1/devices")
                                         << QByteArray("{\"devEui\":") << 400 << "not JSON";
        QTest::newRow("already registered") << "admin" << QByteArray("POST") << QByteArray("/api/v1/devices")
                                            << deviceBody(DEVICE, 1) << 409 << "already registered";
        QTest::newRow("unknown template") << "admin" << QByteArray("POST") << QByteArray("/api/v1/devices")
                                          << deviceBody("4B454C5600000005", 1, "kettle") << 400 << "no template";
        QTest::newRow("port out of range") << "admin" << QByteArray("POST") << QByteArray("/api/v1/devices")
                                           << deviceBody("4B454C5600000005", 0) << 400 << "not a TCP port";
        QTest::newRow("edit a name it cannot change") << "admin" << QByteArray("PATCH")
                                                      << QByteArray("/api/v1/devices/4B454C5600000001")
                                                      << QByteArray("{\"port\":9}") << 400 << "cannot be changed";
        QTest::newRow("edit a register it lacks") << "admin" << QByteArray("PATCH")
                                                  << QByteArray("/api/v1/devices/4B454C5600000001")
                                                  << QByteArray("{\"registers\":[{\"address\":99,\"multiplier\":2}]}")
                                                  << 400 << "no register at address 99";
        QTest::newRow("delete an unknown device") << "admin" << QByteArray("DELETE")
                                                  << QByteArray("/api/v1/devices/0000000000000009") << none << 404
                                                  << "no device";
        QTest::newRow("metrics need a token") << "" << QByteArray("GET") << QByteArray("/metrics") << none << 401
                                              << "Bearer";
        QTest::newRow("a page without a session") << "" << QByteArray("GET") << QByteArray("/devices") << none << 303
                                                  << "";
        QTest::newRow("log-in page") << "" << QByteArray("GET") << QByteArray("/login") << none << 200
                                     << "name=\"password\"";
        QTest::newRow("leaving the web root") << "admin" << QByteArray("GET") << QByteArray("/../settings.conf") << none
                                              << 404 << "\"error\"";
        QTest::newRow("leaving it encoded") << "admin" << QByteArray("GET") << QByteArray("/%2e%2e/settings.conf")
                                            << none << 404 << "\"error\"";
        QTest::newRow("leaving it from the assets") << "admin" << QByteArray("GET")
                                                    << QByteArray("/static/..%2f..%2fweb-users") << none << 404
                                                    << "\"error\"";
        QTest::newRow("an asset") << "" << QByteArray("GET") << QByteArray("/static/app.js") << none << 200 << "live(";
        const QByteArray importFile = "dev_eui,name,template,port,start_address\n4B454C5600000077,x,Toaster,15601,0\n";
        QTest::newRow("import by a viewer") << "viewer" << QByteArray("POST") << QByteArray("/api/v1/import")
                                            << importFile << 403 << "may look but not change";
        QTest::newRow("import of a bad row") << "admin" << QByteArray("POST") << QByteArray("/api/v1/import")
                                             << importFile << 400 << "row 2 (4B454C5600000077): no template has dev_type";
        QTest::newRow("import with GET") << "admin" << QByteArray("GET") << QByteArray("/api/v1/import") << none << 405
                                         << "import takes POST";
    }

    void apiAnswers()
    {
        QFETCH(QString, who);
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, body);
        QFETCH(int, status);
        QFETCH(QString, contains);
        QList<QPair<QByteArray, QByteArray>> headers;
        if (who == QLatin1String("admin"))
            headers.append({ "Authorization", bearer(adminToken) });
        else if (who == QLatin1String("viewer"))
            headers.append({ "Authorization", bearer(viewerToken) });
        else if (!who.isEmpty())
            headers.append({ "Authorization", QByteArray("Bearer 00ff") });
        const SReply reply = request(webPort, method, path, headers, body);
        QCOMPARE(reply.status, status);
        QVERIFY2(reply.body.contains(contains.toUtf8()), reply.body.constData());
        if (status >= 400)
            QVERIFY2(reply.json().object().contains(QStringLiteral("error")), reply.body.constData());
    }

    // A device's history as the trend asks it: rows, buckets worked out by hand, and refusals.
    void historyIsAnsweredThroughTheApi()
    {
        CHistoryStore writer(workDir.filePath(QStringLiteral("history.db")), SHistorySettings(), &clock,
                             CLogFile::getInstance(QString()));
        QVERIFY(writer.open());
        const qint64 to = clock.epochMs();
        const qint64 from = to - 9 * 60000;
        QList<SDeviceRegData> rows;
        // Level i at minute i of the range: 0 to 9.
        for (int i = 0; i < 10; ++i) {
            SDeviceRegData uplink;
            uplink.devEui = DEVICE;
            uplink.receivedMs = from + i * 60000;
            uplink.values = { { QStringLiteral("Level"), double(i), QStringLiteral("cm") },
                              { QStringLiteral("Flow"), 0.5, QStringLiteral("l/s") } };
            rows << uplink;
        }
        writer.stage(rows);
        writer.writeStaged();
        const QByteArray base = "/api/v1/devices/4B454C5600000001/history";
        const QByteArray range = "&from=" + isoTimeText(from).toLatin1() + "&to=" + QByteArray::number(to / 1000.0, 'f', 3);

        SReply reply = withToken(viewerToken, "GET", base + "?value=Level" + range);
        QCOMPARE(reply.status, 200);
        QJsonObject answer = reply.json().object();
        QCOMPARE(answer.value("unit").toString(), QStringLiteral("cm"));
        QCOMPARE(answer.value("bucketed").toBool(), false);
        QCOMPARE(answer.value("values").toArray().size(), 2);
        QJsonArray points = answer.value("points").toArray();
        QCOMPARE(points.size(), 10);
        QCOMPARE(points.at(9).toObject().value("value").toDouble(), 9.0);
        QCOMPARE(points.at(0).toObject().value("time").toString(), isoTimeText(from));

        // Two points of a range of 540,001 ms: buckets of 270,001 ms, minutes 0-4 and 5-9.
        reply = withToken(viewerToken, "GET", base + "?value=Level&points=2" + range);
        QCOMPARE(reply.status, 200);
        answer = reply.json().object();
        QCOMPARE(answer.value("bucketed").toBool(), true);
        points = answer.value("points").toArray();
        QCOMPARE(points.size(), 2);
        const QJsonObject second = points.at(1).toObject();
        QCOMPARE(second.value("ms").toDouble(), double(from + 270001));
        QCOMPARE(second.value("min").toDouble(), 5.0);
        QCOMPARE(second.value("max").toDouble(), 9.0);
        QCOMPARE(second.value("mean").toDouble(), 7.0);
        QCOMPARE(points.at(0).toObject().value("mean").toDouble(), 2.0);

        // Without a value: the first; without a range: the day up to now.
        reply = withToken(viewerToken, "GET", base);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().object().value("value").toString(), QStringLiteral("Level"));
        QCOMPARE(reply.json().object().value("points").toArray().size(), 10);

        for (const auto &refused : { qMakePair(base + "?from=yesterday", 400), qMakePair(base + "?points=0", 400),
                                     qMakePair(base + "?from=1700000100&to=1700000000", 400),
                                     qMakePair(base + "?value=Depth", 404),
                                     qMakePair(QByteArray("/api/v1/devices/0000000000000009/history"), 404) }) {
            reply = withToken(viewerToken, "GET", refused.first);
            QVERIFY2(reply.status == refused.second, refused.first.constData());
            QVERIFY2(reply.json().object().contains(QStringLiteral("error")), reply.body.constData());
        }
        QCOMPARE(withToken(adminToken, "POST", base).status, 405);
    }

    // The add page's import: an export file, every device or none.
    void devicesAreImportedThroughTheApi()
    {
        const QString imported = QStringLiteral("4B454C5600000078");
        const quint16 port = freePort();
        const QByteArray file = QStringLiteral("dev_eui,name,template,port,start_address\n%1,imported,TH sensor,%2,0\n")
                                    .arg(imported)
                                    .arg(port)
                                    .toUtf8();
        const SReply reply = withToken(adminToken, "POST", "/api/v1/import", file);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json().object().value(QStringLiteral("imported")).toInt(), 1);
        QVERIFY(gateway->registeredDevices().contains(imported));
        QVERIFY(gateway->openPorts().contains(port));
        // The same again: already registered, nothing added.
        QCOMPARE(withToken(adminToken, "POST", "/api/v1/import", file).status, 400);
        QCOMPARE(withToken(adminToken, "DELETE", "/api/v1/devices/" + imported.toLatin1(), QByteArray()).status, 200);
        QVERIFY(!gateway->registeredDevices().contains(imported));
    }

    void devicesAreAddedEditedAndRemovedThroughTheApi()
    {
        const QString added = QStringLiteral("4B454C5600000002");
        const quint16 port = freePort();
        SReply reply = withToken(adminToken, "POST", "/api/v1/devices", deviceBody(added, port));
        QCOMPARE(reply.status, 201);
        QVERIFY(gateway->registeredDevices().contains(added));
        QVERIFY(gateway->openPorts().contains(port));
        reply = withToken(adminToken, "PATCH", "/api/v1/devices/" + added.toLatin1(),
                          "{\"unitId\":7,\"wordOrder\":\"little\",\"writable\":true,"
                          "\"registers\":[{\"address\":6,\"multiplier\":0.5,\"added\":-40,\"unit\":\"C\"}]}");
        QCOMPARE(reply.status, 200);
        reply = withToken(viewerToken, "GET", "/api/v1/devices/" + added.toLatin1());
        const QJsonObject device = reply.json().object();
        QCOMPARE(device.value("unitId").toInt(), 7);
        QCOMPARE(device.value("wordOrder").toString(), QStringLiteral("little"));
        QCOMPARE(device.value("writable").toBool(), true);
        QVERIFY(gateway->isWritable(added));
        reply = withToken(viewerToken, "GET", "/api/v1/devices/" + added.toLatin1() + "/registers");
        bool scaled = false;
        for (const QJsonValue &reg : reply.json().array()) {
            if (reg.toObject().value("address").toInt() == 6)
                scaled = reg.toObject().value("multiplier").toDouble() == 0.5
                    && reg.toObject().value("added").toDouble() == -40 && reg.toObject().value("unit") == "C";
        }
        QVERIFY2(scaled, reply.body.constData());
        reply = withToken(adminToken, "DELETE", "/api/v1/devices/" + added.toLatin1());
        QCOMPARE(reply.status, 200);
        QVERIFY(!gateway->registeredDevices().contains(added));
        QVERIFY(!gateway->openPorts().contains(port));
    }

    void deviceListAgreesWithEachDevice()
    {
        const QString odd = QStringLiteral("4B454C5600000004");
        const QJsonObject body { { "devEui", odd }, { "template", "TH sensor" },
                                 { "name", QStringLiteral("\"Kühl\" \\ raum\t2 ✓") }, { "port", freePort() },
                                 { "startAddress", 100 }, { "unitId", 9 }, { "stalePolicy", "exception" },
                                 { "staleAfter", 60 } };
        QCOMPARE(withToken(adminToken, "POST", "/api/v1/devices", QJsonDocument(body).toJson()).status, 201);
        const SReply list = withToken(viewerToken, "GET", "/api/v1/devices");
        QJsonParseError error {};
        const QJsonArray devices = QJsonDocument::fromJson(list.body, &error).array();
        QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
        QCOMPARE(devices.size(), gateway->registeredDevices().size());
        for (const QJsonValue &listed : devices) {
            const QByteArray devEui = listed.toObject().value("devEui").toString().toLatin1();
            const QJsonObject alone = withToken(viewerToken, "GET", "/api/v1/devices/" + devEui).json().object();
            for (const QString &key : listed.toObject().keys())
                QVERIFY2(alone.value(key) == listed.toObject().value(key), qPrintable(devEui + ' ' + key));
            QCOMPARE(listed.toObject().keys().size(), alone.keys().size() - int(alone.contains("lastDownlink")));
        }
        const QJsonObject written = withToken(viewerToken, "GET", "/api/v1/devices/" + odd.toLatin1()).json().object();
        QCOMPARE(written.value("name").toString(), body.value("name").toString());
        QCOMPARE(written.value("startAddress").toInt(), 100);
        QCOMPARE(written.value("stalePolicy").toString(), QStringLiteral("exception"));
        QCOMPARE(withToken(adminToken, "DELETE", "/api/v1/devices/" + odd.toLatin1()).status, 200);
    }

    void sessionCookieAndCsrfGuardChanges()
    {
        QByteArray cookie;
        QByteArray csrf;
        const SReply login = request(webPort, "POST", "/login", {}, "user=boss&password=b0iler%2Croom");
        QCOMPARE(login.status, 303);
        const QByteArray setCookie = login.headers.value("set-cookie");
        QVERIFY2(setCookie.contains("HttpOnly") && setCookie.contains("SameSite=Strict"), setCookie.constData());
        QVERIFY2(!setCookie.contains("Secure"), "Secure on a plain HTTP console");
        QVERIFY(logIn(QStringLiteral("boss"), ADMIN_PASSWORD, &cookie, &csrf));
        const QByteArray added = "4B454C5600000003";
        const QByteArray body = deviceBody(QString::fromLatin1(added), freePort());
        SReply reply = request(webPort, "POST", "/api/v1/devices", { { "Cookie", cookie } }, body);
        QCOMPARE(reply.status, 403);
        // A token one digit off (the first flipped, whatever it is).
        const QByteArray forged = (csrf.startsWith('0') ? "1" : "0") + csrf.mid(1);
        reply = request(webPort, "POST", "/api/v1/devices", { { "Cookie", cookie }, { "X-CSRF-Token", forged } }, body);
        QCOMPARE(reply.status, 403);
        QVERIFY(!gateway->registeredDevices().contains(QString::fromLatin1(added)));
        reply = request(webPort, "POST", "/api/v1/devices", { { "Cookie", cookie }, { "X-CSRF-Token", csrf } }, body);
        QCOMPARE(reply.status, 201);
        reply = request(webPort, "DELETE", "/api/v1/devices/" + added, { { "Cookie", cookie }, { "X-CSRF-Token", csrf } });
        QCOMPARE(reply.status, 200);
        // Log-out needs the token too, and ends the session.
        reply = request(webPort, "POST", "/logout", { { "Cookie", cookie } }, "csrf=wrong");
        QCOMPARE(reply.status, 403);
        reply = request(webPort, "POST", "/logout", { { "Cookie", cookie } }, "csrf=" + csrf);
        QCOMPARE(reply.status, 303);
        QCOMPARE(request(webPort, "GET", "/api/v1/status", { { "Cookie", cookie } }).status, 401);
        QCOMPARE(request(webPort, "GET", "/overview", { { "Cookie", cookie } }).headers.value("location"),
                 QByteArray("/login"));
    }

    void viewerPagesHaveNoChangingControls()
    {
        QByteArray cookie;
        QByteArray csrf;
        QVERIFY(logIn(QStringLiteral("guest"), VIEWER_PASSWORD, &cookie, &csrf));
        const SReply page = request(webPort, "GET", "/device?eui=" + DEVICE.toLatin1(), { { "Cookie", cookie } });
        QCOMPARE(page.status, 200);
        QVERIFY(!page.body.contains("remove-device"));
        QVERIFY(!page.body.contains("edit-form"));
        QVERIFY(!page.body.contains("/add"));
        QVERIFY(logIn(QStringLiteral("boss"), ADMIN_PASSWORD, &cookie, &csrf));
        const SReply adminPage = request(webPort, "GET", "/device?eui=" + DEVICE.toLatin1(), { { "Cookie", cookie } });
        QVERIFY(adminPage.body.contains("remove-device"));
    }

    void sessionEndsAfterTwelveIdleHours()
    {
        QByteArray cookie;
        QByteArray csrf;
        QVERIFY(logIn(QStringLiteral("guest"), VIEWER_PASSWORD, &cookie, &csrf));
        clock.advance(12 * 3600 * 1000 - 1);
        QCOMPARE(request(webPort, "GET", "/api/v1/status", { { "Cookie", cookie } }).status, 200);
        // Each use starts the twelve hours again.
        clock.advance(12 * 3600 * 1000 - 1);
        QCOMPARE(request(webPort, "GET", "/api/v1/status", { { "Cookie", cookie } }).status, 200);
        clock.advance(12 * 3600 * 1000);
        QCOMPARE(request(webPort, "GET", "/api/v1/status", { { "Cookie", cookie } }).status, 401);
    }

    void fiveFailedLogInsMakeTheAddressWait()
    {
        const QByteArray wrong = "user=boss&password=nope";
        const QByteArray right = "user=boss&password=b0iler%2Croom";
        for (int i = 0; i < 4; ++i)
            QCOMPARE(request(webPort, "POST", "/login", {}, wrong).status, 401);
        // Failures older than a minute do not count.
        clock.advance(60 * 1000);
        for (int i = 0; i < 4; ++i)
            QCOMPARE(request(webPort, "POST", "/login", {}, wrong).status, 401);
        const SReply fifth = request(webPort, "POST", "/login", {}, wrong);
        QCOMPARE(fifth.status, 429);
        const SReply locked = request(webPort, "POST", "/login", {}, right);
        QCOMPARE(locked.status, 429);
        QVERIFY(locked.headers.contains("retry-after"));
        clock.advance(59 * 1000);
        QCOMPARE(request(webPort, "POST", "/login", {}, right).status, 429);
        clock.advance(1000);
        QCOMPARE(request(webPort, "POST", "/login", {}, right).status, 303);
    }

    void bodyOverOneMebibyteIsRefused()
    {
        const SReply reply = withToken(adminToken, "POST", "/api/v1/devices", QByteArray(2 * 1024 * 1024, '{'));
        QCOMPARE(reply.status, 413);
        QVERIFY2(reply.json().object().contains(QStringLiteral("error")), reply.body.left(200).constData());
        QVERIFY(!gateway->registeredDevices().isEmpty());
    }

    void trickledRequestIsClosedByTheTimeOut()
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, webPort);
        QVERIFY(QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000));
        const QByteArray text = "GET /api/v1/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        QElapsedTimer elapsed;
        elapsed.start();
        int sent = 0;
        // One byte a second, until the server hangs up (it should after the first pause).
        while (sent < text.size() && socket.state() == QAbstractSocket::ConnectedState && elapsed.elapsed() < 5000) {
            socket.write(text.mid(sent++, 1));
            socket.flush();
            QTest::qWaitFor([&] { return socket.state() != QAbstractSocket::ConnectedState; }, 1000);
        }
        QCOMPARE(socket.state(), QAbstractSocket::UnconnectedState);
        QVERIFY2(sent < 4, qPrintable(QString::number(sent)));
        QVERIFY(!socket.readAll().contains("200 OK"));
    }

    void manyLiveClientsAtOnceLeaveRoomForOthers()
    {
        const int clients = 200;
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        const QByteArray poll = "GET /api/v1/changes HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: " + bearer(viewerToken)
            + "\r\n\r\n";
        for (int i = 0; i < clients; ++i) {
            sockets.push_back(std::make_unique<QTcpSocket>());
            sockets.back()->connectToHost(QHostAddress::LocalHost, webPort);
        }
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(sockets.begin(), sockets.end(), [](const auto &_socket) {
                return _socket->state() == QAbstractSocket::ConnectedState;
            });
        }, 10000));
        for (auto &socket : sockets)
            socket->write(poll);
        // Another operator's request is answered meanwhile.
        QCOMPARE(withToken(viewerToken, "GET", "/api/v1/status").status, 200);
        std::vector<QByteArray> answers(clients);
        const bool allDone = QTest::qWaitFor([&] {
            bool all = true;
            for (int i = 0; i < clients; ++i) {
                answers[i] += sockets[i]->readAll();
                all = all && sockets[i]->state() == QAbstractSocket::UnconnectedState;
            }
            return all;
        }, 20000);
        int open = 0, answered = 0;
        for (int i = 0; i < clients; ++i) {
            open += sockets[i]->state() != QAbstractSocket::UnconnectedState;
            answered += answers[i].startsWith("HTTP/1.1 200");
        }
        QVERIFY2(allDone, qPrintable(QStringLiteral("%1 still open, %2 answered").arg(open).arg(answered)));
        for (const QByteArray &answer : answers)
            QVERIFY2(answer.startsWith("HTTP/1.1 200") && answer.contains("\"devices\""), answer.left(100).constData());
    }

    void metricsPassPromtool()
    {
        const SReply reply = withToken(viewerToken, "GET", "/metrics");
        QCOMPARE(reply.status, 200);
        for (const char *name : { "kelvara_build_info", "kelvara_uplinks_received_total",
                 "kelvara_uplinks_refused_total", "kelvara_downlinks_total", "kelvara_modbus_connections",
                 "kelvara_network_server_connected", "kelvara_store_write_seconds_bucket", "kelvara_devices 1",
                 "kelvara_devices_stale 0" })
            QVERIFY2(reply.body.contains(name), name);
        QProcess promtool;
        promtool.start(QStringLiteral("promtool"), { QStringLiteral("check"), QStringLiteral("metrics") });
        QVERIFY2(promtool.waitForStarted(5000), "promtool is missing: install the Debian package prometheus");
        promtool.write(reply.body);
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(20000));
        QVERIFY2(promtool.exitCode() == 0, promtool.readAllStandardError().constData());
    }

    void metricsCountModbusRequestsAndExceptions()
    {
        QVERIFY(!readWithMbpoll(modbusPort, 6, 3).isEmpty());
        QVERIFY(!readWithMbpoll(modbusPort, 7, 1).isEmpty());
        // Function 07, which the gateway does not serve: exception 01.
        QTcpSocket modbus;
        modbus.connectToHost(QHostAddress::LocalHost, modbusPort);
        QVERIFY(QTest::qWaitFor([&] { return modbus.state() == QAbstractSocket::ConnectedState; }, 5000));
        modbus.write(QByteArray::fromHex("000100000002" "0107"));
        QByteArray answer;
        QVERIFY(QTest::qWaitFor([&] {
            answer += modbus.readAll();
            return answer.size() >= 9;
        }, 5000));
        QCOMPARE(answer.mid(7, 2), QByteArray::fromHex("8701"));
        QByteArray metrics;
        const auto value = [&metrics](const QString &_series) {
            const QRegularExpressionMatch match
                = QRegularExpression(QStringLiteral("^%1 (\\S+)$").arg(QRegularExpression::escape(_series)),
                                     QRegularExpression::MultilineOption)
                      .match(QString::fromUtf8(metrics));
            return match.hasMatch() ? match.captured(1).toDouble() : -1.0;
        };
        // The mbpoll connections are gone once the Modbus thread has seen them close; this one stays.
        QVERIFY(QTest::qWaitFor([&] {
            metrics = withToken(viewerToken, "GET", "/metrics").body;
            return value(QStringLiteral("kelvara_modbus_connections")) == 1.0;
        }, 5000));
        QCOMPARE(value(QStringLiteral("kelvara_modbus_requests_total{function=\"3\"}")), 2.0);
        QCOMPARE(value(QStringLiteral("kelvara_modbus_requests_total{function=\"7\"}")), 1.0);
        QCOMPARE(value(QStringLiteral("kelvara_modbus_exceptions_total{code=\"1\"}")), 1.0);
        QCOMPARE(value(QStringLiteral("kelvara_uplinks_received_total{source=\"websocket\"}")), 0.0);
        QCOMPARE(value(QStringLiteral("kelvara_devices")), 1.0);
    }
};

QTEST_GUILESS_MAIN(TestWebConsole)
#include "tst_webconsole.moc"
