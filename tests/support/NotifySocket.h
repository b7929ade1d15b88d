#pragma once

#include <QFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// The service manager's end of NOTIFY_SOCKET: a datagram socket in a folder.
class NotifySocket
{
public:
    explicit NotifySocket(const QString &path) : m_path(path)
    {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        const QByteArray p = QFile::encodeName(path);
        qstrncpy(addr.sun_path, p.constData(), sizeof addr.sun_path);
        m_bound = m_fd >= 0 && ::bind(m_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        // Read as they come, as a service manager does: a full queue would
        // hold the sender up.
        if (m_bound) {
            m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
            QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] { messages(); });
        }
    }
    ~NotifySocket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool bound() const { return m_bound; }
    // Called with each line as it arrives, inside the event loop.
    void onMessage(std::function<void(const QString &)> seen) { m_onMessage = std::move(seen); }
    // Every datagram so far, one entry per line.
    QStringList messages()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(m_fd, buf, sizeof buf, 0)) > 0) {
            const QStringList lines
                = QString::fromUtf8(buf, int(n)).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
            m_seen << lines;
            if (m_onMessage) {
                for (const QString &line : lines)
                    m_onMessage(line);
            }
        }
        return m_seen;
    }

private:
    QString m_path;
    int m_fd = -1;
    bool m_bound = false;
    std::unique_ptr<QSocketNotifier> m_notifier;
    std::function<void(const QString &)> m_onMessage;
    QStringList m_seen;
};
