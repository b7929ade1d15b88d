list(APPEND VOLMARA_CORE_SOURCES
    maplink/MapProtocol.h)
