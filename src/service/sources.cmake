set(LAYER_SOURCES
    SettingsReload.cpp SettingsReload.h
    StatusEndpoint.cpp StatusEndpoint.h)
