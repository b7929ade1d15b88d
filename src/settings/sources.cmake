list(APPEND VOLMARA_CORE_SOURCES
    settings/Settings.cpp settings/Settings.h)
list(APPEND VOLMARA_CORE_SOURCES
    settings/LogOnLogic.cpp settings/LogOnLogic.h)
list(APPEND VOLMARA_GUI_SOURCES
    settings/frmLogOn.cpp settings/frmLogOn.h)
