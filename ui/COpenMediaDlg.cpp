#include "COpenMediaDlg.h"

#include "CFileDialog.h"
#include "Resource.h"

#include <QLineEdit>

COpenMediaDlg::COpenMediaDlg(QWidget* parent)
    : CDialog(QStringLiteral("Open"), QSize(356, 60), parent)
    , m_urlEdit(new QLineEdit(this))
{
    addButton(IDOK, QStringLiteral("OK"), QRect(102, 39, 50, 14), true);
    addButton(IDCANCEL, QStringLiteral("Cancel"), QRect(200, 39, 50, 14));
    addControl(IDC_URL, m_urlEdit, QRect(22, 22, 273, 14), true);
    addStatic(IDC_URL_PROMPT, QStringLiteral("Please Input the URL of the media clip:"), QRect(7, 7, 124, 8));
    addButton(IDC_BROWSE, QStringLiteral("Browse"), QRect(299, 22, 50, 14));
}

void COpenMediaDlg::OnCommand(int id)
{
    if (id == IDC_BROWSE)
        OnBrowse();
    else
        CDialog::OnCommand(id);
}

void COpenMediaDlg::OnOK()
{
    UpdateData(true);
    CDialog::OnOK();
}

void COpenMediaDlg::OnBrowse()
{
    CFileDialog dialog(true, std::string(), kBrowseFileName,
                       CFileDialog::OFN_HIDEREADONLY | CFileDialog::OFN_OVERWRITEPROMPT, kBrowseFilter, this);
    if (dialog.DoModal() != IDOK)
        return;
    m_url = dialog.GetPathName();
    UpdateData(false);
}

void COpenMediaDlg::UpdateData(bool saveAndValidate)
{
    if (saveAndValidate)
        m_url = m_urlEdit->text().toStdString();
    else
        m_urlEdit->setText(QString::fromStdString(m_url));
}
