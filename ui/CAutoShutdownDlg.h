#pragma once

#include "CDialog.h"
#include "CProgressCtrl.h"

// The countdown before an unattended run quits: a bar that empties in 150 steps of
// 100 ms, after which the dialog ends itself with IDOK. OK ends it with IDOK at
// once; Cancel, Escape and Close end it with IDCANCEL. What follows is the caller's choice.
class CAutoShutdownDlg final : public CDialog {
    Q_OBJECT

public:
    static constexpr int kSteps = 150;
    static constexpr int kStepMs = 100;

    explicit CAutoShutdownDlg(QWidget* parent = nullptr);

    // One step of the countdown; the id is not examined.
    void OnTimer(unsigned id) override;

    const CProgressCtrl& progress() const { return m_progress; }

protected:
    bool OnInitDialog() override;
    void OnCancel() override;

private:
    CProgressCtrl m_progress;
};
