#pragma once

#include "common/Version.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>
#include <optional>

// What every tool's command line shares with the gateway's: --help,
// --version, and status 64 (EX_USAGE) for a usage error. Adds --version,
// parses the command line and gives the status to end with, if any.
inline std::optional<int> parseToolOptions(QCommandLineParser &parser, const char *tool)
{
    const QCommandLineOption version(
        QStringLiteral("version"), QStringLiteral("Prints the version."));
    parser.addOption(version);
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "%s: %s (see --help)\n", tool, qPrintable(parser.errorText()));
        return 64;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(version)) {
        std::printf("%s\n", qPrintable(Version::plainText()));
        return 0;
    }
    return std::nullopt;
}
