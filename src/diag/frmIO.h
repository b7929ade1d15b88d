#pragma once

#include <QString>
#include <QWidget>

class ErrorLog;
class WindowTable;
class QMdiArea;
class QMdiSubWindow;
class QPlainTextEdit;

// frmIO: the traffic pane, a child window of the main window holding what
// the operator types or pastes there, with a save to "Ticks.TXT".
class frmIO : public QWidget
{
    Q_OBJECT
public:
    static const QString kFileName; // "Ticks.TXT"

    // windows: the window keeps its "IO" entry; programFolder: where
    // "Ticks.TXT" goes.
    frmIO(WindowTable &windows, ErrorLog &log, const QString &programFolder,
        QWidget *parent = nullptr);
    ~frmIO() override;

    // Loads the window into the main window's area: sets its "IO" flag,
    // shows it and places it.
    static frmIO *load(
        WindowTable &windows, ErrorLog &log, const QString &programFolder, QMdiArea *area);

    QPlainTextEdit *txtData() const { return m_txtData; }
    QMdiSubWindow *subWindow() const;

    // Left edge, a quarter down, the full width and half the height of the
    // main window's client area.
    void ResizeIO();
    // Writes the pane's text to "Ticks.TXT"; failures are logged.
    void Win2File();
    // Unloads the window (as the operator's close does).
    void unload();

    // The bytes Win2File writes: the first N characters of the text, N being
    // its length without leading and trailing blanks, one byte each in the
    // code page. Failure 9 when there is nothing to write.
    static QByteArray ticksBytes(const QString &text);
    // Replaces the file's content with bytes; failures are thrown.
    static void writeTicks(const QString &path, const QByteArray &bytes);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    WindowTable &m_windows;
    ErrorLog &m_log;
    QString m_programFolder;
    QMdiArea *m_area = nullptr;
    QPlainTextEdit *m_txtData;
};
