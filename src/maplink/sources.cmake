list(APPEND VOLMARA_CORE_SOURCES
    maplink/InboundCommands.cpp maplink/InboundCommands.h
    maplink/MapLink.cpp maplink/MapLink.h
    maplink/MapProtocol.h)
