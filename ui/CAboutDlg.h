#pragma once

#include "CDialog.h"

// The About box: the program's icon, its name and version, and OK.
class CAboutDlg final : public CDialog {
    Q_OBJECT

public:
    // parent: the window that owns the box (the main dialog).
    explicit CAboutDlg(QWidget* parent = nullptr);
};
