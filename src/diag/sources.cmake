set(LAYER_SOURCES
    clsFil.h
    ErrorLog.cpp ErrorLog.h
    LogHousekeeping.cpp LogHousekeeping.h
    LogRecord.h
    Outage.h
    RepeatCounter.cpp RepeatCounter.h
    StderrLog.cpp StderrLog.h
    RecordsetToFile.cpp RecordsetToFile.h)
set(LAYER_WINDOWS
    frmIO.cpp frmIO.h
    frmMsg.cpp frmMsg.h)
