#include "CProgressCtrl.h"

#include <QProgressBar>

#include <algorithm>

void CProgressCtrl::Attach(QProgressBar* bar)
{
    m_bar = bar;
    show();
}

void CProgressCtrl::SetRange(int lower, int upper)
{
    m_lower = lower;
    m_upper = std::max(lower, upper);
    m_position = std::clamp(m_position, m_lower, m_upper);
    show();
}

int CProgressCtrl::SetPos(int position)
{
    const int previous = m_position;
    m_position = std::clamp(position, m_lower, m_upper);
    show();
    return previous;
}

void CProgressCtrl::show()
{
    if (!m_bar)
        return;
    m_bar->setRange(m_lower, m_upper);
    m_bar->setValue(m_position);
}
