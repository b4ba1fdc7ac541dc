#pragma once

#include <QByteArray>
#include <QList>
#include <QMultiMap>
#include <QPair>
#include <QString>

#include "web/websettings.h"

class CSessions;
class CWebBackend;
class CWebUsers;

// One HTTP request as the router sees it: the path already percent-decoded, header names in
// lower case.
struct SWebRequest
{
    QString method;
    QString path;
    QMultiMap<QString, QString> query;
    QMultiMap<QString, QString> headers;
    QByteArray body;
    QString remoteAddress;
};

struct SWebResponse
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The console's routes: log-in and sessions, who may do what, the pages, the JSON API and the
// metrics. Knows no socket: the HTTP server hands each request in and writes the answer out.
class CWebRouter
{
public:
    // Bodies beyond this are refused with 413.
    static constexpr int MAX_BODY_BYTES = 1024 * 1024;
    static const QByteArray SESSION_COOKIE;
    static const QByteArray CSRF_HEADER;

    CWebRouter(CWebBackend *_backend, CWebUsers *_users, CSessions *_sessions, const SWebSettings &_settings);

    SWebResponse handle(const SWebRequest &_request);

    // {"error": _text} with that status.
    static SWebResponse error(int _status, const QString &_text);

private:
    struct SPrincipal
    {
        bool known = false;
        bool byToken = false;
        QString name;
        bool admin = false;
        QString csrf;
        QString sessionId;
    };
    SPrincipal identify(const SWebRequest &_request) const;
    SWebResponse api(const SWebRequest &_request, const SPrincipal &_who, const QStringList &_parts);
    SWebResponse history(const SWebRequest &_request, const QString &_devEui);
    SWebResponse logIn(const SWebRequest &_request);
    SWebResponse logOut(const SWebRequest &_request, const SPrincipal &_who);
    SWebResponse page(const QString &_name, const SPrincipal &_who) const;
    SWebResponse asset(const QString &_path) const;
    SWebResponse loginPage(int _status, const QString &_message) const;

    CWebBackend *backend;
    CWebUsers *users;
    CSessions *sessions;
    SWebSettings settings;
};
