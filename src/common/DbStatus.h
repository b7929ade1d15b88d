#pragma once

#include <QString>

// The two sessions as the database thread last saw them, for the event
// thread: the status summary, the popup, the health check, the reload. Made
// on the database thread after each piece of its work and handed over with
// its result; never a way to reach the sessions themselves.
struct DbStatus
{
    struct Session
    {
        bool present = false; // a session object exists (opened at least once)
        int state = 0; // the state flags (0 closed, 1 open, 2 connecting, 4 executing)
        int connectionStatus = 0; // the provider's "Connection Status": 1 works
        QString dataSource; // what it was opened on
    };
    Session jobs;
    Session orvikDb;
};
