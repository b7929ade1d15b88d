#include "PairConfig.h"

#include "settings/Settings.h"
#include "settings/SettingsCheck.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QRandomGenerator>

PairConfig PairConfig::readSettings(const Settings &settings)
{
    PairConfig config;
    config.name = settings.ReadINI(QStringLiteral("Pair"), QStringLiteral("Name"), QString());
    config.leaseSeconds = SettingsCheck::leaseSecondsUsed(settings.ReadINI(
        QStringLiteral("Pair"), QStringLiteral("LeaseSeconds"), QStringLiteral("20")));
    return config;
}

PairConfig PairConfig::read(const Settings &settings)
{
    PairConfig config = readSettings(settings);
    config.holder = makeHolder();
    config.incarnation = config.holder.section(QLatin1Char(' '), -1);
    return config;
}

QString PairConfig::makeHolder()
{
    const quint32 incarnation = QRandomGenerator::system()->generate();
    return QHostInfo::localHostName() + QLatin1Char(' ')
        + QString::number(QCoreApplication::applicationPid()) + QLatin1Char(' ')
        + QStringLiteral("%1").arg(incarnation, 8, 16, QLatin1Char('0'));
}
