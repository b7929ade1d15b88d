#include "app/CommandLine.h"

#include "common/ListenAddress.h"
#include "common/MapSettings.h"
#include "common/Version.h"

#include <cstdio>

CommandLine::Result CommandLine::parse(const QStringList &args)
{
    Result r;
    bool help = false, version = false, check = false;
    QStringList words;
    auto refuse = [&r](const QString &why) {
        r.action = Action::UsageError;
        r.error = why;
        return r;
    };
    for (int i = 0; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            help = true;
        } else if (arg == QLatin1String("--version")) {
            version = true;
        } else if (arg == QLatin1String("--check-config")) {
            check = true;
        } else if (arg == QLatin1String("--home") || arg.startsWith(QLatin1String("--home="))) {
            QString dir;
            if (arg == QLatin1String("--home")) {
                if (i + 1 >= args.size())
                    return refuse(QStringLiteral("--home wants a folder"));
                dir = args.at(++i);
            } else {
                dir = arg.mid(7);
            }
            if (dir.isEmpty())
                return refuse(QStringLiteral("--home wants a folder"));
            if (!r.home.isEmpty())
                return refuse(QStringLiteral("--home given twice"));
            r.home = dir;
        } else if (arg == QLatin1String("--status-listen")
            || arg.startsWith(QLatin1String("--status-listen="))) {
            QString where;
            if (arg == QLatin1String("--status-listen")) {
                if (i + 1 >= args.size())
                    return refuse(QStringLiteral("--status-listen wants ADDRESS:PORT"));
                where = args.at(++i);
            } else {
                where = arg.mid(16);
            }
            QString why;
            if (!ListenAddress::parse(where, &why))
                return refuse(QStringLiteral("--status-listen: ") + why);
            r.statusListen = where;
        } else if (arg.startsWith(QLatin1Char('-'))) {
            return refuse(QStringLiteral("unknown option ") + arg);
        } else {
            // The rest is the role's command line, read whole as it always
            // was: a word that names no role starts a Server, and the start
            // says so in its record. Launch commands written for the old
            // program keep working.
            words << arg;
        }
    }
    r.roleWord = words.join(QLatin1Char(' ')).trimmed();
    // Help and version answer whatever else is there; they start nothing.
    if (help)
        r.action = Action::Help;
    else if (version)
        r.action = Action::Version;
    else if (check)
        r.action = Action::CheckConfig;
    return r;
}

QString CommandLine::usageLine(const QString &program)
{
    return QStringLiteral(
        "Usage: %1 [--home DIR] [--status-listen ADDRESS:PORT] [--check-config] [Server|Client]"
        "  (--help, --version)")
        .arg(program);
}

QString CommandLine::helpText(const QString &program, bool headless)
{
    QString text = usageLine(program) + QStringLiteral("\n\n");
    text += headless
        ? QStringLiteral("Runs the Volmara scheduling gateway without windows, as a service: the "
                         "same start-up, connection supervisor, database cycle, map link and logs "
                         "as the window program. Every Debug.TXT record is also written to "
                         "standard error. Incomplete settings end it with status 78.\n\n")
        : QStringLiteral("Runs the Volmara scheduling gateway with its Hebrew main window. Without "
                         "a display, use volmarad.\n\n");
    text += QStringLiteral(
        "  Server, Client    the station's role: the map login and which vehicles of the map\n"
        "                    server's list are kept (default Server; letter case ignored)\n"
        "  --home DIR        the program folder: Volmara.INI, Debug.TXT and the other files\n"
        "                    (default: VOLMARA_HOME, else the executable's folder)\n"
        "  --status-listen ADDRESS:PORT\n"
        "                    serves the status page, /healthz and /metrics there (instead\n"
        "                    of [Misc] StatusListen; an address other than loopback needs\n"
        "                    [Misc] StatusToken)\n"
        "  --check-config    reports every setting and where it came from, opens both\n"
        "                    database sessions, logs in to the map server, prints one line\n"
        "                    per check and exits 0 only when all pass (1: a connection\n"
        "                    failed, 78: a setting is missing or invalid); changes nothing\n"
        "  --version         prints the version\n"
        "  -h, --help        prints this text\n\n"
        "SIGHUP reads Volmara.INI again and applies what changed.\n\n"
        "Exit status: 0 ended in order (SIGTERM, SIGINT");
    text += headless ? QStringLiteral(")") : QStringLiteral(", File / Exit)");
    text += QStringLiteral(", 64 usage error, 75 another gateway runs on the program folder, 78 "
                           "configuration error");
    if (!headless)
        text += QStringLiteral(", 1 no display");
    text += QStringLiteral(".\n");
    return text;
}

int CommandLine::answer(const Result &result, const QString &program, bool headless)
{
    QByteArray text;
    FILE *to = stdout;
    int status = 0;
    switch (result.action) {
    case Action::Help:
        text = helpText(program, headless).toUtf8();
        break;
    case Action::Version:
        text = Version::plainText().toUtf8() + '\n';
        break;
    case Action::UsageError:
        text = (program + QStringLiteral(": ") + result.error + QLatin1Char('\n')
            + usageLine(program) + QLatin1Char('\n'))
                   .toUtf8();
        to = stderr;
        status = kUsageError;
        break;
    case Action::Run:
    case Action::CheckConfig:
        return 0;
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), to);
    std::fflush(to);
    return status;
}
