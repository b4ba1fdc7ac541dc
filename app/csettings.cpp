#include "app/csettings.h"

#include <QDebug>
#include <QFile>
#include <QTextStream>

namespace {

// Qt's INI escapes, so a file written by Qt (or by an older Kelvara) reads the same.
QString unescaped(const QString &_text)
{
    QString result;
    result.reserve(_text.size());
    for (int i = 0; i < _text.size(); ++i) {
        const QChar c = _text.at(i);
        if (c != QLatin1Char('\\') || i + 1 == _text.size()) {
            result += c;
            continue;
        }
        const QChar next = _text.at(++i);
        switch (next.unicode()) {
        case '\\': case '"': case '\'': case '?': result += next; break;
        case 'a': result += QChar(7); break;
        case 'b': result += QChar(8); break;
        case 'f': result += QChar(12); break;
        case 'n': result += QLatin1Char('\n'); break;
        case 'r': result += QLatin1Char('\r'); break;
        case 't': result += QLatin1Char('\t'); break;
        case 'v': result += QChar(11); break;
        case 'x': {
            int end = i + 1;
            while (end < _text.size() && end < i + 5 && isxdigit(_text.at(end).toLatin1()))
                ++end;
            bool ok = false;
            const uint code = _text.mid(i + 1, end - i - 1).toUInt(&ok, 16);
            if (ok) {
                result += QChar(code);
                i = end - 1;
            } else {
                result += QLatin1Char('\\');
                result += next;
            }
            break;
        }
        default:
            // A backslash in a hand-written password stays what it is.
            result += QLatin1Char('\\');
            result += next;
        }
    }
    return result;
}

// One value as written after '=': a quoted part is taken whole, the rest trimmed.
QString readIniValue(const QString &_raw)
{
    QString text = _raw.trimmed();
    if (text.size() >= 2 && text.startsWith(QLatin1Char('"')) && text.endsWith(QLatin1Char('"'))
        && !text.endsWith(QStringLiteral("\\\"")))
        text = text.mid(1, text.size() - 2);
    text = unescaped(text);
    // Qt writes a text beginning with '@' as "@@...".
    if (text.startsWith(QStringLiteral("@@")))
        text.remove(0, 1);
    return text;
}

bool readIni(QIODevice &_device, QSettings::SettingsMap &_map)
{
    QTextStream in(&_device);
    in.setCodec("UTF-8");
    QString group;
    while (!in.atEnd()) {
        const QString line = in.readLine().trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2).trimmed();
            if (group.compare(QStringLiteral("General"), Qt::CaseInsensitive) == 0)
                group.clear();
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        _map.insert(group.isEmpty() ? key : group + QLatin1Char('/') + key, readIniValue(line.mid(equals + 1)));
    }
    return true;
}

// Quoted when Qt's reader or ours would otherwise change it.
QString writtenIniValue(const QString &_value)
{
    QString escaped;
    bool quote = _value != _value.trimmed() || _value.startsWith(QLatin1Char('@'));
    for (const QChar c : _value) {
        switch (c.unicode()) {
        case '\\': escaped += QStringLiteral("\\\\"); break;
        case '"': escaped += QStringLiteral("\\\""); break;
        case '\n': escaped += QStringLiteral("\\n"); break;
        case '\r': escaped += QStringLiteral("\\r"); break;
        case '\t': escaped += QStringLiteral("\\t"); break;
        case ',': case ';': case '=': case '#': quote = true; escaped += c; break;
        default:
            if (c.unicode() < 0x20)
                escaped += QStringLiteral("\\x%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                escaped += c;
        }
    }
    if (escaped.startsWith(QLatin1Char('@')))
        escaped.prepend(QLatin1Char('@'));
    return quote ? QLatin1Char('"') + escaped + QLatin1Char('"') : escaped;
}

bool writeIni(QIODevice &_device, const QSettings::SettingsMap &_map)
{
    QTextStream out(&_device);
    out.setCodec("UTF-8");
    QString group = QStringLiteral("\n");  // no group yet
    bool first = true;
    for (auto it = _map.cbegin(); it != _map.cend(); ++it) {
        const int slash = it.key().lastIndexOf(QLatin1Char('/'));
        const QString keyGroup = slash < 0 ? QString() : it.key().left(slash);
        if (keyGroup != group) {
            group = keyGroup;
            if (!first)
                out << '\n';
            out << '[' << (group.isEmpty() ? QStringLiteral("General") : group) << "]\n";
        }
        first = false;
        out << it.key().mid(slash + 1) << '=' << writtenIniValue(it.value().toString()) << '\n';
    }
    out.flush();
    return out.status() == QTextStream::Ok;
}

// The file holds the server password: readable and writable by its owner only,
// made so before anything is written into it.
bool restrictToOwner(const QString &_fileName)
{
    QFile file(_fileName);
    if (!file.exists()) {
        if (!file.open(QIODevice::WriteOnly))
            return false;
        file.close();
    }
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

} // namespace

CSettings *CSettings::instance = nullptr;

CSettings::CSettings(const QString &fileName)
    : QSettings(fileName, iniFormat())
{
}

QSettings::Format CSettings::iniFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(QStringLiteral("conf"), readIni, writeIni);
    return format;
}

CSettings *CSettings::getInstance(const QString &fileName)
{
    if (instance)
        return instance;
    if (fileName.isEmpty()) {
        qDebug() << "ERROR: [CSettings::getInstance] Invalid fileName";
        return nullptr;
    }
    instance = new CSettings(fileName);
    return instance;
}

QVariant CSettings::readValue(const QString &key, const QVariant &defaultValue)
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::readValue] Invalid object";
        return QVariant();
    }
    return settings->value(key, defaultValue);
}

bool CSettings::writeValue(const QString &key, const QVariant &value)
{
    CSettings *settings = getInstance(QString());
    if (!settings) {
        qDebug() << "ERROR: [CSettings::writeValue] Invalid object";
        return false;
    }
    if (!restrictToOwner(settings->fileName())) {
        qDebug() << "ERROR: [CSettings::writeValue] Settings file is not restricted to its owner"
                 << settings->fileName();
        return false;
    }
    settings->setValue(key, value);
    settings->sync();
    // A read-only file or directory must not pass for a saved log-in.
    if (settings->status() != QSettings::NoError) {
        qDebug() << "ERROR: [CSettings::writeValue] Settings file is not written" << settings->fileName();
        return false;
    }
    return true;
}
