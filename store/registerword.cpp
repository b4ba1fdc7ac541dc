#include "store/registerword.h"

uint16_t registerWord(const QString &_value)
{
    const int maxDigits = 4;
    if (_value.isEmpty() || _value.size() > maxDigits)
        return 0;
    uint16_t word = 0;
    // Every register of every uplink comes here: plain ASCII arithmetic, no Unicode tables.
    for (const QChar c : _value) {
        const ushort code = c.unicode();
        int digit = -1;
        if (code >= '0' && code <= '9')
            digit = code - '0';
        else if (code >= 'a' && code <= 'f')
            digit = code - 'a' + 10;
        else if (code >= 'A' && code <= 'F')
            digit = code - 'A' + 10;
        if (digit < 0)
            return 0;
        word = uint16_t(word * 16 + digit);
    }
    return word;
}
