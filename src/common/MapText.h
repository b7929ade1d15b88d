#pragma once

#include <QString>

// A value from a database row made safe to place inside a map message.
class MapText
{
public:
    // The map server reads "$" as the start of a message, CR or LF as its end,
    // "," between fields and backslash + "c" between items, and stops reading
    // at a NUL: a value holding any of them would forge, split or shift
    // messages. Each of them (the two characters of "\c" together) becomes one
    // blank; every other character stays and nothing is cut. "-" stays too:
    // names like "בן-דוד" hold it, and the driver name is an entry's last part.
    //   משה כהן                          -> משה כהן (unchanged)
    //   Dana CR LF "$Q,0,dedod/9999999"  -> "Dana   Q 0 dedod/9999999"
    //   1 2 \ c 3 4                      -> "12 34"
    //   a \ \ c                          -> a \ blank
    //   7 NUL 1                          -> "7 1"
    static QString field(const QString &value);
};
