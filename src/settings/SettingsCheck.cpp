#include "settings/SettingsCheck.h"

#include "common/ListenAddress.h"
#include "common/MapProtocol.h"
#include "platform/Convert.h"
#include "platform/Failure.h"
#include "platform/ProfileFile.h"
#include "settings/Settings.h"

#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

const QString kMap = QStringLiteral("ORVIKMap");
const QString kDatabase = QStringLiteral("Database");
const QString kMisc = QStringLiteral("Misc");

SettingsCheck::Entry read(
    const Settings &ini, const QString &section, const QString &key, const QString &defaultValue)
{
    SettingsCheck::Entry e;
    e.section = section;
    e.key = key;
    e.fromFile = ini.contains(section, key);
    e.value = ini.ReadINI(section, key, defaultValue);
    return e;
}

void missing(SettingsCheck::Entry &e)
{
    e.problem
        = e.name() + (e.fromFile ? QStringLiteral(" is empty") : QStringLiteral(" is missing"));
    e.blocksStart = true;
}

} // namespace

QString SettingsCheck::Entry::name() const
{
    return QLatin1Char('[') + section + QStringLiteral("] ") + key;
}

QList<SettingsCheck::Entry> SettingsCheck::review(const Settings &ini)
{
    QList<Entry> all;

    Entry ip = read(ini, kMap, QStringLiteral("MapIP"), QString());
    if (ip.value.isEmpty())
        missing(ip);
    all << ip;

    Entry port
        = read(ini, kMap, QStringLiteral("Port"), QString::number(MapProtocol::kDefaultPort));
    if (port.value.isEmpty()) {
        missing(port);
    } else {
        qint32 n = -1;
        const bool number = !trapFailure([&] { n = Convert::toLong(port.value); });
        if (!number || n < 1 || n > 65535) {
            port.problem = port.name() + QStringLiteral(" = ") + port.value
                + QStringLiteral(" is not a TCP port (1 to 65535)");
            port.blocksStart = true;
        }
    }
    all << port;

    Entry gmt = read(ini, kMap, QStringLiteral("GMT"), QStringLiteral("2"));
    if (gmt.value.isEmpty()) {
        missing(gmt);
    } else if (trapFailure([&] { Convert::toInteger(gmt.value); })) {
        gmt.problem = gmt.name() + QStringLiteral(" = ") + gmt.value
            + QStringLiteral(" is not a whole number of hours");
        gmt.blocksStart = true;
    }
    all << gmt;

    Entry server = read(ini, kDatabase, QStringLiteral("SQLServer"), QString());
    if (server.value.isEmpty())
        missing(server);
    all << server;

    all << read(ini, kDatabase, QStringLiteral("ORVIKDBServer"), server.value);
    all << read(ini, kDatabase, QStringLiteral("ODBCDriver"),
        QStringLiteral("ODBC Driver 18 for SQL Server"));

    Entry timeout
        = read(ini, kDatabase, QStringLiteral("Connection TimeOut"), QStringLiteral("20"));
    if (trapFailure([&] { Convert::toLong(timeout.value); }))
        timeout.problem = timeout.name() + QStringLiteral(" = ") + timeout.value
            + QStringLiteral(" is not a number of seconds (20 is used)");
    all << timeout;

    Entry interval = read(ini, kMisc, QStringLiteral("DBInterval"), QStringLiteral("15"));
    if (!Convert::isNumeric(interval.value)) {
        interval.problem = interval.name() + QStringLiteral(" = ") + interval.value
            + QStringLiteral(" is not a number of seconds (15 is used)");
    } else {
        // The cycle rounds to whole seconds and keeps to 1 to 3600; say what it uses.
        const double seconds = Convert::toDouble(interval.value);
        const int used = intervalUsed(interval.value);
        if (seconds < kMinIntervalSeconds || seconds > kMaxIntervalSeconds)
            interval.problem = interval.name() + QStringLiteral(" = ") + interval.value
                + QStringLiteral(" is outside %1 to %2 seconds (%3 is used)")
                      .arg(kMinIntervalSeconds)
                      .arg(kMaxIntervalSeconds)
                      .arg(used);
        else if (seconds != std::floor(seconds))
            interval.problem = interval.name() + QStringLiteral(" = ") + interval.value
                + QStringLiteral(" is not a whole number of seconds (%1 is used)").arg(used);
    }
    all << interval;

    // A standby pair: off unless named.
    Entry pairName = read(ini, QStringLiteral("Pair"), QStringLiteral("Name"), QString());
    all << pairName;
    Entry lease = read(ini, QStringLiteral("Pair"), QStringLiteral("LeaseSeconds"),
        QString::number(kDefaultLeaseSeconds));
    if (!Convert::isNumeric(lease.value)) {
        lease.problem = lease.name() + QStringLiteral(" = ") + lease.value
            + QStringLiteral(" is not a number of seconds (%1 is used)").arg(kDefaultLeaseSeconds);
    } else {
        const double seconds = Convert::toDouble(lease.value);
        const int used = leaseSecondsUsed(lease.value);
        if (seconds < kMinLeaseSeconds || seconds > kMaxLeaseSeconds)
            lease.problem = lease.name() + QStringLiteral(" = ") + lease.value
                + QStringLiteral(" is outside %1 to %2 seconds (%3 is used)")
                      .arg(kMinLeaseSeconds)
                      .arg(kMaxLeaseSeconds)
                      .arg(used);
        else if (seconds != std::floor(seconds))
            lease.problem = lease.name() + QStringLiteral(" = ") + lease.value
                + QStringLiteral(" is not a whole number of seconds (%1 is used)").arg(used);
    }
    all << lease;

    Entry sent = read(ini, kMisc, QStringLiteral("SentLines2File"), QStringLiteral("False"));
    if (!sent.value.isEmpty() && trapFailure([&] { Convert::toBool(sent.value); }))
        sent.problem = sent.name() + QStringLiteral(" = ") + sent.value
            + QStringLiteral(" is neither True nor False (False is used)");
    all << sent;

    // The status server: off unless asked; beyond this machine only with a token.
    Entry listen = read(ini, kMisc, QStringLiteral("StatusListen"), QString());
    Entry token = read(ini, kMisc, QStringLiteral("StatusToken"), QString());
    if (!listen.value.isEmpty()) {
        QString why;
        const auto where = ListenAddress::parse(listen.value, &why);
        if (!where)
            listen.problem = listen.name() + QStringLiteral(": ") + why
                + QStringLiteral(" (the status server stays off)");
        else if (!where->isLoopback() && token.value.isEmpty())
            listen.problem = listen.name() + QStringLiteral(" = ") + listen.value
                + QStringLiteral(" reaches beyond this machine and needs [Misc] StatusToken "
                                 "(the status server stays off)");
    }
    all << listen << token;

    return all;
}

