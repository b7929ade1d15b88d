set(LAYER_SOURCES
    DbNames.h
    LineKey.cpp LineKey.h
    MapProtocol.h
    MapText.cpp MapText.h
    MapSettings.cpp MapSettings.h
    MenuMarks.h
    Sessions.h
    StatusRows.h
    TaskTimer.cpp TaskTimer.h
    Ui.cpp Ui.h
    Version.h
    WindowTable.h)
