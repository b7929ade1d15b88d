list(APPEND VOLMARA_CORE_SOURCES
    db/DbNames.h
    db/SqlDialect.cpp db/SqlDialect.h
    db/SqliteDialect.cpp db/SqliteDialect.h
    db/SqlServerDialect.cpp db/SqlServerDialect.h)
