#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

// The console's accounts and script tokens, in the file "web-users" of the working directory
// (owner-only): one line each, "user NAME admin|viewer HASH" or "token NAME admin|viewer HASH".
// Passwords are kept as Argon2id strings of libsodium's crypto_pwhash, tokens (random, long)
// as their BLAKE2b digest. Safe to use from any thread; the file is read again when it changed.
class CWebUsers
{
public:
    static const QString FILE_NAME;

    struct SAccount
    {
        bool token = false;
        QString name;
        bool admin = false;
        QString hash;
    };

    explicit CWebUsers(const QString &_path);

    // Reads the file; false with the reason when it exists and cannot be read.
    bool load(QString *_error);
    // Writes the file, owner-only; false with the reason.
    bool save(QString *_error) const;

    QList<SAccount> accounts() const;
    bool hasAccounts() const;
    // Adds or replaces the user (or token) of that name. False when the name is unusable.
    bool setPassword(const QString &_name, const QString &_password, bool _admin, QString *_error);
    // A new token for _name, returned once; only its digest is kept.
    QString addToken(const QString &_name, bool _admin, QString *_error);
    // False when there is no such account.
    bool remove(const QString &_name, bool _token);

    // True when the user exists and the password is its own; *_admin tells the role.
    bool checkPassword(const QString &_name, const QString &_password, bool *_admin);
    // True when the token is known; its account's name and role.
    bool checkToken(const QString &_token, QString *_name, bool *_admin);

    // Names: letters, digits, '.', '_' and '-', at most 64.
    static bool isUsableName(const QString &_name);
    static QString tokenDigest(const QString &_token);

private:
    // Reads the file again when another process changed it.
    void refresh();

    QString path;
    mutable QMutex mutex;
    QList<SAccount> entries;
    QDateTime readModified;
    qint64 readSize = -1;
};

// The "web user" and "web token" commands; the exit code (0 done, 1 refused, 2 usage).
// The password comes from _in: typed twice on a terminal, or one line with --password-stdin.
int runWebCommand(const QStringList &_command, FILE *_in, FILE *_out, FILE *_err);
