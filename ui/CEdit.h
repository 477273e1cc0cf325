#pragma once

#include "TextDisplay.h"

class QLineEdit;

// An edit box bound to a dialog's control, through which the core shows text
// (the FPS box). The dialog owns the edit box.
class CEdit final : public zephyrscope::TextDisplay {
public:
    void Attach(QLineEdit* edit) { m_edit = edit; }
    QLineEdit* control() const { return m_edit; }

    // UTF-8 text; does nothing before Attach().
    void setText(const std::string& text) override;
    std::string text() const;

private:
    QLineEdit* m_edit = nullptr;
};
