// volmarad: the gateway without windows, for a service manager. The same
// start-up, supervisor, database cycle, map link and logs as the window
// program; every debug record also goes to standard error.

#include "app/AppLifecycle.h"
#include "app/CommandLine.h"
#include "app/ConfigCheck.h"
#include "app/Gateway.h"
#include "app/HeadlessUi.h"
#include "app/Operations.h"
#include "app/ServiceWatch.h"
#include "common/Version.h"
#include "cycle/DatabaseThread.h"
#include "diag/ErrorLog.h"
#include "diag/StderrLog.h"
#include "platform/Clock.h"
#include "platform/InstanceLock.h"
#include "platform/ProgramFolder.h"
#include "platform/ShutdownSignals.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    Clock::settleTimeZone();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("volmarad"));

    const CommandLine::Result cl = CommandLine::parse(app.arguments().mid(1));
    if (cl.action != CommandLine::Action::Run && cl.action != CommandLine::Action::CheckConfig)
        return CommandLine::answer(cl, QStringLiteral("volmarad"), true);
    // The program folder for everything that asks for it, sessions included.
    if (!cl.home.isEmpty())
        qputenv("VOLMARA_HOME", QDir(cl.home).absolutePath().toLocal8Bit());
    if (cl.action == CommandLine::Action::CheckConfig) {
        QTextStream out(stdout);
        return ConfigCheck(ProgramFolder::path(), cl.roleWord).run(out);
    }

    // One gateway per folder; taken before anything is written there.
    InstanceLock lock(ProgramFolder::path());
    switch (lock.take()) {
    case InstanceLock::Outcome::HeldElsewhere: {
        const QByteArray text = lock.heldMessage(QStringLiteral("volmarad")).toLocal8Bit() + '\n';
        std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
        return InstanceLock::kExitHeld;
    }
    case InstanceLock::Outcome::Failed: {
        const QByteArray text = QStringLiteral("volmarad: cannot lock %1 (%2); going on without "
                                               "the one-gateway-per-folder check\n")
                                    .arg(lock.path(), lock.error())
                                    .toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
        break;
    }
    case InstanceLock::Outcome::Taken:
        break;
    }

    Gateway gateway(ProgramFolder::path());
    StderrLog stderrLog;
    gateway.log().addSink(&stderrLog);

    ServiceWatch watch(gateway);
    int status = 0;
    gateway.lifecycle().setProcessEnder([&status, &watch, &gateway] {
        watch.stopping();
        if (!gateway.database().ended()) {
            // A statement still waits on a server that answers not even the
            // cancel. Returning from main would free what the database
            // thread goes on with when the server answers (the gateway, Qt's
            // table of connections), while it runs. Every log file is closed
            // after each write; what the C library holds goes out first.
            std::fflush(nullptr);
            std::_Exit(status);
        }
        QCoreApplication::exit(status);
    });
    HeadlessUi ui(gateway, [&status, &gateway] {
        status = CommandLine::kConfigError;
        gateway.lifecycle().requestEnd();
    });
    gateway.setUi(&ui);

    ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &ShutdownSignals::shutdownRequested, &gateway,
        [&gateway] { gateway.lifecycle().requestEnd(); });

    Operations::Options options;
    options.statusListen = cl.statusListen;
    options.nameBlocking = false; // the headless start names them as it ends
    Operations ops(gateway, options);

    gateway.log().logMessage(QStringLiteral("volmarad"),
        Version::plainText() + QStringLiteral(" starts in ") + gateway.programFolder());
    ops.start();
    // Inside the event loop, as in the window program.
    QTimer::singleShot(0, &gateway, [&] {
        gateway.lifecycle().MDIForm_Load(cl.roleWord);
        if (!ui.configurationFailed())
            watch.ready();
    });
    const int rc = app.exec();
    gateway.log().flushRepeats(true);
    return rc;
}
