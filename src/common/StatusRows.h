#pragma once

#include <QString>

// What the job selection writes into the status rows at every cycle: the
// gateway's version and connection summary ('APSTT'), and the map server's
// line list ('CRLST') when a new one arrived.
struct StatusRows
{
    QString strVersion; // "Version 3.0.50", set once at start-up
    QString strStatus; // the last connection summary, set by the status report
    QString strLinesList; // set by the map link's "$Q" handler
    bool bLinesChanged = false; // set with strLinesList; cleared once written
};
