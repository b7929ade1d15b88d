#pragma once

#include <QByteArray>
#include <QString>

// The 8-bit code page of a Hebrew workstation (Windows-1255). Every byte that
// crosses the map wire or lands in one of our files goes through here.
class CodePage
{
public:
    // Characters outside the code page become "?".
    static QByteArray toBytes(const QString &text);
    // Bytes the code page leaves undefined become U+FFFD.
    static QString toText(const QByteArray &bytes);
    static QString toText(const char *data, qsizetype size);
};
