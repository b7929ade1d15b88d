#pragma once

#include <QString>

// A private-profile settings file: "[Section]" lines open sections,
// "key=value" lines hold values, section and key names match without regard
// to letter case, text is in the workstation's code page. Files we write get
// CRLF line ends; lines we do not touch are kept byte for byte.
class ProfileFile
{
public:
    // Values of up to 4,096 characters are read whole (long ODBC connection
    // strings); the classic reader's 200-byte buffer cut them at 199.
    static constexpr int kMaxValueChars = 4096;
    static constexpr int kBufferSize = kMaxValueChars + 1;

    // What a key holds: its value (blanks and one pair of quotes gone, not
    // cut) and whether the key is in the file at all.
    struct Lookup
    {
        bool found = false;
        QString value;
    };
    static Lookup lookup(const QString &path, const QString &section, const QString &key);

    // The value of key in section, or defaultValue when the file, section or
    // key is missing. Like the classic reader: only the first section of a
    // name is read; blanks around a value are dropped, then one pair of double
    // quotes around it ("MY SERVER" reads MY SERVER), and the value is cut to
    // bufferSize - 1 characters; an empty stored value is returned as empty.
    static QString readString(const QString &path, const QString &section, const QString &key,
        const QString &defaultValue, int bufferSize = kBufferSize, bool *cut = nullptr);

    // Why a file that is there cannot be read as settings ("cannot be read:
    // Permission denied", "is UTF-16 (little-endian) text ..."): every key of
    // it then reads its default and nothing is written to it. Empty when it
    // can be read, or is not there.
    static QString unreadable(const QString &path);

    // Whether the file begins with a UTF-8 byte order mark, which the reader
    // passes over.
    static bool startsWithUtf8Bom(const QString &path);

    // Sets key in section, creating the file, section or key as needed and
    // replacing an existing value. The file is replaced atomically, so a
    // failed write leaves the old file whole. Returns whether it was written.
    static bool writeString(
        const QString &path, const QString &section, const QString &key, const QString &value);
};
