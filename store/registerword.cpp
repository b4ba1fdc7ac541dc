#include "store/registerword.h"

uint16_t registerWord(const QString &_value)
{
    const int maxDigits = 4;
    if (_value.isEmpty() || _value.size() > maxDigits)
        return 0;
    uint16_t word = 0;
    for (const QChar c : _value) {
        const int letter = QStringLiteral("abcdef").indexOf(c.toLower());
        const int digit = c.isDigit() ? c.digitValue() : (letter < 0 ? -1 : letter + 10);
        if (c.unicode() > 0x7f || digit < 0)
            return 0;
        word = uint16_t(word * 16 + digit);
    }
    return word;
}
