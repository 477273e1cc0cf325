#pragma once

#include "RunTimer.h"

class CDialog;

// One of a dialog's timers, by its id, as a run's timer: each expiry reaches the
// dialog's OnTimer(id). Stops when the dialog ends. UI thread only.
class DialogTimer final : public zephyrscope::RunTimer {
public:
    // dialog must outlive the timer.
    DialogTimer(CDialog& dialog, unsigned id);

    void start(std::int32_t periodMs) override;
    void stop() override;
    bool isActive() const override;

private:
    CDialog& m_dialog;
    unsigned m_id;
};
