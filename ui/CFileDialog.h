#pragma once

#include <QStringList>

#include <string>

class QWidget;

// The platform's file chooser, set up from a filter text of display texts and
// pattern lists ("Text|*.a;*.b|...||") and an initial file name. Always Qt's own
// dialog, so it looks and behaves the same on every desktop and under test.
class CFileDialog {
public:
    static constexpr unsigned OFN_OVERWRITEPROMPT = 0x2;
    static constexpr unsigned OFN_HIDEREADONLY = 0x4;

    // openFileDialog false asks for a file to save. defaultExtension may be empty.
    CFileDialog(bool openFileDialog, const std::string& defaultExtension, const std::string& fileName, unsigned flags,
                const std::string& filter, QWidget* parent = nullptr);

    // Runs the chooser modally; IDOK when a file was chosen, else IDCANCEL.
    int DoModal();
    // The full path of the chosen file (UTF-8).
    std::string GetPathName() const { return m_pathName; }

    // The filter's entries as Qt name filters. Each shows its display text as given,
    // and matches its patterns ("*.*" standing for every file).
    static QStringList nameFilters(const std::string& filter);

private:
    bool m_open;
    std::string m_defaultExtension;
    std::string m_fileName;
    unsigned m_flags;
    std::string m_filter;
    QWidget* m_parent;
    std::string m_pathName;
};
