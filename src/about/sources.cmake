list(APPEND VOLMARA_GUI_SOURCES
    about/frmAbout.cpp about/frmAbout.h)
