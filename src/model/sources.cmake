set(LAYER_SOURCES
    clsLine.h
    clsSched.h
    DayModel.h
    JobsProcessor.cpp JobsProcessor.h
    mdlSendScheds.cpp mdlSendScheds.h
    RouteTimes.cpp RouteTimes.h)
