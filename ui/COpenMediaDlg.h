#pragma once

#include "CDialog.h"

#include <string>

class QLineEdit;

// Asks for the URL of a clip, stream or playlist, typed or chosen with Browse.
// After DoModal() returns IDOK, m_url holds the box's text exactly as entered.
class COpenMediaDlg final : public CDialog {
    Q_OBJECT

public:
    // The file chooser's filter: display texts and patterns.
    static constexpr char kBrowseFilter[] =
        "Media Playlist (*.wpl, *.asx)|*.wpl;*.asx|Windows Media (*.asf, *.wmv)|*.asf; *.wmv|All Files (*.*)|*.*||";
    static constexpr char kBrowseFileName[] = "playlist.wpl";

    explicit COpenMediaDlg(QWidget* parent = nullptr);

    std::string m_url; // UTF-8

    // Runs the file chooser; a chosen file's full path replaces the box's text.
    void OnBrowse();

protected:
    void OnOK() override;
    void OnCommand(int id) override;

private:
    // true: the box's text into m_url; false: m_url into the box.
    void UpdateData(bool saveAndValidate);

    QLineEdit* m_urlEdit;
};
