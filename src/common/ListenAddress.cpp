#include "common/ListenAddress.h"

std::optional<ListenAddress> ListenAddress::parse(const QString &text, QString *error)
{
    auto refuse = [&](const QString &why) -> std::optional<ListenAddress> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    const QString t = text.trimmed();
    const int colon = int(t.lastIndexOf(QLatin1Char(':')));
    if (colon <= 0)
        return refuse(QStringLiteral("\"%1\" is not ADDRESS:PORT").arg(t));
    QString host = t.left(colon);
    const QString portText = t.mid(colon + 1);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return refuse(
            QStringLiteral("\"%1\": an IPv6 address goes in brackets, [::1]:9531").arg(t));

    ListenAddress a;
    if (!a.address.setAddress(host))
        return refuse(QStringLiteral("\"%1\" is not a numeric address").arg(host));
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return refuse(QStringLiteral("\"%1\" is not a TCP port (1 to 65535)").arg(portText));
    a.port = quint16(port);
    return a;
}

QString ListenAddress::toString() const
{
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
        : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}
