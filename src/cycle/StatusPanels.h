#pragma once

#include <QHash>
#include <QObject>
#include <QString>

// The texts of the status bar's keyed panels: "keyVersion", "keyStatus",
// "keyDebug" and "keyAlive". Start-up, the status report and the heartbeat
// write them; the main window shows them.
class StatusPanels : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    QString panelText(const QString &key) const { return m_panels.value(key); }
    void setPanelText(const QString &key, const QString &text)
    {
        m_panels.insert(key, text);
        Q_EMIT panelTextChanged(key, text);
    }

Q_SIGNALS:
    void panelTextChanged(const QString &key, const QString &text);

private:
    QHash<QString, QString> m_panels;
};
