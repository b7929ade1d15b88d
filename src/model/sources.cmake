list(APPEND VOLMARA_CORE_SOURCES
    model/clsFil.h
    model/clsLine.h
    model/clsSched.h
    model/JobsProcessor.cpp model/JobsProcessor.h
    model/LineKey.cpp model/LineKey.h
    model/mdlSendScheds.cpp model/mdlSendScheds.h
    model/RouteTimes.cpp model/RouteTimes.h)
