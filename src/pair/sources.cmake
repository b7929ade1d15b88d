set(LAYER_SOURCES
    Lease.cpp Lease.h
    LeaseKeeper.cpp LeaseKeeper.h
    PairConfig.cpp PairConfig.h)
