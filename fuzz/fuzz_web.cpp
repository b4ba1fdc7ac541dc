#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <QUrlQuery>

#include <sodium.h>

#include "app/cclock.h"
#include "fuzz/fuzzsupport.h"
#include "web/csessions.h"
#include "web/cwebrouter.h"
#include "web/cwebusers.h"
#include "web/webbackend.h"

// HTTP requests through the console's routing, authentication and JSON parsing. Input: the
// request as it comes off the socket ("METHOD TARGET HTTP/1.1", headers, an empty line, the
// body), taken apart as the HTTP server does. Known to the router: the user boss (password
// "pw", admin), the tokens "a" x 64 (admin) and "b" x 64 (viewer).

namespace {

const QString ADMIN_TOKEN = QString(64, QLatin1Char('a'));
const QString VIEWER_TOKEN = QString(64, QLatin1Char('b'));

// Answers like a gateway with one device, and remembers whether a change reached it.
class CFakeBackend : public CWebBackend
{
public:
    bool changed = false;

    quint64 changeCount() override { return 1; }
    quint64 logCount() override { return 1; }
    QJsonObject status() override { return QJsonObject { { "version", "1" } }; }
    QByteArray devices() override { return "[{\"devEui\":\"4B454C5600000001\"}]"; }
    bool device(const QString &_devEui, QJsonObject *_device) override
    {
        *_device = QJsonObject { { "devEui", _devEui } };
        return _devEui.startsWith(QLatin1String("4B"));
    }
    bool registers(const QString &_devEui, QJsonArray *) override { return _devEui.startsWith(QLatin1String("4B")); }
    bool uplinks(const QString &_devEui, QJsonArray *) override { return _devEui.startsWith(QLatin1String("4B")); }
    SWebResult history(const QString &_devEui, const SHistoryQuery &) override
    {
        SWebResult result;
        if (!_devEui.startsWith(QLatin1String("4B"))) {
            result.status = 404;
            result.error = QStringLiteral("no device");
        }
        return result;
    }
    SWebResult addDevice(const QJsonObject &) override { return change(); }
    SWebResult editDevice(const QString &, const QJsonObject &) override { return change(); }
    SWebResult removeDevice(const QString &) override { return change(); }
    QJsonArray templates() override { return {}; }
    SWebResult candidates() override { return SWebResult(); }
    QString registerMap(bool) override { return QStringLiteral("port\n"); }
    QString exportDevices(bool) override { return QStringLiteral("dev_eui\n"); }
    SWebResult importDevices(const QByteArray &) override { return SWebResult(); }
    QStringList logLines(int _count) override { return QStringList { QString::number(_count) }; }
    std::string metrics(bool) override { return "kelvara_devices 1\n"; }

private:
    SWebResult change()
    {
        changed = true;
        return SWebResult();
    }
};

struct SHarness
{
    CManualClock clock;
    std::unique_ptr<CWebUsers> users;
    std::unique_ptr<CSessions> sessions;
    CFakeBackend backend;
    std::unique_ptr<CWebRouter> router;
};

SHarness *harness = nullptr;

// The request as the HTTP server hands it on; false when it would refuse it itself.
bool parseRequest(const QByteArray &_bytes, SWebRequest *_request)
{
    int end = _bytes.indexOf("\r\n\r\n");
    int gap = 4;
    if (end < 0) {
        end = _bytes.indexOf("\n\n");
        gap = 2;
    }
    if (end < 0)
        return false;
    const QList<QByteArray> lines = _bytes.left(end).split('\n');
    const QList<QByteArray> first = lines.first().trimmed().split(' ');
    if (first.size() != 3)
        return false;
    _request->method = QString::fromLatin1(first.at(0));
    const QByteArray target = first.at(1);
    const int question = target.indexOf('?');
    _request->path = QUrl::fromPercentEncoding(question < 0 ? target : target.left(question));
    const QUrlQuery query(QString::fromLatin1(question < 0 ? QByteArray() : target.mid(question + 1)));
    for (const auto &item : query.queryItems(QUrl::FullyDecoded))
        _request->query.insert(item.first, item.second);
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon <= 0)
            return false;
        _request->headers.insert(QString::fromLatin1(lines.at(i).left(colon).trimmed()).toLower(),
                                 QString::fromUtf8(lines.at(i).mid(colon + 1).trimmed()));
    }
    _request->body = _bytes.mid(end + gap);
    _request->remoteAddress = QStringLiteral("127.0.0.1");
    return true;
}

bool isChange(const QString &_method)
{
    return _method != QLatin1String("GET");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FUZZ::quietStart();
    if (sodium_init() < 0)
        std::abort();
    harness = new SHarness;
    const QString path = QDir::temp().filePath(QStringLiteral("kelvara-fuzz-web-users"));
    // The cheapest hash, so that a log-in costs the fuzzer microseconds, not a tenth of a second.
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, "pw", 2, crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_MEMLIMIT_MIN) != 0)
        std::abort();
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        std::abort();
    file.write(QStringLiteral("user boss admin %1\ntoken script admin %2\ntoken board viewer %3\n")
                   .arg(QString::fromLatin1(hash), CWebUsers::tokenDigest(ADMIN_TOKEN), CWebUsers::tokenDigest(VIEWER_TOKEN))
                   .toLatin1());
    file.close();
    harness->users = std::make_unique<CWebUsers>(path);
    QString error;
    if (!harness->users->load(&error))
        std::abort();
    harness->sessions = std::make_unique<CSessions>(&harness->clock);
    SWebSettings settings;
    settings.enabled = true;
    harness->router = std::make_unique<CWebRouter>(&harness->backend, harness->users.get(), harness->sessions.get(),
                                                   settings);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *_data, size_t _size)
{
    SWebRequest request;
    if (!parseRequest(QByteArray(reinterpret_cast<const char *>(_data), int(_size)), &request))
        return 0;
    // Failed log-ins of earlier inputs do not lock later ones out.
    harness->clock.advance(CSessions::LOCKOUT_MS);
    harness->backend.changed = false;
    const SWebResponse response = harness->router->handle(request);
    static const QList<int> KNOWN { 200, 201, 303, 400, 401, 403, 404, 405, 413, 429 };
    FUZZ_CHECK(KNOWN.contains(response.status));
    if (response.status >= 400 && response.contentType == "application/json") {
        const QJsonDocument document = QJsonDocument::fromJson(response.body);
        FUZZ_CHECK(document.isObject() && document.object().value(QStringLiteral("error")).isString());
    }
    // The scheme's name is case-insensitive, the token is not.
    const QString authorization = request.headers.value(QStringLiteral("authorization"));
    const bool bearer = authorization.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive);
    const QString token = authorization.mid(7).trimmed();
    const bool admin = bearer && token == ADMIN_TOKEN;
    const bool known = admin || (bearer && token == VIEWER_TOKEN);
    // Sessions are random: an input can only hold a token. A change reaches the gateway only
    // from the admin's token, and nothing under /api answers without a known one.
    if (harness->backend.changed)
        FUZZ_CHECK(admin && isChange(request.method));
    if (request.path.startsWith(QLatin1String("/api/")) && !known)
        FUZZ_CHECK(response.status == 401 || response.status == 404 || response.status == 413);
    if (request.body.size() > CWebRouter::MAX_BODY_BYTES)
        FUZZ_CHECK(response.status == 413);
    // What leaves the web root is never served.
    if (request.path.contains(QLatin1String("..")))
        FUZZ_CHECK(response.status >= 300);
    return 0;
}
