#pragma once

#include <QHash>
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
    bool isEmpty() const { return key.isEmpty(); }

    bool operator==(const CEui &_other) const { return key == _other.key; }
    bool operator!=(const CEui &_other) const { return key != _other.key; }
    bool operator<(const CEui &_other) const { return key < _other.key; }

private:
    QString key;
};

inline uint qHash(const CEui &_eui, uint _seed = 0)
{
    return qHash(_eui.text(), _seed);
}
