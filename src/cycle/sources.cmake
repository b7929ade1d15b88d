set(LAYER_SOURCES
    DatabaseThread.cpp DatabaseThread.h
    DatabaseWorker.cpp DatabaseWorker.h
    DatabaseCycle.cpp DatabaseCycle.h
    StatusPanels.h
    StatusReport.cpp StatusReport.h)
