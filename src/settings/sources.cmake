list(APPEND VOLMARA_CORE_SOURCES
    settings/Settings.cpp settings/Settings.h)
