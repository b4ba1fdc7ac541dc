#include "web/cwebrouter.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRegularExpression>
#include <QUrlQuery>

#include <sodium.h>

#include <tuple>

#include "app/ceui.h"
#include "app/timetext.h"
#include "gateway/deviceinput.h"
#include "web/csessions.h"
#include "web/cwebusers.h"
#include "web/webbackend.h"

const QByteArray CWebRouter::SESSION_COOKIE = "kelvara_session";
const QByteArray CWebRouter::CSRF_HEADER = "x-csrf-token";

namespace {

const QString CHART_JS = QStringLiteral("/usr/share/javascript/chart.js/chart.min.js");
const QStringList PAGES { "overview", "devices", "device", "add", "log" };

SWebResponse json(int _status, const QJsonValue &_value)
{
    SWebResponse response;
    response.status = _status;
    response.body = _value.isArray() ? QJsonDocument(_value.toArray()).toJson(QJsonDocument::Compact)
                                     : QJsonDocument(_value.toObject()).toJson(QJsonDocument::Compact);
    return response;
}

SWebResponse redirect(const QByteArray &_to)
{
    SWebResponse response;
    response.status = 303;
    response.contentType = "text/plain";
    response.headers.append(qMakePair(QByteArray("Location"), _to));
    return response;
}

bool sameSecret(const QString &_a, const QString &_b)
{
    const QByteArray a = _a.toLatin1();
    const QByteArray b = _b.toLatin1();
    return !a.isEmpty() && a.size() == b.size() && sodium_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

QString htmlEscaped(const QString &_text)
{
    return _text.toHtmlEscaped();
}

// The value of one cookie of the Cookie header.
QString cookieValue(const QString &_header, const QByteArray &_name)
{
    for (const QString &part : _header.split(QLatin1Char(';'))) {
        const QString trimmed = part.trimmed();
        if (trimmed.startsWith(QString::fromLatin1(_name) + QLatin1Char('=')))
            return trimmed.mid(_name.size() + 1);
    }
    return QString();
}

bool readJsonObject(const QByteArray &_body, QJsonObject *_object, QString *_error)
{
    QJsonParseError parseError {};
    const QJsonDocument document = QJsonDocument::fromJson(_body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        *_error = parseError.error != QJsonParseError::NoError
            ? QStringLiteral("the body is not JSON: %1").arg(parseError.errorString())
            : QStringLiteral("the body is not a JSON object");
        return false;
    }
    *_object = document.object();
    return true;
}

QByteArray resource(const QString &_path)
{
    QFile file(_path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

// Outside any namespace, as Qt's resource initialiser must be.
static void initWebResources()
{
    Q_INIT_RESOURCE(web);
}

CWebRouter::CWebRouter(CWebBackend *_backend, CWebUsers *_users, CSessions *_sessions, const SWebSettings &_settings)
    : backend(_backend)
    , users(_users)
    , sessions(_sessions)
    , settings(_settings)
{
    // The pages are built into the core library; a program that links it statically must ask for them.
    initWebResources();
}

SWebResponse CWebRouter::error(int _status, const QString &_text)
{
    return json(_status, QJsonObject { { "error", _text } });
}

CWebRouter::SPrincipal CWebRouter::identify(const SWebRequest &_request) const
{
    SPrincipal who;
    const QString authorization = _request.headers.value(QStringLiteral("authorization"));
    if (authorization.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive)) {
        who.byToken = true;
        who.known = users->checkToken(authorization.mid(7).trimmed(), &who.name, &who.admin);
        return who;
    }
    const QString id = cookieValue(_request.headers.value(QStringLiteral("cookie")), SESSION_COOKIE);
    CSessions::SSession session;
    if (!id.isEmpty() && sessions->find(id, &session)) {
        who.known = true;
        who.name = session.user;
        who.admin = session.admin;
        who.csrf = session.csrf;
        who.sessionId = id;
    }
    return who;
}

SWebResponse CWebRouter::handle(const SWebRequest &_request)
{
    if (_request.body.size() > MAX_BODY_BYTES)
        return error(413, QStringLiteral("the body is larger than 1 MiB"));
    const QString &path = _request.path;
    const SPrincipal who = identify(_request);
    if (path.startsWith(QLatin1String("/api/v1/")) || path == QLatin1String("/api/v1")) {
        if (!who.known)
            return error(401, who.byToken ? QStringLiteral("the token is not known")
                                          : QStringLiteral("log in first, or send Authorization: Bearer TOKEN"));
        return api(_request, who, path.mid(8).split(QLatin1Char('/')));
    }
    if (path == QLatin1String("/metrics")) {
        if (_request.method != QLatin1String("GET"))
            return error(405, QStringLiteral("only GET"));
        if (!settings.metricsPublic && !(who.known && who.byToken))
            return error(401, QStringLiteral("metrics need Authorization: Bearer TOKEN"));
        SWebResponse response;
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        response.body = QByteArray::fromStdString(backend->metrics(settings.metricsPerDevice));
        return response;
    }
    if (path.startsWith(QLatin1String("/static/")))
        return asset(path);
    if (path == QLatin1String("/login")) {
        if (_request.method == QLatin1String("POST"))
            return logIn(_request);
        return who.known ? redirect("/overview") : loginPage(200, QString());
    }
    if (path == QLatin1String("/logout") && _request.method == QLatin1String("POST"))
        return logOut(_request, who);
    const QString name = path == QLatin1String("/") ? QStringLiteral("overview") : path.mid(1);
    if (!PAGES.contains(name) || _request.method != QLatin1String("GET"))
        return error(404, QStringLiteral("no such page"));
    if (!who.known || who.byToken)
        return redirect("/login");
    return page(name, who);
}

SWebResponse CWebRouter::loginPage(int _status, const QString &_message) const
{
    SWebResponse response;
    response.status = _status;
    response.contentType = "text/html; charset=utf-8";
    QString html = QString::fromUtf8(resource(QStringLiteral(":/web/login.html")));
    html.replace(QStringLiteral("{{MESSAGE}}"), htmlEscaped(_message));
    response.body = html.toUtf8();
    return response;
}

SWebResponse CWebRouter::logIn(const SWebRequest &_request)
{
    const qint64 wait = sessions->lockedFor(_request.remoteAddress);
    if (wait > 0) {
        SWebResponse response = loginPage(429, QStringLiteral("Too many failed log-ins: try again in %1 s.")
                                                   .arg((wait + 999) / 1000));
        response.headers.append({ "Retry-After", QByteArray::number((wait + 999) / 1000) });
        return response;
    }
    const QUrlQuery form(QString::fromUtf8(_request.body).replace(QLatin1Char('+'), QLatin1Char(' ')));
    const QString user = form.queryItemValue(QStringLiteral("user"), QUrl::FullyDecoded);
    const QString password = form.queryItemValue(QStringLiteral("password"), QUrl::FullyDecoded);
    bool admin = false;
    if (!users->checkPassword(user, password, &admin)) {
        sessions->noteFailure(_request.remoteAddress);
        if (sessions->lockedFor(_request.remoteAddress) > 0)
            return loginPage(429, QStringLiteral("Too many failed log-ins: try again in %1 s.")
                                      .arg(CSessions::LOCKOUT_MS / 1000));
        return loginPage(401, QStringLiteral("Wrong name or password."));
    }
    sessions->noteSuccess(_request.remoteAddress);
    SWebResponse response = redirect("/overview");
    QByteArray cookie = SESSION_COOKIE + '=' + sessions->open(user, admin).toLatin1()
        + "; Path=/; HttpOnly; SameSite=Strict";
    if (settings.tls())
        cookie += "; Secure";
    response.headers.append({ "Set-Cookie", cookie });
    return response;
}

SWebResponse CWebRouter::logOut(const SWebRequest &_request, const SPrincipal &_who)
{
    const QUrlQuery form(QString::fromUtf8(_request.body));
    if (!_who.known || _who.byToken)
        return redirect("/login");
    if (!sameSecret(form.queryItemValue(QStringLiteral("csrf")), _who.csrf))
        return error(403, QStringLiteral("the CSRF token is missing or wrong"));
    sessions->close(_who.sessionId);
    SWebResponse response = redirect("/login");
    response.headers.append({ "Set-Cookie", SESSION_COOKIE + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" });
    return response;
}

SWebResponse CWebRouter::page(const QString &_name, const SPrincipal &_who) const
{
    QString html = QString::fromUtf8(resource(QStringLiteral(":/web/%1.html").arg(_name)));
    // Viewers get no control that changes something.
    static const QRegularExpression adminOnly(QStringLiteral("<!--admin-->.*?<!--/admin-->"),
                                              QRegularExpression::DotMatchesEverythingOption);
    if (!_who.admin)
        html.remove(adminOnly);
    QString layout = QString::fromUtf8(resource(QStringLiteral(":/web/layout.html")));
    if (!_who.admin)
        layout.remove(adminOnly);
    layout.replace(QStringLiteral("{{CONTENT}}"), html);
    layout.replace(QStringLiteral("{{PAGE}}"), _name);
    layout.replace(QStringLiteral("{{USER}}"), htmlEscaped(_who.name));
    layout.replace(QStringLiteral("{{ROLE}}"), _who.admin ? QStringLiteral("admin") : QStringLiteral("viewer"));
    layout.replace(QStringLiteral("{{CSRF}}"), _who.csrf);
    SWebResponse response;
    response.contentType = "text/html; charset=utf-8";
    response.body = layout.toUtf8();
    return response;
}

SWebResponse CWebRouter::asset(const QString &_path) const
{
    SWebResponse response;
    if (_path == QLatin1String("/static/chart.js")) {
        response.body = resource(CHART_JS);
        response.contentType = "text/javascript";
    } else if (_path == QLatin1String("/static/app.js")) {
        response.body = resource(QStringLiteral(":/web/app.js"));
        response.contentType = "text/javascript";
    } else if (_path == QLatin1String("/static/app.css")) {
        response.body = resource(QStringLiteral(":/web/app.css"));
        response.contentType = "text/css";
    }
    if (response.body.isEmpty())
        return error(404, QStringLiteral("no such file"));
    response.headers.append(qMakePair(QByteArray("Cache-Control"), QByteArray("max-age=300")));
    return response;
}

SWebResponse CWebRouter::history(const SWebRequest &_request, const QString &_devEui)
{
    SHistoryQuery query;
    query.value = _request.query.value(QStringLiteral("value"));
    for (const auto &bound : { std::make_tuple(QStringLiteral("from"), &query.hasFrom, &query.fromMs),
                               std::make_tuple(QStringLiteral("to"), &query.hasTo, &query.toMs) }) {
        const QString text = _request.query.value(std::get<0>(bound));
        if (text.isEmpty())
            continue;
        if (!parseTimeText(text, std::get<2>(bound)))
            return error(400, QStringLiteral("%1=%2 is not a time (ISO 8601, or seconds since 1970)")
                                  .arg(std::get<0>(bound), text));
        *std::get<1>(bound) = true;
    }
    if (query.hasFrom && query.hasTo && query.fromMs > query.toMs)
        return error(400, QStringLiteral("from is after to"));
    const QString points = _request.query.value(QStringLiteral("points"));
    if (!points.isEmpty()) {
        bool ok = false;
        query.points = points.toInt(&ok);
        if (!ok || query.points < 1 || query.points > 100000)
            return error(400, QStringLiteral("points=%1 is not a number from 1 to 100000").arg(points));
    }
    const SWebResult result = backend->history(_devEui, query);
    return result.error.isEmpty() ? json(result.status, result.body) : error(result.status, result.error);
}

SWebResponse CWebRouter::api(const SWebRequest &_request, const SPrincipal &_who, const QStringList &_parts)
{
    const QString &method = _request.method;
    const bool reading = method == QLatin1String("GET");
    if (!reading) {
        if (!_who.byToken && !sameSecret(_request.headers.value(QString::fromLatin1(CSRF_HEADER)), _who.csrf))
            return error(403, QStringLiteral("the CSRF token is missing or wrong"));
        if (!_who.admin)
            return error(403, QStringLiteral("%1 may look but not change").arg(_who.name));
    }
    const QString first = _parts.value(0);
    const int count = _parts.size();
    if (count == 1 && first == QLatin1String("session") && reading)
        return json(200, QJsonObject { { "user", _who.name }, { "admin", _who.admin }, { "csrf", _who.csrf } });
    if (count == 1 && first == QLatin1String("changes") && reading)
        return json(200, QJsonObject { { "devices", QString::number(backend->changeCount()) },
                                       { "log", QString::number(backend->logCount()) } });
    if (count == 1 && first == QLatin1String("status") && reading)
        return json(200, backend->status());
    if (count == 1 && first == QLatin1String("templates") && reading)
        return json(200, backend->templates());
    if (count == 1 && first == QLatin1String("candidates") && reading) {
        const SWebResult result = backend->candidates();
        return result.error.isEmpty() ? json(result.status, result.body) : error(result.status, result.error);
    }
    if (count == 1 && first == QLatin1String("log") && reading) {
        bool ok = true;
        const QString lines = _request.query.value(QStringLiteral("lines"), QStringLiteral("200"));
        const int wanted = lines.toInt(&ok);
        if (!ok || wanted < 1 || wanted > 10000)
            return error(400, QStringLiteral("lines=%1 is not a number from 1 to 10000").arg(lines));
        return json(200, QJsonArray::fromStringList(backend->logLines(wanted)));
    }
    if (count == 1 && first == QLatin1String("map") && reading) {
        const QString format = _request.query.value(QStringLiteral("format"), QStringLiteral("csv"));
        if (format != QLatin1String("csv") && format != QLatin1String("md"))
            return error(400, QStringLiteral("format=%1 is not csv or md").arg(format));
        SWebResponse response;
        response.contentType = format == QLatin1String("md") ? "text/markdown; charset=utf-8" : "text/csv; charset=utf-8";
        response.body = backend->registerMap(format == QLatin1String("md")).toUtf8();
        return response;
    }
    if (count == 1 && first == QLatin1String("export") && reading) {
        const QString format = _request.query.value(QStringLiteral("format"), QStringLiteral("csv"));
        if (format != QLatin1String("csv") && format != QLatin1String("json"))
            return error(400, QStringLiteral("format=%1 is not csv or json").arg(format));
        SWebResponse response;
        response.contentType = format == QLatin1String("json") ? "application/json" : "text/csv; charset=utf-8";
        response.body = backend->exportDevices(format == QLatin1String("json")).toUtf8();
        return response;
    }
    // An export file, as `devices import` takes it: every device or none.
    if (count == 1 && first == QLatin1String("import")) {
        if (method != QLatin1String("POST"))
            return error(405, QStringLiteral("import takes POST"));
        const SWebResult result = backend->importDevices(_request.body);
        return result.error.isEmpty() ? json(result.status, result.body) : error(result.status, result.error);
    }
    if (first != QLatin1String("devices"))
        return error(404, QStringLiteral("no such resource"));
    if (count == 1) {
        if (reading) {
            SWebResponse response;
            response.body = backend->devices();
            return response;
        }
        if (method != QLatin1String("POST"))
            return error(405, QStringLiteral("devices takes GET and POST"));
        QJsonObject body;
        QString problem;
        if (!readJsonObject(_request.body, &body, &problem))
            return error(400, problem);
        const SWebResult result = backend->addDevice(body);
        return result.error.isEmpty() ? json(result.status, result.body) : error(result.status, result.error);
    }
    const QString devEui = _parts.at(1);
    if (!CEui::isWellFormed(devEui) || count > 3)
        return error(404, QStringLiteral("no such resource"));
    if (count == 3 && _parts.at(2) == QLatin1String("history")) {
        if (!reading)
            return error(405, QStringLiteral("only GET"));
        return history(_request, devEui);
    }
    if (count == 3) {
        QJsonArray rows;
        bool found = false;
        if (!reading)
            return error(405, QStringLiteral("only GET"));
        if (_parts.at(2) == QLatin1String("registers"))
            found = backend->registers(devEui, &rows);
        else if (_parts.at(2) == QLatin1String("uplinks"))
            found = backend->uplinks(devEui, &rows);
        else
            return error(404, QStringLiteral("no such resource"));
        return found ? json(200, rows) : error(404, QStringLiteral("no device %1").arg(devEui));
    }
    if (reading) {
        QJsonObject device;
        return backend->device(devEui, &device) ? json(200, device) : error(404, QStringLiteral("no device %1").arg(devEui));
    }
    SWebResult result;
    if (method == QLatin1String("DELETE")) {
        result = backend->removeDevice(devEui);
    } else if (method == QLatin1String("PATCH")) {
        QJsonObject body;
        QString problem;
        if (!readJsonObject(_request.body, &body, &problem))
            return error(400, problem);
        result = backend->editDevice(devEui, body);
    } else {
        return error(405, QStringLiteral("a device takes GET, PATCH and DELETE"));
    }
    return result.error.isEmpty() ? json(result.status, result.body) : error(result.status, result.error);
}
