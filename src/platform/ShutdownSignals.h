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

    // Whether a stop signal came while the object lives. Read where the
    // window thread waits without its event loop (a database lock), so that
    // the wait ends and the stop is carried out.
    static bool stopPending();

Q_SIGNALS:
    void shutdownRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};
