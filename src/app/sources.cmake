set(LAYER_SOURCES
    AppLifecycle.cpp AppLifecycle.h
    CommandLine.cpp CommandLine.h
    ConfigCheck.cpp ConfigCheck.h
    Gateway.cpp Gateway.h
    GatewayStatus.cpp GatewayStatus.h
    HeadlessUi.cpp HeadlessUi.h
    MainCommands.cpp MainCommands.h
    Operations.cpp Operations.h
    ServiceWatch.cpp ServiceWatch.h
    Supervisor.cpp Supervisor.h)
