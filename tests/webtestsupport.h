#pragma once

// What the web console's tests share: HTTP/1.1 requests over sockets of their own, and the
// accounts the fixtures make.

#include <QByteArray>
#include <QJsonDocument>
#include <QList>
#include <QMap>
#include <QPair>
#include <QSslSocket>
#include <QString>
#include <QtTest>

#include "app/constants.h"
#include "app/csettings.h"
#include "gatewaytestsupport.h"
#include "testworkdir.h"
#include "web/cwebusers.h"

namespace WebTest {

inline const QString DEVICE = QStringLiteral("4B454C5600000001");
inline const QString ADMIN_PASSWORD = QStringLiteral("b0iler,room");
inline const QString VIEWER_PASSWORD = QStringLiteral("look only");
// The console's read time-out in this test: a trickled request is closed after it.
inline constexpr int READ_TIMEOUT_MS = 300;

struct SReply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
    QJsonDocument json() const { return QJsonDocument::fromJson(body); }
};

// One HTTP/1.1 request over a socket of its own; the event loop runs while it waits, as the
// console's workers need the gateway's thread (this one) for some answers.
inline SReply request(quint16 _port, const QByteArray &_method, const QByteArray &_path,
               const QList<QPair<QByteArray, QByteArray>> &_headers = {}, const QByteArray &_body = QByteArray(),
               bool _tls = false)
{
    QSslSocket socket;
    if (_tls) {
        // The test's own self-signed certificate.
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), _port);
        if (!QTest::qWaitFor([&] { return socket.isEncrypted(); }, 5000))
            return {};
    } else {
        socket.connectToHost(QHostAddress::LocalHost, _port);
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000))
            return {};
    }
    QByteArray text = _method + ' ' + _path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    for (const auto &header : _headers)
        text += header.first + ": " + header.second + "\r\n";
    if (!_body.isEmpty() || _method == "POST")
        text += "Content-Length: " + QByteArray::number(_body.size()) + "\r\n";
    text += "\r\n" + _body;
    socket.write(text);
    QByteArray received;
    QTest::qWaitFor([&] {
        received += socket.readAll();
        return socket.state() == QAbstractSocket::UnconnectedState;
    }, 10000);
    received += socket.readAll();
    SReply reply;
    const int end = received.indexOf("\r\n\r\n");
    if (end < 0)
        return reply;
    const QList<QByteArray> lines = received.left(end).split('\n');
    reply.status = lines.value(0).split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        reply.headers.insertMulti(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    reply.body = received.mid(end + 4);
    return reply;
}

// The fixture's accounts in _path: "boss" (admin) and "guest" (viewer) with their passwords,
// and a token of each kind.
inline bool makeAccounts(const QString &_path, QString *_adminToken, QString *_viewerToken, QString *_error)
{
    CWebUsers users(_path);
    if (!users.setPassword(QStringLiteral("boss"), ADMIN_PASSWORD, true, _error)
        || !users.setPassword(QStringLiteral("guest"), VIEWER_PASSWORD, false, _error))
        return false;
    *_adminToken = users.addToken(QStringLiteral("script"), true, _error);
    *_viewerToken = users.addToken(QStringLiteral("dashboard"), false, _error);
    return users.save(_error);
}

// Enters the test's folder as a console's: settings, the example templates and the accounts.
inline bool enterConsoleFolder(CTestWorkDir &_dir, QString *_adminToken, QString *_viewerToken, QString *_error)
{
    *_error = QStringLiteral("the test's folder cannot be entered or filled");
    if (!_dir.enter())
        return false;
    CSettings::getInstance(SETTINGS_FILE_NAME);
    if (!GatewayTest::installTemplates(QDir(_dir.path())))
        return false;
    return makeAccounts(_dir.filePath(CWebUsers::FILE_NAME), _adminToken, _viewerToken, _error);
}

inline QByteArray bearer(const QString &_token) { return "Bearer " + _token.toLatin1(); }

} // namespace WebTest
