set(LAYER_SOURCES
    DemoDay.cpp DemoDay.h
    EmbeddedSchema.cpp EmbeddedSchema.h
    LargeDay.cpp LargeDay.h
    LeaseStatements.cpp LeaseStatements.h
    mdlQueries.cpp mdlQueries.h
    PostgresDialect.cpp PostgresDialect.h
    SqlConnect.cpp SqlConnect.h
    SqlDialect.cpp SqlDialect.h
    SqliteDialect.cpp SqliteDialect.h
    SqlServerDialect.cpp SqlServerDialect.h)
