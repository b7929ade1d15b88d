set(LAYER_SOURCES
    AppLifecycle.cpp AppLifecycle.h
    CommandLine.cpp CommandLine.h
    ConfigCheck.cpp ConfigCheck.h
    CycleMeter.cpp CycleMeter.h
    DatabaseCycle.cpp DatabaseCycle.h
    Gateway.cpp Gateway.h
    GatewayStatus.cpp GatewayStatus.h
    HeadlessUi.cpp HeadlessUi.h
    MainCommands.cpp MainCommands.h
    Operations.cpp Operations.h
    StatusPanels.h
    ServiceWatch.cpp ServiceWatch.h
    SettingsReload.cpp SettingsReload.h
    StatusEndpoint.cpp StatusEndpoint.h
    StatusReport.cpp StatusReport.h
    Supervisor.cpp Supervisor.h)
set(LAYER_WINDOWS
    MainWindow.cpp MainWindow.h
    WidgetUi.cpp WidgetUi.h)
