list(APPEND VOLMARA_CORE_SOURCES
    app/AppLifecycle.cpp app/AppLifecycle.h
    app/AppState.h
    app/DatabaseCycle.cpp app/DatabaseCycle.h
    app/Gateway.cpp app/Gateway.h
    app/MainCommands.cpp app/MainCommands.h
    app/MenuMarks.h
    app/Supervisor.cpp app/Supervisor.h
    app/Ui.h
    app/Version.h)
list(APPEND VOLMARA_GUI_SOURCES
    app/MainWindow.cpp app/MainWindow.h
    app/WidgetUi.cpp app/WidgetUi.h)
