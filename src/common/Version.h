#pragma once

#include <QString>

// The build's version numbers, given by the build system.
namespace Version {

inline constexpr int kMajor = VOLMARA_MAJOR;
inline constexpr int kMinor = VOLMARA_MINOR;
inline constexpr int kRevision = VOLMARA_REVISION;

// "Version 3.00.50": minor and revision with two digits, as the status bar shows it.
inline QString panelText(int major = kMajor, int minor = kMinor, int revision = kRevision)
{
    return QStringLiteral("Version %1.%2.%3")
        .arg(major)
        .arg(minor, 2, 10, QLatin1Char('0'))
        .arg(revision, 2, 10, QLatin1Char('0'));
}

// "Version 3.0.50": the plain form.
inline QString plainText(int major = kMajor, int minor = kMinor, int revision = kRevision)
{
    return QStringLiteral("Version %1.%2.%3").arg(major).arg(minor).arg(revision);
}

// The application title, shown in captions and message boxes.
inline const QString kAppTitle = QStringLiteral("Volmara - שער לוחות זמנים");

} // namespace Version
