#include "CDialog.h"

#include "Resource.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <exception>
#include <iostream>

CDialog::CDialog(const QString& title, QSize sizeInUnits, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint)
    , m_units(DialogUnits::dialogFont())
    , m_systemMenu(new QMenu(this))
{
    setFont(DialogUnits::dialogFont());
    setWindowTitle(title);
    // A modal frame: the template fixes the size.
    setFixedSize(m_units.toPixels(sizeInUnits));

    QAction* close = m_systemMenu->addAction(tr("&Close"));
    close->setData(SC_CLOSE);
    connect(m_systemMenu, &QMenu::triggered, this, [this](QAction* action) {
        const unsigned command = action->data().toUInt();
        runHandler("system command", [&] { OnSysCommand(command, 0); });
    });

    auto* systemMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
    connect(systemMenuKey, &QShortcut::activated, this, [this] { openSystemMenu(mapToGlobal(QPoint(0, 0))); });
}

CDialog::~CDialog() = default;

int CDialog::DoModal()
{
    m_ended = false;
    bool focusFirst = true;
    runHandler("initialise dialog", [&] { focusFirst = OnInitDialog(); });
    // Initialisation may already have ended the dialog; it is then never shown.
    if (m_ended)
        return m_result;
    if (focusFirst)
        focusFirstTabStop();
    return exec();
}

void CDialog::EndDialog(int result)
{
    done(result);
}

void CDialog::done(int result)
{
    m_ended = true;
    m_result = result;
    // Timers belong to the window and end with it.
    for (auto& [id, t] : m_timers)
        t->stop();
    m_systemMenu->hide();
    QDialog::done(result);
    // The owner takes the input back, as it does when a modal box closes on any desktop.
    if (QWidget* owner = parentWidget(); owner && owner->isVisible())
        owner->activateWindow();
}

void CDialog::accept()
{
    runHandler("OK", [this] { OnOK(); });
}

void CDialog::reject()
{
    // Escape and the window's Close come here.
    runHandler("Cancel", [this] { OnCancel(); });
}

bool CDialog::OnInitDialog()
{
    return true;
}

void CDialog::OnOK()
{
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}

void CDialog::OnCommand(int id)
{
    if (id == IDOK)
        OnOK();
    else if (id == IDCANCEL)
        OnCancel();
}

void CDialog::OnTimer(unsigned /*id*/) {}

void CDialog::OnSysCommand(unsigned commandId, long /*parameter*/)
{
    if ((commandId & 0xFFF0) == SC_CLOSE)
        close();
}

QWidget* CDialog::GetDlgItem(int id) const
{
    const auto it = m_controlsById.find(id);
    return it == m_controlsById.end() ? nullptr : it->second;
}

int CDialog::controlId(const QWidget* control)
{
    const QVariant id = control->property(kControlIdProperty);
    return id.isValid() ? id.toInt() : IDC_STATIC;
}

void CDialog::SetTimer(unsigned id, int periodMs)
{
    QTimer*& t = m_timers[id];
    if (!t) {
        t = new QTimer(this);
        t->setTimerType(Qt::PreciseTimer);
        connect(t, &QTimer::timeout, this, [this, id] { runHandler("timer", [&] { OnTimer(id); }); });
    }
    t->setInterval(periodMs);
    // start() on a running timer stops it first, so the period counts afresh from now.
    t->start();
}

void CDialog::KillTimer(unsigned id)
{
    const auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->stop();
}

bool CDialog::isTimerRunning(unsigned id) const
{
    const QTimer* t = timer(id);
    return t && t->isActive();
}

const QTimer* CDialog::timer(unsigned id) const
{
    const auto it = m_timers.find(id);
    return it == m_timers.end() ? nullptr : it->second;
}

void CDialog::AppendSystemMenuSeparator()
{
    m_systemMenu->addSeparator();
}

void CDialog::AppendSystemMenuItem(unsigned commandId, const QString& text)
{
    m_systemMenu->addAction(text)->setData(commandId);
}

void CDialog::openSystemMenu(const QPoint& globalPosition)
{
    if (!m_ended)
        m_systemMenu->popup(globalPosition);
}

void CDialog::contextMenuEvent(QContextMenuEvent* event)
{
    // Static texts let clicks through to the dialog, as its background does.
    QWidget* child = childAt(event->pos());
    if (!child || qobject_cast<QLabel*>(child)) {
        openSystemMenu(event->globalPos());
        event->accept();
        return;
    }
    QDialog::contextMenuEvent(event);
}

QPushButton* CDialog::addButton(int id, const QString& text, const QRect& units, bool isDefault)
{
    auto* button = new QPushButton(text, this);
    button->setAutoDefault(true);
    button->setDefault(isDefault);
    addControl(id, button, units, true);
    connect(button, &QPushButton::clicked, this, [this, id] { runHandler("command", [&] { OnCommand(id); }); });
    return button;
}

QLabel* CDialog::addStatic(int id, const QString& text, const QRect& units)
{
    auto* label = new QLabel(text, this);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    addControl(id, label, units, false);
    return label;
}

void CDialog::addControl(int id, QWidget* control, const QRect& units, bool tabStop)
{
    control->setParent(this);
    control->setGeometry(m_units.toPixels(units));
    control->setProperty(kControlIdProperty, id);
    if (tabStop) {
        control->setFocusPolicy(Qt::StrongFocus);
        if (m_lastTabStop)
            setTabOrder(m_lastTabStop, control);
        m_lastTabStop = control;
    } else {
        control->setFocusPolicy(Qt::NoFocus);
    }
    m_controls.push_back(control);
    if (id != IDC_STATIC)
        m_controlsById[id] = control;
}

void CDialog::focusFirstTabStop()
{
    const auto first = std::ranges::find_if(
        m_controls, [](const QWidget* control) { return control->focusPolicy() != Qt::NoFocus && control->isEnabled(); });
    if (first != m_controls.end())
        (*first)->setFocus(Qt::OtherFocusReason);
}

void CDialog::runHandler(const char* what, const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        std::cerr << "Cannot handle " << what << " in '" << windowTitle().toStdString() << "': " << e.what()
                  << std::endl;
    } catch (...) {
        std::cerr << "Cannot handle " << what << " in '" << windowTitle().toStdString() << "': unknown error"
                  << std::endl;
    }
}
