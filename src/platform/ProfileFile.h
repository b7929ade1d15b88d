#pragma once

#include <QString>

// A private-profile settings file: "[Section]" lines open sections,
// "key=value" lines hold values, section and key names match without regard
// to letter case, text is in the workstation's code page. Files we write get
// CRLF line ends; lines we do not touch are kept byte for byte.
class ProfileFile
{
public:
    static constexpr int kBufferSize = 200;

    // The value of key in section, or defaultValue when the file, section or
    // key is missing. Like the classic reader: only the first section of a
    // name is read; blanks around a value are dropped, then one pair of double
    // quotes around it ("MY SERVER" reads MY SERVER), and the value is cut to
    // bufferSize - 1 characters; an empty stored value is returned as empty.
    static QString readString(const QString &path, const QString &section, const QString &key,
        const QString &defaultValue, int bufferSize = kBufferSize);

    // Sets key in section, creating the file, section or key as needed and
    // replacing an existing value. The file is replaced atomically, so a
    // failed write leaves the old file whole. Returns whether it was written.
    static bool writeString(
        const QString &path, const QString &section, const QString &key, const QString &value);
};
