#include "web/cwebusers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QSaveFile>

#include "app/clogfile.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>

const QString CWebUsers::FILE_NAME = QStringLiteral("web-users");

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QString roleText(bool _admin)
{
    return _admin ? QStringLiteral("admin") : QStringLiteral("viewer");
}

} // namespace

CWebUsers::CWebUsers(const QString &_path)
    : path(_path)
{
}

bool CWebUsers::isUsableName(const QString &_name)
{
    static const QRegularExpression pattern(QStringLiteral("^[A-Za-z0-9._-]{1,64}$"));
    return pattern.match(_name).hasMatch();
}

QString CWebUsers::tokenDigest(const QString &_token)
{
    const QByteArray bytes = _token.toUtf8();
    unsigned char digest[crypto_generichash_BYTES];
    crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char *>(bytes.constData()),
                       size_t(bytes.size()), nullptr, 0);
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), sizeof digest).toHex());
}

bool CWebUsers::load(QString *_error)
{
    QMutexLocker locker(&mutex);
    entries.clear();
    QFile file(path);
    const QFileInfo info(path);
    readModified = info.lastModified();
    readSize = info.exists() ? info.size() : -1;
    if (!info.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *_error = QStringLiteral("%1 cannot be read: %2").arg(path, file.errorString());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        ++lineNumber;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        const bool kindKnown = fields.value(0) == QLatin1String("user") || fields.value(0) == QLatin1String("token");
        const bool roleKnown = fields.value(2) == QLatin1String("admin") || fields.value(2) == QLatin1String("viewer");
        if (fields.size() != 4 || !kindKnown || !roleKnown || !isUsableName(fields.at(1))) {
            *_error = QStringLiteral("%1 line %2 is not \"user|token NAME admin|viewer HASH\"").arg(path).arg(lineNumber);
            entries.clear();
            return false;
        }
        entries.append({ fields.at(0) == QLatin1String("token"), fields.at(1), fields.at(2) == QLatin1String("admin"),
                         fields.at(3) });
    }
    return true;
}

bool CWebUsers::save(QString *_error) const
{
    QMutexLocker locker(&mutex);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *_error = QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    // Owner-only before a hash is in it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    for (const SAccount &account : entries)
        file.write(QStringLiteral("%1 %2 %3 %4\n")
                       .arg(account.token ? QStringLiteral("token") : QStringLiteral("user"), account.name,
                            roleText(account.admin), account.hash)
                       .toUtf8());
    if (!file.commit()) {
        *_error = QStringLiteral("%1 cannot be written: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

QList<CWebUsers::SAccount> CWebUsers::accounts() const
{
    QMutexLocker locker(&mutex);
    return entries;
}

bool CWebUsers::hasAccounts() const
{
    QMutexLocker locker(&mutex);
    return !entries.isEmpty();
}

bool CWebUsers::setPassword(const QString &_name, const QString &_password, bool _admin, QString *_error)
{
    if (!isUsableName(_name)) {
        *_error = QStringLiteral("%1 is not a name of letters, digits, '.', '_' or '-' (at most 64)").arg(_name);
        return false;
    }
    if (_password.isEmpty()) {
        *_error = QStringLiteral("the password is empty");
        return false;
    }
    const QByteArray password = _password.toUtf8();
    char hash[crypto_pwhash_STRBYTES];
    if (!sodiumReady()
        || crypto_pwhash_str(hash, password.constData(), quint64(password.size()), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                             crypto_pwhash_MEMLIMIT_INTERACTIVE)
            != 0) {
        *_error = QStringLiteral("the password cannot be hashed (out of memory)");
        return false;
    }
    remove(_name, false);
    QMutexLocker locker(&mutex);
    entries.append({ false, _name, _admin, QString::fromLatin1(hash) });
    return true;
}

QString CWebUsers::addToken(const QString &_name, bool _admin, QString *_error)
{
    if (!isUsableName(_name) || !sodiumReady()) {
        *_error = QStringLiteral("%1 is not a name of letters, digits, '.', '_' or '-' (at most 64)").arg(_name);
        return QString();
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    const QString token = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(random), sizeof random).toHex());
    remove(_name, true);
    QMutexLocker locker(&mutex);
    entries.append({ true, _name, _admin, tokenDigest(token) });
    return token;
}

bool CWebUsers::remove(const QString &_name, bool _token)
{
    QMutexLocker locker(&mutex);
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).token == _token && entries.at(i).name == _name) {
            entries.removeAt(i);
            return true;
        }
    }
    return false;
}

void CWebUsers::refresh()
{
    const QFileInfo info(path);
    {
        QMutexLocker locker(&mutex);
        if (info.lastModified() == readModified && (info.exists() ? info.size() : -1) == readSize)
            return;
    }
    QString error;
    load(&error);
}

bool CWebUsers::checkPassword(const QString &_name, const QString &_password, bool *_admin)
{
    refresh();
    SAccount account;
    {
        QMutexLocker locker(&mutex);
        for (const SAccount &entry : entries) {
            if (!entry.token && entry.name == _name)
                account = entry;
        }
    }
    const QByteArray password = _password.toUtf8();
    if (account.name.isEmpty() || !sodiumReady())
        return false;
    // Outside the lock: a check takes a tenth of a second on purpose.
    if (crypto_pwhash_str_verify(account.hash.toLatin1().constData(), password.constData(), quint64(password.size()))
        != 0)
        return false;
    *_admin = account.admin;
    return true;
}

