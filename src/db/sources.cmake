list(APPEND VOLMARA_CORE_SOURCES
    db/DbNames.h
    db/SqlDialect.cpp db/SqlDialect.h
    db/SqliteDialect.cpp db/SqliteDialect.h
    db/PostgresDialect.cpp db/PostgresDialect.h
    db/SqlServerDialect.cpp db/SqlServerDialect.h)
list(APPEND VOLMARA_CORE_SOURCES
    db/SqlConnect.cpp db/SqlConnect.h
    db/mdlQueries.cpp db/mdlQueries.h
    db/EmbeddedSchema.cpp db/EmbeddedSchema.h
    db/DemoDay.cpp db/DemoDay.h)
