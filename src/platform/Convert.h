#pragma once

#include <QString>
#include <QVariant>

// Conversions of database and text values with the classic run-time rules: a
// null value is failure 94, a value that is no number failure 13, a number out
// of range failure 6. Numbers round half to even, as the classic conversions do.
class Convert
{
public:
    static qint32 toLong(const QVariant &value);
    static qint16 toInteger(const QVariant &value);
    static double toDouble(const QVariant &value);
    static QString toText(const QVariant &value);
    // "True"/"False" in any letter case, or a number (non-zero is true).
    static bool toBool(const QVariant &value);

    // A text that reads as a number: optional blanks and sign, digits with an
    // optional decimal point, an optional exponent.
    static bool isNumeric(const QString &text);
    static bool isNumeric(const QVariant &value);
    // A value that holds a number type (not a text that reads as one).
    static bool isNumberType(const QVariant &value);
    // Text comparison without regard to letter case, used for every command,
    // key, mode and step word.
    static bool sameText(const QString &a, const QString &b);
};
