#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGHUP into a Qt signal on the event thread: the service manager's
// reload ("systemctl reload") asks the gateway to read its settings again.
// While the object lives, SIGHUP never ends the process.
class HangupSignal : public QObject
{
    Q_OBJECT
public:
    explicit HangupSignal(QObject *parent = nullptr);
    ~HangupSignal() override;

Q_SIGNALS:
    void reloadRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};
