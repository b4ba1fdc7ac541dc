#include "app/commandline.h"

#include <cstdio>

#include <QDir>

namespace {

// Qt's own options; the application object removes them from the arguments it keeps.
const QStringList QT_OPTIONS_WITH_VALUE { "-platform", "-platformpluginpath", "-platformtheme", "-plugin",
    "-qwindowgeometry", "-qwindowicon", "-qwindowtitle", "-session", "-style", "-stylesheet", "-display", "-geometry" };
const QStringList QT_FLAGS { "-reverse", "-widgetcount", "-nograb", "-dograb", "-sync" };
// Commands that change or show the working directory's devices and templates.
const QStringList COMMANDS { "devices", "templates", "web", "history" };

} // namespace

SCommandLine parseCommandLine(const QStringList &_arguments)
{
    SCommandLine result;
    bool help = false;
    bool version = false;
    auto fail = [&result](const QString &_error) {
        result.action = SCommandLine::eUsageError;
        result.error = _error;
        return result;
    };
    for (int i = 0; i < _arguments.size(); ++i) {
        const QString &argument = _arguments.at(i);
        const QString name = argument.section(QLatin1Char('='), 0, 0);
        const bool inlineValue = argument.contains(QLatin1Char('='));
        // The value after '=' or in the next argument.
        auto takeValue = [&](QString &_value) {
            if (inlineValue)
                _value = argument.section(QLatin1Char('='), 1);
            else if (i + 1 < _arguments.size())
                _value = _arguments.at(++i);
            else
                return false;
            return !_value.isEmpty();
        };
        if (!result.command.isEmpty()) {
            // The command's own arguments; only --workdir is the program's.
            if (name == QLatin1String("--workdir")) {
                if (!takeValue(result.workDir))
                    return fail(QStringLiteral("--workdir needs a directory"));
            } else {
                result.command << argument;
            }
        } else if (COMMANDS.contains(argument)) {
            result.command << argument;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
        } else if (argument == QLatin1String("--version")) {
            version = true;
        } else if (argument == QLatin1String("--headless")) {
            result.headless = true;
        } else if (name == QLatin1String("--workdir")) {
            if (!takeValue(result.workDir))
                return fail(QStringLiteral("--workdir needs a directory"));
        } else if (QT_OPTIONS_WITH_VALUE.contains(name)) {
            QString value;
            if (!takeValue(value))
                return fail(QStringLiteral("%1 needs a value").arg(name));
            if (name == QLatin1String("-platform"))
                result.platform = value;
        } else if (!QT_FLAGS.contains(argument)) {
            return fail(argument.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option %1").arg(argument)
                                                              : QStringLiteral("unexpected argument %1").arg(argument));
        }
    }
    if (help)
        result.action = SCommandLine::eHelp;
    else if (version)
        result.action = SCommandLine::eVersion;
    else if (!result.command.isEmpty())
        result.action = SCommandLine::eCommand;
    return result;
}

QString commandLineUsage()
{
    return QStringLiteral(
        "Usage: kelvara [--headless] [--workdir DIR]\n"
        "       kelvara COMMAND [ARGUMENTS] [--workdir DIR]\n"
        "LoRaWAN-to-Modbus gateway. It keeps settings.conf, deviceFolder/, server.db and history.log\n"
        "in its working directory.\n"
        "\n"
        "  --headless       run without a window, as a service\n"
        "  --workdir DIR    work in DIR instead of the current directory\n"
        "  --version        print the version and exit\n"
        "  -h, --help       print this help and exit\n"
        "\n"
        "Commands (a running gateway in DIR takes the change at once):\n"
        "  devices list [--json]\n"
        "  devices add --dev-eui EUI --template TYPE --name NAME --port P --start A\n"
        "              [--unit-id 0-247] [--word-order big|little] [--stale-after SECONDS]\n"
        "              [--stale-policy keep|exception] [--writable]\n"
        "  devices remove --dev-eui EUI\n"
        "  devices export [--format csv|json] [FILE]\n"
        "  devices export --map [--format csv|md] [FILE]\n"
        "  devices import FILE\n"
        "  templates list\n"
        "  templates check [FILE...]\n"
        "  templates try FILE --payload HEX [--f-port N]\n"
        "  web user add NAME [--admin] [--password-stdin]\n"
        "  web user remove NAME\n"
        "  web user list\n"
        "  web token add NAME [--admin]\n"
        "  web token remove NAME\n"
        "  history --dev-eui EUI [--value NAME] [--since 24h | --from T1 --to T2]\n"
        "          [--format csv|json] [FILE]\n"
        "\n"
        "Qt's own options (-platform NAME, -style NAME, ...) are passed to Qt.\n");
}

QString versionLine()
{
    return QStringLiteral("kelvara " KELVARA_VERSION);
}

bool displayAvailable(const SCommandLine &_commandLine, const QProcessEnvironment &_environment)
{
    return !_commandLine.platform.isEmpty() || !_environment.value(QStringLiteral("DISPLAY")).isEmpty()
        || !_environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()
        || !_environment.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty();
}

int settleCommandLine(const SCommandLine &_commandLine, const QProcessEnvironment &_environment)
{
    switch (_commandLine.action) {
    case SCommandLine::eHelp:
        fputs(qPrintable(commandLineUsage()), stdout);
        return 0;
    case SCommandLine::eVersion:
        printf("%s\n", qPrintable(versionLine()));
        return 0;
    case SCommandLine::eUsageError:
        fprintf(stderr, "kelvara: %s\n%s", qPrintable(_commandLine.error), qPrintable(commandLineUsage()));
        return 2;
    case SCommandLine::eRun:
    case SCommandLine::eCommand:
        break;
    }
    const bool needsDisplay = _commandLine.action == SCommandLine::eRun && !_commandLine.headless;
    if (needsDisplay && !displayAvailable(_commandLine, _environment)) {
        fputs("no display; run with --headless\n", stderr);
        return 2;
    }
    if (!_commandLine.workDir.isEmpty() && !QDir::setCurrent(_commandLine.workDir)) {
        fprintf(stderr, "kelvara: cannot work in %s\n", qPrintable(_commandLine.workDir));
        return 1;
    }
    return -1;
}
