#include "CAboutDlg.h"

#include "MainFrameIcon.h"
#include "Resource.h"
#include "Version.h"

#include <QLabel>

CAboutDlg::CAboutDlg(QWidget* parent)
    : CDialog(QStringLiteral("About Zephyrscope"), QSize(242, 55), parent)
{
    QLabel* icon = addStatic(IDC_STATIC, QString(), QRect(13, 10, 21, 20));
    icon->setPixmap(MainFrameIconImage(32));
    // An icon static takes the size of its icon.
    icon->resize(32, 32);
    QLabel* name = addStatic(IDC_STATIC, QStringLiteral("Zephyrscope Version " ZEPHYRSCOPE_VERSION), QRect(41, 10, 119, 8));
    name->setTextFormat(Qt::PlainText);
    addButton(IDOK, QStringLiteral("OK"), QRect(185, 7, 50, 14), true);
}
