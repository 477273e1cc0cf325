#pragma once

#include "DialogUnits.h"

#include <QDialog>
#include <QRect>

#include <functional>
#include <map>
#include <vector>

class QLabel;
class QMenu;
class QPushButton;
class QTimer;

// The dialog base of the program's dialogs: a template of controls placed in
// dialog units, found by their ids, run modally by DoModal(), with per-window
// timers by id and a system menu of its own.
//
// Escape and the window's Close both reach OnCancel(); a click on a push button
// reaches OnCommand() with the button's id. No exception leaves a handler: one
// that escapes is reported on stderr and the dialog goes on running.
// UI thread only.
class CDialog : public QDialog {
    Q_OBJECT

public:
    // The dynamic property that holds each control's id (-1 for static items).
    static constexpr const char* kControlIdProperty = "controlId";

    CDialog(const QString& title, QSize sizeInUnits, QWidget* parent = nullptr);
    ~CDialog() override;

    // Initialises the dialog, shows it and runs it until it is ended.
    // Returns the result it was ended with: IDOK (1) or IDCANCEL (2).
    virtual int DoModal();
    void EndDialog(int result);
    bool isEnded() const { return m_ended; }

    // The control of the given id, or nullptr.
    QWidget* GetDlgItem(int id) const;
    // Every control in template order, which is also the tab order.
    const std::vector<QWidget*>& controls() const { return m_controls; }
    static int controlId(const QWidget* control);

    // Starts the timer id with the given period, restarting the period when the
    // timer runs already. Each expiry calls OnTimer(id).
    void SetTimer(unsigned id, int periodMs);
    // Stops the timer id; a timer that does not run is left alone.
    void KillTimer(unsigned id);
    bool isTimerRunning(unsigned id) const;
    // The timer behind id, for inspection; nullptr when it was never set.
    const QTimer* timer(unsigned id) const;

    // The window's system menu: Close, then whatever was appended.
    QMenu* GetSystemMenu() const { return m_systemMenu; }
    void AppendSystemMenuSeparator();
    void AppendSystemMenuItem(unsigned commandId, const QString& text);
    void openSystemMenu(const QPoint& globalPosition);

    virtual void OnTimer(unsigned id);
    // Commands from the system menu. Close closes the window; others do nothing here.
    virtual void OnSysCommand(unsigned commandId, long parameter);

    const DialogUnits& dialogUnits() const { return m_units; }

protected:
    // Called by DoModal() before the window shows. Returning true puts the focus
    // on the first tab stop.
    virtual bool OnInitDialog();
    // End the dialog with IDOK and IDCANCEL.
    virtual void OnOK();
    virtual void OnCancel();
    // A push button was clicked. Ids 1 and 2 go to OnOK() and OnCancel().
    virtual void OnCommand(int id);

    QPushButton* addButton(int id, const QString& text, const QRect& units, bool isDefault = false);
    QLabel* addStatic(int id, const QString& text, const QRect& units);
    // Adds a control made elsewhere; it takes the place the template gives it.
    void addControl(int id, QWidget* control, const QRect& units, bool tabStop);

    // Runs a handler, reporting on stderr whatever it throws.
    void runHandler(const char* what, const std::function<void()>& handler);

    void accept() override;
    void reject() override;
    void done(int result) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void focusFirstTabStop();

    DialogUnits m_units;
    std::vector<QWidget*> m_controls;
    std::map<int, QWidget*> m_controlsById;
    QWidget* m_lastTabStop = nullptr;
    std::map<unsigned, QTimer*> m_timers;
    QMenu* m_systemMenu;
    bool m_ended = false;
    int m_result = 0;
};
