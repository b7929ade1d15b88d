#include "app/AppLifecycle.h"
#include "app/Gateway.h"
#include "app/MainWindow.h"
#include "app/WidgetUi.h"
#include "platform/ProgramFolder.h"
#include "platform/ShutdownSignals.h"

#include <QApplication>
#include <QStringList>

int main(int argc, char *argv[])
{
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
    const QStringList args = app.arguments().mid(1);
    gateway.lifecycle().MDIForm_Load(args.join(QLatin1Char(' ')));
    return app.exec();
}
