#pragma once

class QProgressBar;

// A progress bar as the countdown drives it: a position kept within its range,
// where setting a position returns the one before. QProgressBar alone ignores
// values outside its range instead of limiting them, so the position is kept here.
class CProgressCtrl {
public:
    // Binds the wrapper to its bar; the dialog owns the bar.
    void Attach(QProgressBar* bar);

    // PBM_SETRANGE: the position is limited to the new range.
    void SetRange(int lower, int upper);
    // PBM_SETPOS: sets the position, limited to the range; returns the previous position.
    int SetPos(int position);
    // PBM_GETPOS.
    int GetPos() const { return m_position; }

    int lower() const { return m_lower; }
    int upper() const { return m_upper; }

private:
    void show();

    QProgressBar* m_bar = nullptr;
    // The platform's bar starts with the range 0..100 at position 0.
    int m_lower = 0;
    int m_upper = 100;
    int m_position = 0;
};