bool CWebUsers::checkToken(const QString &_token, QString *_name, bool *_admin)
{
    refresh();
    if (_token.isEmpty())
        return false;
    const QByteArray digest = tokenDigest(_token).toLatin1();
    QMutexLocker locker(&mutex);
    for (const SAccount &entry : entries) {
        const QByteArray kept = entry.hash.toLatin1();
        if (entry.token && kept.size() == digest.size()
            && sodium_memcmp(kept.constData(), digest.constData(), size_t(digest.size())) == 0) {
            *_name = entry.name;
            *_admin = entry.admin;
            return true;
        }
    }
    return false;
}

namespace {

// One line of _in without its newline; false at its end.
bool readLine(FILE *_in, QString *_line)
{
    QByteArray bytes;
    for (int c = std::fgetc(_in); c != EOF; c = std::fgetc(_in)) {
        if (c == '\n') {
            *_line = QString::fromUtf8(bytes);
            return true;
        }
        bytes.append(char(c));
    }
    *_line = QString::fromUtf8(bytes);
    return !bytes.isEmpty();
}

// Asks on the terminal without echo.
bool askPassword(FILE *_in, FILE *_out, const char *_prompt, QString *_password)
{
    std::fputs(_prompt, _out);
    std::fflush(_out);
    termios saved {};
    const bool terminal = tcgetattr(fileno(_in), &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(fileno(_in), TCSAFLUSH, &quiet);
    }
    const bool read = readLine(_in, _password);
    if (terminal) {
        tcsetattr(fileno(_in), TCSAFLUSH, &saved);
        std::fputs("\n", _out);
    }
    return read;
}

int usage(FILE *_err, const QString &_problem)
{
    std::fprintf(_err,
                 "kelvara: %s\nusage: kelvara web user add NAME [--admin] [--password-stdin]\n"
                 "       kelvara web user remove NAME\n       kelvara web user list\n"
                 "       kelvara web token add NAME [--admin]\n       kelvara web token remove NAME\n",
                 qPrintable(_problem));
    return 2;
}

int refuse(FILE *_err, const QString &_problem)
{
    std::fprintf(_err, "kelvara: %s\n", qPrintable(_problem));
    return 1;
}

// The change a command made, as one line of history.log; never a password or a token.
void logChange(const QStringList &_command, const QString &_change)
{
    CLogFile::addChangeLog(
        QStringLiteral("INFO: [kelvara %1] %2").arg(_command.mid(0, 3).join(QLatin1Char(' ')), _change));
}

} // namespace

int runWebCommand(const QStringList &_command, FILE *_in, FILE *_out, FILE *_err)
{
    const QString kind = _command.value(1);
    const QString verb = _command.value(2);
    QStringList arguments = _command.mid(3);
    const bool admin = arguments.removeAll(QStringLiteral("--admin")) > 0;
    const bool fromStdin = arguments.removeAll(QStringLiteral("--password-stdin")) > 0;
    if (kind != QLatin1String("user") && kind != QLatin1String("token"))
        return usage(_err, QStringLiteral("web takes user or token"));
    CWebUsers users(QDir::current().filePath(CWebUsers::FILE_NAME));
    QString error;
    if (!users.load(&error))
        return refuse(_err, error);
    const bool token = kind == QLatin1String("token");
    if (verb == QLatin1String("list") && !token && arguments.isEmpty() && !admin && !fromStdin) {
        for (const CWebUsers::SAccount &account : users.accounts())
            std::fprintf(_out, "%s %s %s\n", account.token ? "token" : "user", qPrintable(account.name),
                         account.admin ? "admin" : "viewer");
        return 0;
    }
    if (arguments.size() != 1 || (verb != QLatin1String("add") && verb != QLatin1String("remove"))
        || ((token || verb == QLatin1String("remove")) && fromStdin)
        || (verb == QLatin1String("remove") && admin))
        return usage(_err, QStringLiteral("unknown command web %1").arg(_command.mid(1).join(QLatin1Char(' '))));
    const QString name = arguments.first();
    if (verb == QLatin1String("remove")) {
        if (!users.remove(name, token))
            return refuse(_err, QStringLiteral("there is no %1 %2").arg(kind, name));
        if (!users.save(&error))
            return refuse(_err, error);
        std::fprintf(_out, "%s %s removed\n", qPrintable(kind), qPrintable(name));
        logChange(_command, QStringLiteral("%1 %2 removed").arg(kind, name));
        return 0;
    }
    if (token) {
        const QString secret = users.addToken(name, admin, &error);
        if (secret.isEmpty() || !users.save(&error))
            return refuse(_err, error);
        std::fprintf(_out, "%s\n", qPrintable(secret));
        std::fprintf(_err, "kelvara: token %s added; it is shown only now\n", qPrintable(name));
        logChange(_command, QStringLiteral("token %1 added (%2)").arg(name, roleText(admin)));
        return 0;
    }
    QString password;
    if (fromStdin) {
        if (!readLine(_in, &password))
            return refuse(_err, QStringLiteral("no password on standard input"));
    } else {
        if (!isatty(fileno(_in)))
            return refuse(_err, QStringLiteral("standard input is no terminal: give the password with --password-stdin"));
        QString again;
        if (!askPassword(_in, _out, "Password: ", &password) || !askPassword(_in, _out, "Password again: ", &again))
            return refuse(_err, QStringLiteral("no password given"));
        if (password != again)
            return refuse(_err, QStringLiteral("the passwords differ; nothing changed"));
    }
    if (!users.setPassword(name, password, admin, &error) || !users.save(&error))
        return refuse(_err, error);
    std::fprintf(_out, "user %s added (%s)\n", qPrintable(name), admin ? "admin" : "viewer");
    logChange(_command, QStringLiteral("user %1 added (%2)").arg(name, roleText(admin)));
    return 0;
}
