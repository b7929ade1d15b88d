set(LAYER_SOURCES
    LogOnLogic.cpp LogOnLogic.h
    Settings.cpp Settings.h
    SettingsCheck.cpp SettingsCheck.h)
set(LAYER_WINDOWS
    frmLogOn.cpp frmLogOn.h)
