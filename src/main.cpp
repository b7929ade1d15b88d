#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "app/MainWindow.h"
#include "app/WidgetUi.h"
#include "platform/Clock.h"
#include "platform/ProgramFolder.h"
#include "platform/ShutdownSignals.h"

#include <QApplication>
#include <QStringList>
#include <QTimer>

int main(int argc, char *argv[])
{
    Clock::settleTimeZone();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Volmara"));
    QApplication::setLayoutDirection(Qt::RightToLeft);

    Gateway gateway(ProgramFolder::path());
    MainWindow window(gateway);
    WidgetUi ui(gateway, window);
    gateway.setUi(&ui);

    ShutdownSignals stopSignals;
    QObject::connect(&stopSignals, &ShutdownSignals::shutdownRequested, &gateway,
        [&gateway] { gateway.lifecycle().requestEnd(); });

    // The role word is the whole command line after the program name.
    // The start-up runs inside the event loop, so that an end requested
    // while the logon dialog is up ends the whole program.
    const QString commandLine = app.arguments().mid(1).join(QLatin1Char(' '));
    QTimer::singleShot(
        0, &gateway, [&gateway, commandLine] { gateway.lifecycle().MDIForm_Load(commandLine); });
    return app.exec();
}
