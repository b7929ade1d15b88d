set(LAYER_SOURCES
    DbNames.h
    Histogram.cpp Histogram.h
    LineKey.cpp LineKey.h
    ListenAddress.cpp ListenAddress.h
    MapProtocol.h
    MapText.cpp MapText.h
    MapSettings.cpp MapSettings.h
    MenuMarks.h
    Metrics.cpp Metrics.h
    Sessions.h
    StatusRows.h
    TaskTimer.cpp TaskTimer.h
    TrafficTail.cpp TrafficTail.h
    Ui.cpp Ui.h
    Version.h
    WindowTable.h)
