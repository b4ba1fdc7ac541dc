#include "web/websettings.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QSettings>
#include <QStringList>

namespace {

QString valueText(const QSettings &_settings, const QString &_key)
{
    return _settings.value(_key).toString().trimmed();
}

bool readFlag(const QSettings &_settings, const QString &_key, bool *_flag, QString *_error)
{
    const QString text = valueText(_settings, _key).toLower();
    if (text.isEmpty())
        return true;
    if (text == QLatin1String("true") || text == QLatin1String("false")) {
        *_flag = text == QLatin1String("true");
        return true;
    }
    *_error = QStringLiteral("[web] %1=%2 is not true or false").arg(_key.section(QLatin1Char('/'), 1), text);
    return false;
}

// "127.0.0.1:8080", "[::]:8443", "[::1]:80": the address and the port.
bool splitListen(const QString &_text, QString *_host, quint16 *_port)
{
    QString host;
    QString port;
    if (_text.startsWith(QLatin1Char('['))) {
        const int close = _text.indexOf(QLatin1String("]:"));
        if (close < 0)
            return false;
        host = _text.mid(1, close - 1);
        port = _text.mid(close + 2);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv6Protocol)
            return false;
    } else {
        const int colon = _text.lastIndexOf(QLatin1Char(':'));
        if (colon < 0)
            return false;
        host = _text.left(colon);
        port = _text.mid(colon + 1);
        if (QHostAddress(host).protocol() != QAbstractSocket::IPv4Protocol)
            return false;
    }
    bool ok = false;
    const uint number = port.toUInt(&ok);
    if (!ok || number == 0 || number > 65535)
        return false;
    *_host = host;
    *_port = quint16(number);
    return true;
}

bool readableFile(const QString &_path)
{
    const QFileInfo info(_path);
    return info.isFile() && info.isReadable();
}

} // namespace

QString SWebSettings::origin() const
{
    const QString address = host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(host) : host;
    return QStringLiteral("%1://%2:%3").arg(tls() ? QStringLiteral("https") : QStringLiteral("http"), address).arg(port);
}

bool readWebSettings(const QSettings &_settings, SWebSettings *_web, QString *_error)
{
    SWebSettings web;
    const QString listen = valueText(_settings, QStringLiteral("web/listen"));
    if (!readFlag(_settings, QStringLiteral("web/allow_plain_http"), &web.allowPlainHttp, _error)
        || !readFlag(_settings, QStringLiteral("web/metrics_public"), &web.metricsPublic, _error)
        || !readFlag(_settings, QStringLiteral("web/metrics_per_device"), &web.metricsPerDevice, _error))
        return false;
    const QString timeout = valueText(_settings, QStringLiteral("web/read_timeout_ms"));
    if (!timeout.isEmpty()) {
        bool ok = false;
        web.readTimeoutMs = timeout.toInt(&ok);
        if (!ok || web.readTimeoutMs < 1 || web.readTimeoutMs > 600000) {
            *_error = QStringLiteral("[web] read_timeout_ms=%1 is not a number of milliseconds from 1 to 600000")
                          .arg(timeout);
            return false;
        }
    }
    web.certFile = valueText(_settings, QStringLiteral("web/cert_file"));
    web.keyFile = valueText(_settings, QStringLiteral("web/key_file"));
    if (web.certFile.isEmpty() != web.keyFile.isEmpty()) {
        *_error = web.certFile.isEmpty() ? QStringLiteral("[web] key_file is set without cert_file")
                                         : QStringLiteral("[web] cert_file is set without key_file");
        return false;
    }
    for (const auto &file : { qMakePair(QStringLiteral("cert_file"), web.certFile),
                              qMakePair(QStringLiteral("key_file"), web.keyFile) }) {
        if (!file.second.isEmpty() && !readableFile(file.second)) {
            *_error = QStringLiteral("[web] %1=%2 is not a readable file").arg(file.first, file.second);
            return false;
        }
    }
    if (listen.isEmpty()) {
        *_web = web;
        return true;
    }
    if (!splitListen(listen, &web.host, &web.port)) {
        *_error = QStringLiteral("[web] listen=%1 is not ADDRESS:PORT (for example 127.0.0.1:8080 or [::]:8443)")
                      .arg(listen);
        return false;
    }
    if (!web.tls() && !web.allowPlainHttp && !QHostAddress(web.host).isLoopback()) {
        *_error = QStringLiteral("[web] listen=%1 serves plain HTTP off loopback: set cert_file and key_file, or "
                                 "allow_plain_http=true")
                      .arg(listen);
        return false;
    }
    web.enabled = true;
    *_web = web;
    return true;
}
