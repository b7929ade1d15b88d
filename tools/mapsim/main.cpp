// volmara-mapsim: stands in for the fleet-tracking map server.

#include "../ToolOptions.h"
#include "MapSim.h"
#include "common/MapProtocol.h"
#include "platform/ShutdownSignals.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_usr1[2] = {-1, -1};

void onUsr1(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_usr1[0], &byte, 1);
}

const char kDescription[]
    = R"(Stands in for the fleet-tracking map server that the Volmara gateway talks to.

Listens for the gateway's TCP connection and prints every line received with a
time stamp ("<-" received, "->" sent, "**" connection events); the Windows-1255
text is shown as readable UTF-8.

Answers:
  $L,<user>,<password>   with "$A,L,<mode>" (mode empty by default, so the
                         gateway asks for update mode S)
  $Q,...                 with "$Q,0,<vehicle>,<vehicle>,..." (see --vehicles)

Sends, when asked to:
  --request-line LINE    "$MapNotification,<org>,<n>,ExpLineSchedReq\c<LINE>"
                         every --request-every seconds to every client
  standard input         every line typed is sent to every client as it is
                         ("\r\n" added)

Signals:
  SIGUSR1                drops every client connection (the gateway reconnects)
  SIGTERM, SIGINT        ends the simulator

Example:
  volmara-mapsim --port 21953 --request-line 34506201 --request-every 20 \
                 --received-file mapsim.bin)";

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("volmara-mapsim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(kDescription));
    parser.addHelpOption();
    const QCommandLineOption host(QStringLiteral("host"),
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"),
        QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
        QStringLiteral("Port to listen on (default 21953; 0: any free port)."),
        QStringLiteral("port"), QString::number(MapProtocol::kDefaultPort));
    const QCommandLineOption vehicles(QStringLiteral("vehicles"),
        QStringLiteral("Comma-separated line list answered to \"$Q\" (default: %1). An empty text "
                       "answers an empty list.")
            .arg(MapSim::defaultVehicles().join(QLatin1Char(','))),
        QStringLiteral("list"));
    const QCommandLineOption mode(QStringLiteral("update-mode"),
        QStringLiteral("Update mode reported in the login answer (default empty)."),
        QStringLiteral("mode"));
    const QCommandLineOption requestLine(QStringLiteral("request-line"),
        QStringLiteral("Eight-character route name to ask for with \"ExpLineSchedReq\"."),
        QStringLiteral("line"));
    const QCommandLineOption requestEvery(QStringLiteral("request-every"),
        QStringLiteral("Seconds between requests (default 30)."), QStringLiteral("seconds"),
        QStringLiteral("30"));
    const QCommandLineOption requestOrg(QStringLiteral("request-org"),
        QStringLiteral("Organisation named in the requests (default dedod)."),
        QStringLiteral("name"), QStringLiteral("dedod"));
    const QCommandLineOption dropAfter(QStringLiteral("drop-after"),
        QStringLiteral("Drop each connection this many seconds after it was accepted."),
        QStringLiteral("seconds"), QStringLiteral("0"));
    const QCommandLineOption receivedFile(QStringLiteral("received-file"),
        QStringLiteral("Append every byte received, as received, to this file."),
        QStringLiteral("file"));
    const QCommandLineOption quiet(
        QStringLiteral("quiet"), QStringLiteral("Print only the listening address."));
    parser.addOptions({host, port, vehicles, mode, requestLine, requestEvery, requestOrg, dropAfter,
        receivedFile, quiet});
    if (const auto status = parseToolOptions(parser, "volmara-mapsim"))
        return *status;

    auto number = [&](const QCommandLineOption &option, int max) {
        bool ok = false;
        const int value = parser.value(option).toInt(&ok);
        if (!ok || value < 0 || value > max) {
            std::fprintf(stderr, "volmara-mapsim: --%s wants a number from 0 to %d\n",
                qPrintable(option.names().first()), max);
            std::exit(64);
        }
        return value;
    };

    MapSim::Options opt;
    if (!opt.host.setAddress(parser.value(host))) {
        std::fprintf(stderr, "volmara-mapsim: --host wants an address\n");
        return 64;
    }
    opt.port = quint16(number(port, 65535));
    opt.vehicles = parser.isSet(vehicles)
        ? parser.value(vehicles).split(QLatin1Char(','), Qt::SkipEmptyParts)
        : MapSim::defaultVehicles();
    opt.updateMode = parser.value(mode);
    opt.requestLine = parser.value(requestLine);
    opt.requestEverySeconds = qMax(1, number(requestEvery, 86400));
    opt.requestOrganization = parser.value(requestOrg);
    opt.dropAfterSeconds = number(dropAfter, 86400);
    opt.receivedFile = parser.value(receivedFile);
    opt.quiet = parser.isSet(quiet);

    MapSim sim(opt);

    ShutdownSignals shutdown;
    QObject::connect(&shutdown, &ShutdownSignals::shutdownRequested, &app, &QCoreApplication::quit);

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_usr1) == 0) {
        auto *notifier = new QSocketNotifier(g_usr1[1], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &sim, [&sim] {
            char buf[16];
            [[maybe_unused]] const auto n = ::read(g_usr1[1], buf, sizeof buf);
            sim.dropAll(QStringLiteral("SIGUSR1"));
        });
        struct sigaction sa = {};
        sa.sa_handler = onUsr1;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGUSR1, &sa, nullptr);
    }
    // Listening (and saying so) only once the signals are handled: a caller
    // that signals right after the listening line must not kill us.
    if (!sim.start())
        return 1;
    return app.exec();
}
