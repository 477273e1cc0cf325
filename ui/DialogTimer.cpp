#include "DialogTimer.h"

#include "CDialog.h"

DialogTimer::DialogTimer(CDialog& dialog, unsigned id)
    : m_dialog(dialog)
    , m_id(id)
{
}

void DialogTimer::start(std::int32_t periodMs)
{
    m_dialog.SetTimer(m_id, periodMs);
}

void DialogTimer::stop()
{
    m_dialog.KillTimer(m_id);
}

bool DialogTimer::isActive() const
{
    return m_dialog.isTimerRunning(m_id);
}
