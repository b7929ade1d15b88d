#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

// Where the status server listens, written "ADDRESS:PORT": "127.0.0.1:9531",
// "[::1]:9531", "0.0.0.0:9531". The address is a numeric one (no name is
// looked up); the port is 1 to 65535.
struct ListenAddress
{
    QHostAddress address;
    quint16 port = 0;

    // Nothing (with the reason in error) for a text that is not one.
    static std::optional<ListenAddress> parse(const QString &text, QString *error = nullptr);
    // Only this machine can reach it.
    bool isLoopback() const { return address.isLoopback(); }
    // As parse() reads it; IPv6 in brackets.
    QString toString() const;

    bool operator==(const ListenAddress &o) const { return address == o.address && port == o.port; }
    bool operator!=(const ListenAddress &o) const { return !(*this == o); }
};
