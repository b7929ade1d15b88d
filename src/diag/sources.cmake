list(APPEND VOLMARA_CORE_SOURCES
    diag/ErrorLog.cpp diag/ErrorLog.h
    diag/LogHousekeeping.cpp diag/LogHousekeeping.h
    diag/RecordsetToFile.cpp diag/RecordsetToFile.h)
list(APPEND VOLMARA_GUI_SOURCES
    diag/frmIO.cpp diag/frmIO.h
    diag/frmMsg.cpp diag/frmMsg.h)
