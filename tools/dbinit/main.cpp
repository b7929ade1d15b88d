// volmara-dbinit FOLDER [--demo]: makes the embedded databases of a
// "sqlite:FOLDER" data source; --demo adds an operational day around now.

#include "../ToolOptions.h"
#include "db/DemoDay.h"
#include "db/EmbeddedSchema.h"
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
    if (const auto status = parseToolOptions(parser, "volmara-dbinit"))
        return *status;

    QTextStream out(stdout), err(stderr);
    const QStringList args = parser.positionalArguments();
    if (args.size() != 1) {
        err << "volmara-dbinit: one FOLDER expected (see --help)\n";
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
    });
    if (f) {
        err << "volmara-dbinit: " << f->description() << "\n";
        return 1;
    }
    return 0;
}
