set(LAYER_SOURCES
    CodePage.cpp CodePage.h
    Clock.cpp Clock.h
    Convert.cpp Convert.h
    DateTime.cpp DateTime.h
    DbActivity.h
    DbSession.cpp DbSession.h
    DbSessionOdbc.cpp
    DbSessionQtSql.cpp
    DbSessionSqlite.cpp
    Failure.cpp Failure.h
    HangupSignal.cpp HangupSignal.h
    InstanceLock.cpp InstanceLock.h
    KeyedCollection.h
    MapSocket.cpp MapSocket.h
    OdbcStatement.cpp OdbcStatement.h
    ProfileFile.cpp ProfileFile.h
    ProgramFolder.cpp ProgramFolder.h
    Registry.cpp Registry.h
    RowSet.cpp RowSet.h
    ServiceNotifier.cpp ServiceNotifier.h
    ShutdownSignals.cpp ShutdownSignals.h)
