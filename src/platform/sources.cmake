list(APPEND VOLMARA_CORE_SOURCES
    platform/CodePage.cpp platform/CodePage.h
    platform/Clock.cpp platform/Clock.h
    platform/Convert.cpp platform/Convert.h
    platform/DateTime.cpp platform/DateTime.h
    platform/Failure.cpp platform/Failure.h
    platform/KeyedCollection.h
    platform/MapSocket.cpp platform/MapSocket.h
    platform/ProfileFile.cpp platform/ProfileFile.h
    platform/ProgramFolder.cpp platform/ProgramFolder.h
    platform/ShutdownSignals.cpp platform/ShutdownSignals.h
    platform/RowSet.cpp platform/RowSet.h
    platform/DbSession.cpp platform/DbSession.h)
list(APPEND VOLMARA_CORE_SOURCES
    platform/Registry.cpp platform/Registry.h)
