set(LAYER_SOURCES
    InboundCommands.cpp InboundCommands.h
    LinkState.h
    MapLink.cpp MapLink.h)
