#include "Registry.h"

#include <QStandardPaths>
#include <QStringList>

#ifdef Q_OS_WIN
#include <cstring>
#include <windows.h>
#endif

const QString Registry::kMsInfoKey = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools\\MSINFO");
const QString Registry::kMsInfoValue = QStringLiteral("PATH");
const QString Registry::kSharedToolsKey
    = QStringLiteral("SOFTWARE\\Microsoft\\Shared Tools Location");
const QString Registry::kSharedToolsValue = QStringLiteral("MSINFO");

QStringList Registry::systemInfoPrograms()
{
    // Graphical system-information tools of the usual desktops first, then a
    // general system monitor.
    return {QStringLiteral("hardinfo2"), QStringLiteral("hardinfo"), QStringLiteral("kinfocenter"),
        QStringLiteral("lshw-gtk"), QStringLiteral("gnome-system-monitor"),
        QStringLiteral("ksysguard"), QStringLiteral("xfce4-taskmanager")};
}

#ifdef Q_OS_WIN

bool Registry::GetKeyValue(
    quint32 keyRoot, const QString &keyName, const QString &subKeyRef, QString &keyVal)
{
    // Root handles are sign-extended 32-bit values, as the system defines them.
    HKEY root = reinterpret_cast<HKEY>(static_cast<LONG_PTR>(static_cast<LONG>(keyRoot)));
    HKEY key = nullptr;
    const QByteArray name = keyName.toLocal8Bit();
    if (RegOpenKeyExA(root, name.constData(), 0, kAccessMask, &key) != ERROR_SUCCESS) {
        keyVal.clear();
        return false;
    }
    char buffer[1024] = {};
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    const QByteArray value = subKeyRef.toLocal8Bit();
    if (RegQueryValueExA(
            key, value.constData(), nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size)
        != ERROR_SUCCESS) {
        keyVal.clear();
        RegCloseKey(key);
        return false;
    }
    QByteArray text(buffer, int(qMin<DWORD>(size, sizeof(buffer))));
    // The returned length counts the terminating zero of a string.
    if (!text.isEmpty() && text.endsWith('\0'))
        text.chop(1);
    if (type == kTypeString) {
        keyVal = QString::fromLocal8Bit(text);
    } else if (type == kTypeNumber && size >= sizeof(DWORD)) {
        DWORD number = 0;
        memcpy(&number, buffer, sizeof(DWORD));
        keyVal = QString::number(qint32(number));
    }
    RegCloseKey(key);
    return true;
}

#else

bool Registry::GetKeyValue(
    quint32 keyRoot, const QString &keyName, const QString &subKeyRef, QString &keyVal)
{
    keyVal.clear();
    if (keyRoot != kLocalMachine)
        return false;
    if (keyName.compare(kMsInfoKey, Qt::CaseInsensitive) == 0
        && subKeyRef.compare(kMsInfoValue, Qt::CaseInsensitive) == 0) {
        for (const QString &program : systemInfoPrograms()) {
            const QString path = QStandardPaths::findExecutable(program);
            if (!path.isEmpty()) {
                keyVal = path;
                return true;
            }
        }
    }
    return false;
}

#endif
