list(APPEND VOLMARA_CORE_SOURCES
    model/clsFil.h
    model/clsLine.h
    model/clsSched.h)
list(APPEND VOLMARA_CORE_SOURCES
    model/mdlSendScheds.cpp model/mdlSendScheds.h)
