#include "CAutoShutdownDlg.h"

#include "Resource.h"

#include <QProgressBar>

CAutoShutdownDlg::CAutoShutdownDlg(QWidget* parent)
    : CDialog(QStringLiteral("Auto Shutdown..."), QSize(243, 66), parent)
{
    addButton(IDOK, QStringLiteral("OK"), QRect(47, 45, 50, 14), true);
    addButton(IDCANCEL, QStringLiteral("Cancel"), QRect(143, 45, 50, 14));
    addStatic(IDC_STATIC, QStringLiteral("The Zephyrscope will be shutdown autometically in 15 secs"),
              QRect(7, 7, 192, 8));
    auto* bar = new QProgressBar(this);
    bar->setTextVisible(false);
    addControl(IDC_PROGRESS, bar, QRect(31, 26, 188, 9), false);
    m_progress.Attach(bar);
}

bool CAutoShutdownDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    SetTimer(ID_TIMER_COUNTDOWN, kStepMs);
    m_progress.SetRange(0, kSteps);
    m_progress.SetPos(kSteps);
    return true;
}

void CAutoShutdownDlg::OnTimer(unsigned /*id*/)
{
    // The bar's position is the count: it reaches 0 at step 150, and the step after
    // that finds it empty and ends the countdown.
    const int position = m_progress.GetPos();
    if (m_progress.SetPos(position - 1) == 0) {
        KillTimer(ID_TIMER_COUNTDOWN);
        OnOK();
    }
}

void CAutoShutdownDlg::OnCancel()
{
    KillTimer(ID_TIMER_COUNTDOWN);
    CDialog::OnCancel();
}
