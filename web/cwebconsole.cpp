#include "web/cwebconsole.h"

#include <QDir>

#include <httplib.h>
#include <sys/socket.h>

#include "app/clogfile.h"
#include "web/cgatewaybackend.h"
#include "web/csessions.h"
#include "web/cwebrouter.h"
#include "web/cwebusers.h"

namespace {

SWebRequest requestOf(const httplib::Request &_request)
{
    SWebRequest request;
    request.method = QString::fromStdString(_request.method);
    request.path = QString::fromStdString(_request.path);
    for (const auto &param : _request.params)
        request.query.insert(QString::fromStdString(param.first), QString::fromStdString(param.second));
    for (const auto &header : _request.headers)
        request.headers.insert(QString::fromStdString(header.first).toLower(), QString::fromStdString(header.second));
    request.body = QByteArray::fromStdString(_request.body);
    request.remoteAddress = QString::fromStdString(_request.remote_addr);
    return request;
}

void answer(const SWebResponse &_response, httplib::Response *_out)
{
    _out->status = _response.status;
    for (const auto &header : _response.headers)
        _out->set_header(header.first.toStdString(), header.second.toStdString());
    _out->set_header("X-Content-Type-Options", "nosniff");
    _out->set_header("X-Frame-Options", "DENY");
    _out->set_header("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    if (!_out->has_header("Cache-Control"))
        _out->set_header("Cache-Control", "no-store");
    _out->set_content(_response.body.toStdString(), _response.contentType.toStdString());
}

} // namespace

CWebConsole::CWebConsole(CGateway *_gateway, CGatewayCounters *_counters, const SWebSettings &_settings,
                         const QString &_workDir, CClock *_clock)
    : settings(_settings)
    , users(std::make_unique<CWebUsers>(QDir(_workDir).filePath(CWebUsers::FILE_NAME)))
    , sessions(std::make_unique<CSessions>(_clock))
    , backend(std::make_unique<CGatewayBackend>(_gateway, _counters, QDir(_workDir).filePath("history.log")))
    , router(std::make_unique<CWebRouter>(backend.get(), users.get(), sessions.get(), _settings))
{
}

CWebConsole::~CWebConsole()
{
    // Workers waiting for the gateway's thread, which is this one, give up first.
    backend->stop();
    if (server)
        server->stop();
    if (listener.joinable())
        listener.join();
}

bool CWebConsole::start()
{
    QString error;
    if (!users->load(&error)) {
        CLogFile::addLog(QStringLiteral("ERROR: [CWebConsole] The web console does not start: %1").arg(error));
        return false;
    }
    if (!users->hasAccounts()) {
        CLogFile::addLog(QStringLiteral("ERROR: [CWebConsole] The web console does not start: no account to log in "
                                        "with. Add one with: kelvara web user add NAME --admin"));
        return false;
    }
    if (settings.tls())
        server = std::make_unique<httplib::SSLServer>(settings.certFile.toLocal8Bit().constData(),
                                                      settings.keyFile.toLocal8Bit().constData());
    else
        server = std::make_unique<httplib::Server>();
    if (!server->is_valid()) {
        CLogFile::addLog(QStringLiteral("ERROR: [CWebConsole] The web console does not start: the certificate %1 "
                                        "or key %2 cannot be used")
                             .arg(settings.certFile, settings.keyFile));
        return false;
    }
    server->new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    // One request per connection: a browser's next poll does not hold a worker while it waits.
    server->set_keep_alive_max_count(1);
    server->set_read_timeout(std::chrono::milliseconds(settings.readTimeoutMs));
    server->set_write_timeout(std::chrono::milliseconds(settings.readTimeoutMs));
    server->set_payload_max_length(size_t(CWebRouter::MAX_BODY_BYTES));
    const auto handler = [this](const httplib::Request &_request, httplib::Response &_response) {
        answer(router->handle(requestOf(_request)), &_response);
    };
    for (auto route : { &httplib::Server::Get, &httplib::Server::Post, &httplib::Server::Put,
                        &httplib::Server::Patch, &httplib::Server::Delete })
        (server.get()->*route)(".*", handler);
    // What the server refuses by itself (a body over the limit, a request it cannot read) says so in JSON too.
    server->set_error_handler([](const httplib::Request &, httplib::Response &_response) {
        if (!_response.body.empty())
            return;
        const SWebResponse refusal = CWebRouter::error(
            _response.status, _response.status == 413 ? QStringLiteral("the body is larger than 1 MiB")
                                                      : QStringLiteral("the request cannot be read"));
        _response.set_content(refusal.body.toStdString(), "application/json");
    });
    // The library listens with a backlog of 5: a burst of browsers' polls would wait for the
    // kernel's retries. The socket is remembered as it is made and its backlog raised once bound.
    server->set_socket_options([this](socket_t _socket) {
        const int on = 1;
        setsockopt(_socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        listeningSocket = _socket;
    });
    const std::string host = settings.host.toStdString();
    if (settings.host.contains(QLatin1Char(':')))
        server->set_address_family(AF_INET6);
    if (settings.port == 0)
        boundPort = server->bind_to_any_port(host);
    else
        boundPort = server->bind_to_port(host, settings.port) ? settings.port : -1;
    if (boundPort <= 0) {
        CLogFile::addLog(QStringLiteral("ERROR: [CWebConsole] The web console does not start: %1 cannot be bound")
                             .arg(settings.origin()));
        return false;
    }
    if (listeningSocket >= 0)
        ::listen(listeningSocket, SOMAXCONN);
    // The first devices page would otherwise wait for the list to be read.
    backend->devices();
    listener = std::thread([this] { server->listen_after_bind(); });
    SWebSettings bound = settings;
    bound.port = quint16(boundPort);
    CLogFile::addLog(QStringLiteral("INFO: [CWebConsole] Web console at %1").arg(bound.origin()));
    return true;
}
