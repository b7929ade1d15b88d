set(LAYER_SOURCES
    GuardedTcpServer.cpp GuardedTcpServer.h
    HealthCheck.cpp HealthCheck.h
    LogTail.cpp LogTail.h
    MetricsText.cpp MetricsText.h
    StatusJson.cpp StatusJson.h
    StatusPage.cpp StatusPage.h
    StatusServer.cpp StatusServer.h
    StatusSnapshot.h
    StatusSource.h)
