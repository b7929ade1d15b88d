#pragma once

#include <QString>
#include <QStringList>

// The command line of the gateway's two executables, "volmara" (windows) and
// "volmarad" (headless): --help, --version, --home DIR, --check-config,
// --status-listen ADDRESS:PORT and the role word Server or Client (letter case ignored). An option
// that is none of these is refused; every other word is the role's command line, which start-up
// reads (a line that names no role starts a Server and is logged).
class CommandLine
{
public:
    // Exit statuses of the sysexits convention, which service managers and
    // scripts read.
    static constexpr int kUsageError = 64; // EX_USAGE
    static constexpr int kConfigError = 78; // EX_CONFIG

    enum class Action { Run, Help, Version, CheckConfig, UsageError };

    struct Result
    {
        Action action = Action::Run;
        QString home; // --home DIR, empty when not given
        QString statusListen; // --status-listen ADDRESS:PORT (checked), empty when not given
        QString roleWord; // the words that are not options, joined by blanks; empty when none
        QString error; // what was wrong, for UsageError
    };

    // args: the arguments after the program's name.
    static Result parse(const QStringList &args);

    // What --help, --version and a usage error print (stdout; a usage error
    // on stderr) and the exit status they end with.
    static int answer(const Result &result, const QString &program, bool headless);

    // One line: "Usage: volmarad [--home DIR] [--check-config] [Server|Client]".
    static QString usageLine(const QString &program);
    // The whole --help text; headless tells what the headless executable does
    // differently.
    static QString helpText(const QString &program, bool headless);
};
