set(LAYER_SOURCES
    AppLifecycle.cpp AppLifecycle.h
    CommandLine.cpp CommandLine.h
    ConfigCheck.cpp ConfigCheck.h
    DatabaseCycle.cpp DatabaseCycle.h
    Gateway.cpp Gateway.h
    HeadlessUi.cpp HeadlessUi.h
    MainCommands.cpp MainCommands.h
    StatusPanels.h
    ServiceWatch.cpp ServiceWatch.h
    StatusReport.cpp StatusReport.h
    Supervisor.cpp Supervisor.h)
set(LAYER_WINDOWS
    MainWindow.cpp MainWindow.h
    WidgetUi.cpp WidgetUi.h)
