#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal on the window thread, so that a
// service manager's stop takes the same orderly path as a confirmed exit.
class ShutdownSignals : public QObject
{
    Q_OBJECT
public:
    explicit ShutdownSignals(QObject *parent = nullptr);
    ~ShutdownSignals() override;

Q_SIGNALS:
    void shutdownRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};