int SettingsCheck::leaseSecondsUsed(const QString &text)
{
    if (text.trimmed().isEmpty() || !Convert::isNumeric(text))
        return kDefaultLeaseSeconds;
    const double seconds = std::nearbyint(Convert::toDouble(text));
    return int(std::clamp<double>(seconds, kMinLeaseSeconds, kMaxLeaseSeconds));
}

int SettingsCheck::intervalUsed(const QString &text)
{
    if (text.trimmed().isEmpty() || !Convert::isNumeric(text))
        return kDefaultIntervalSeconds;
    const double seconds = std::nearbyint(Convert::toDouble(text));
    return int(std::clamp<double>(seconds, kMinIntervalSeconds, kMaxIntervalSeconds));
}

QString SettingsCheck::encodingNote(const Settings &settings)
{
    if (!ProfileFile::startsWithUtf8Bom(settings.filePath()))
        return QString();
    return settings.filePath()
        + QStringLiteral(" begins with a UTF-8 byte order mark: it is passed over, and the file "
                         "is read as Windows-1255 (save it as Windows-1255 or plain ASCII)");
}

QString SettingsCheck::fileProblem(const Settings &settings)
{
    const QString why = ProfileFile::unreadable(settings.filePath());
    return why.isEmpty() ? QString() : settings.filePath() + QLatin1Char(' ') + why;
}

QStringList SettingsCheck::blockingProblems(const Settings &settings)
{
    QStringList problems;
    const QString file = fileProblem(settings);
    if (!file.isEmpty())
        problems << file;
    for (const Entry &e : review(settings)) {
        if (e.blocksStart)
            problems << e.problem;
    }
    return problems;
}

QString SettingsCheck::withoutPassword(const QString &dataSource)
{
    // "PWD=secret;" or "Password={se;cret}" in a connection string.
    static const QRegularExpression password(
        QStringLiteral(R"(((?:^|;)\s*(?:PWD|Password)\s*=\s*)(\{(?:[^}]|\}\})*\}|[^;]*))"),
        QRegularExpression::CaseInsensitiveOption);
    QString text = dataSource;
    text.replace(password, QStringLiteral("\\1***"));
    return text;
}
