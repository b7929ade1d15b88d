// volmara-dbinit FOLDER [--demo] [--jobs N [--lines L]]: makes the embedded
// databases of a "sqlite:FOLDER" data source; --demo adds a small realistic
// day around now, --jobs a large one to measure the gateway with.

#include "../ToolOptions.h"
#include "db/DemoDay.h"
#include "db/EmbeddedSchema.h"
#include "db/LargeDay.h"
#include "platform/Failure.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("volmara-dbinit"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Creates the embedded databases of the Volmara gateway in FOLDER: ORVIK_Jobs.sqlite (Jobs, "
        "AppStatus, ShibFlag), ORVIKDB.sqlite (Scheds) and RteDB.sqlite (RouteTimes). Running it "
        "again changes nothing that exists. Point the gateway at it with "
        "SQLServer=sqlite:FOLDER."));
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("FOLDER"), QStringLiteral("where the database files go"));
    parser.addOption({QStringLiteral("demo"),
        QStringLiteral(
            "add a demo operational day (lines, jobs, drivers, route rules) around now")});
    parser.addOption({QStringLiteral("jobs"),
        QStringLiteral("add a large operational day of N jobs around now, one vehicle per trip"),
        QStringLiteral("N")});
    parser.addOption({QStringLiteral("lines"),
        QStringLiteral("the lines of the --jobs day (default: one per 20 jobs, 1000 to 5000)"),
        QStringLiteral("L")});
    if (const auto status = parseToolOptions(parser, "volmara-dbinit"))
        return *status;

    QTextStream out(stdout), err(stderr);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err << "volmara-dbinit: one FOLDER expected (see --help)\n";
        return 64;
    }
    // A day beyond ten million jobs is no operator's; the bound keeps the
    // tool from filling a disk on a typo.
    auto count = [&](const char *option, int &value) {
        const QString name = QString::fromLatin1(option);
        if (!parser.isSet(name))
            return true;
        bool ok = false;
        value = parser.value(name).toInt(&ok);
        if (ok && value >= 1 && value <= 10000000)
            return true;
        err << "volmara-dbinit: --" << name << " takes a whole number from 1 to 10000000, not \""
            << parser.value(name) << "\"\n";
        return false;
    };
    int jobs = 0, lines = 0;
    if (!count("jobs", jobs) || !count("lines", lines))
        return 64;
    if (parser.isSet(QStringLiteral("lines")) && !parser.isSet(QStringLiteral("jobs"))) {
        err << "volmara-dbinit: --lines goes with --jobs\n";
        return 64;
    }
    const QString folder = QDir(args.first()).absolutePath();
    auto f = trapFailure([&] {
        EmbeddedSchema::create(folder);
        out << "Databases ready in " << QDir::toNativeSeparators(folder) << "\n";
        if (parser.isSet(QStringLiteral("demo"))) {
            const DemoDay::Summary s = DemoDay::fill(folder, QDateTime::currentDateTime());
            out << "Demo day: " << s.lines << " lines, " << s.jobRows << " job rows (" << s.dayJobs
                << " jobs of the day), " << s.rules << " route rules\n";
        }
        if (jobs > 0) {
            const LargeDay::Summary s
                = LargeDay::fill(folder, QDateTime::currentDateTime(), jobs, lines);
            out << "Large day: " << s.jobs << " jobs over " << s.lines << " lines, " << s.rules
                << " route rules\n";
        }
    });
    if (f) {
        err << "volmara-dbinit: " << f->description() << "\n";
        return 1;
    }
    return 0;
}
