#pragma once

#include <QHash>
#include <QRegularExpression>
#include <QString>

// A DevEUI or AppEUI as the gateway matches it: the network server, the templates,
// the store and the operator may each write its letters in either case, so it is
// normalised once, where it enters, and compared only in this form.
class CEui
{
public:
    CEui() = default;
    explicit CEui(const QString &_text)
        : key(_text.trimmed().toUpper())
    {
    }

    // Upper-case hex digits.
    const QString &text() const { return key; }
    // Exactly 16 hex digits, in either case, nothing around them.
    static bool isWellFormed(const QString &_text);
    bool isEmpty() const { return key.isEmpty(); }

    bool operator==(const CEui &_other) const { return key == _other.key; }
    bool operator!=(const CEui &_other) const { return key != _other.key; }
    bool operator<(const CEui &_other) const { return key < _other.key; }

private:
    QString key;
};

inline bool CEui::isWellFormed(const QString &_text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9A-Fa-f]{16}$"));
    return pattern.match(_text).hasMatch();
}

inline uint qHash(const CEui &_eui, uint _seed = 0)
{
    return qHash(_eui.text(), _seed);
}
