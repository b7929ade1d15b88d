set(LAYER_SOURCES
    AppLifecycle.cpp AppLifecycle.h
    DatabaseCycle.cpp DatabaseCycle.h
    Gateway.cpp Gateway.h
    MainCommands.cpp MainCommands.h
    StatusPanels.h
    StatusReport.cpp StatusReport.h
    Supervisor.cpp Supervisor.h)
set(LAYER_WINDOWS
    MainWindow.cpp MainWindow.h
    WidgetUi.cpp WidgetUi.h)
