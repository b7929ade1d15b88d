#pragma once

#include "platform/DateTime.h"

#include <QDateTime>

// What the gateway knows of the map server's line list: whether "$Q,0" is
// due, when it was sent and when the answer came. Start-up and the refresh
// command ask for a new list, the database cycle sends the request, the "$Q"
// handler takes the answer. Whether the server answered our login ("$A") on
// the connection now up: the new connection clears it, the "$A" handler sets it.
struct LinkState
{
    bool bRequestLines = true; // "$Q,0" is due before the next database work
    QDateTime dtLinesTime = DateTime::zero(); // the map server's line list last received
    QDateTime dtLastQSent = DateTime::zero();
    bool bLoggedIn = false;
};
