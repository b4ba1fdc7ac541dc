#include "gateway/commandoptions.h"

bool readOptions(const QStringList &_arguments, const QStringList &_withValue, const QStringList &_flags,
                 QMap<QString, QString> *_options, QStringList *_positional, QString *_error)
{
    for (int i = 0; i < _arguments.size(); ++i) {
        const QString &argument = _arguments.at(i);
        if (!argument.startsWith(QLatin1String("--"))) {
            _positional->append(argument);
            continue;
        }
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        if (_options->contains(name)) {
            *_error = QStringLiteral("%1 given twice").arg(name);
            return false;
        }
        if (_flags.contains(name)) {
            _options->insert(name, QString());
        } else if (_withValue.contains(name)) {
            if (argument.contains(QLatin1Char('=')))
                _options->insert(name, argument.section(QLatin1Char('='), 1));
            else if (i + 1 < _arguments.size())
                _options->insert(name, _arguments.at(++i));
            else {
                *_error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
        } else {
            *_error = QStringLiteral("unknown option %1").arg(argument);
            return false;
        }
    }
    return true;
}
