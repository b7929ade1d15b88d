set(LAYER_WINDOWS
    frmAbout.cpp frmAbout.h)
