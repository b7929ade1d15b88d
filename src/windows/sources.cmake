set(LAYER_WINDOWS
    MainWindow.cpp MainWindow.h
    WidgetUi.cpp WidgetUi.h)
