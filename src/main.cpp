#include "app/AppLifecycle.h"
#include "app/CommandLine.h"
#include "app/ConfigCheck.h"
#include "app/Gateway.h"
#include "app/Operations.h"
#include "common/Version.h"
#include "diag/ErrorLog.h"
#include "platform/Clock.h"
#include "platform/InstanceLock.h"
#include "platform/ProgramFolder.h"
#include "platform/ShutdownSignals.h"
#include "windows/MainWindow.h"
#include "windows/WidgetUi.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QMessageBox>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

namespace {

// Whether windows can be shown at all. Without any display Qt aborts; we
// say what to run instead.
bool displayPresent()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    return !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
#else
    return true;
#endif
}

QStringList rawArguments(int argc, char *argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    return args;
}

} // namespace

int main(int argc, char *argv[])
{
    Clock::settleTimeZone();
    // The command line is read before any window exists, so that --help,
    // --version, --check-config and a usage error need no display.
    const CommandLine::Result cl = CommandLine::parse(rawArguments(argc, argv));
    if (cl.action != CommandLine::Action::Run && cl.action != CommandLine::Action::CheckConfig)
        return CommandLine::answer(cl, QStringLiteral("volmara"), false);
    if (!cl.home.isEmpty())
        qputenv("VOLMARA_HOME", QDir(cl.home).absolutePath().toLocal8Bit());
    if (cl.action == CommandLine::Action::CheckConfig) {
        QCoreApplication core(argc, argv);
        QTextStream out(stdout);
        return ConfigCheck(ProgramFolder::path(), cl.roleWord).run(out);
    }
    if (!displayPresent()) {
        std::fputs("volmara: no display (DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are unset).\n"
                   "Run the headless gateway volmarad instead (same settings, same logs).\n",
            stderr);
        return 1;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Volmara"));
    QApplication::setLayoutDirection(Qt::RightToLeft);

    // One gateway per folder; taken before anything is written there.
    InstanceLock lock(ProgramFolder::path());
    switch (lock.take()) {
    case InstanceLock::Outcome::HeldElsewhere: {
        const QString text = lock.heldMessage(QStringLiteral("volmara"));
        std::fputs(qPrintable(text + QLatin1Char('\n')), stderr);
        QMessageBox::critical(nullptr, Version::kAppTitle, text);
        return InstanceLock::kExitHeld;
    }
    case InstanceLock::Outcome::Failed:
        std::fputs(qPrintable(QStringLiteral("volmara: cannot lock %1 (%2); going on without the "
                                             "one-gateway-per-folder check\n")
                                  .arg(lock.path(), lock.error())),
            stderr);
        break;
    case InstanceLock::Outcome::Taken:
        break;
    }

    Gateway gateway(ProgramFolder::path());
    MainWindow window(gateway);
    WidgetUi ui(gateway, window);
    gateway.setUi(&ui);

    ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &ShutdownSignals::shutdownRequested, &gateway,
        [&gateway] { gateway.lifecycle().requestEnd(); });

    Operations::Options options;
    options.statusListen = cl.statusListen;
    Operations ops(gateway, options);
    ops.start();

    // The role word (checked above) goes to start-up. The start-up runs
    // inside the event loop, so that an end requested while the logon dialog
    // is up ends the whole program.
    const QString role = cl.roleWord;
    QTimer::singleShot(0, &gateway, [&gateway, role] { gateway.lifecycle().MDIForm_Load(role); });
    const int rc = app.exec();
    gateway.log().flushRepeats(true);
    return rc;
}
