#include "CAboutDlg.h"
#include "ModalDriver.h"
#include "Resource.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

TEST(CAboutDlg, ShowsIconNameAndVersionWithOkFocused)
{
    CAboutDlg dialog;
    QWidget* focus = nullptr;
    ModalDriver<CAboutDlg> driver([&](CAboutDlg*) {
        focus = QApplication::focusWidget();
        QTest::keyClick(focus, Qt::Key_Return);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("About Zephyrscope"));
    ASSERT_EQ(dialog.controls().size(), 3u);
    auto* icon = qobject_cast<QLabel*>(dialog.controls()[0]);
    auto* name = qobject_cast<QLabel*>(dialog.controls()[1]);
    ASSERT_NE(icon, nullptr);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(icon->pixmap().size(), QSize(32, 32));
    EXPECT_EQ(name->text(), QStringLiteral("Zephyrscope Version 2.0"));
    EXPECT_EQ(CDialog::controlId(icon), IDC_STATIC);
    EXPECT_EQ(CDialog::controlId(name), IDC_STATIC);
    auto* ok = qobject_cast<QPushButton*>(dialog.GetDlgItem(IDOK));
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), QStringLiteral("OK"));
    EXPECT_TRUE(ok->isDefault());
    EXPECT_EQ(focus, ok);
}

TEST(CAboutDlg, EscapeAndCloseEndWithCancel)
{
    for (bool escape : {true, false}) {
        CAboutDlg dialog;
        ModalDriver<CAboutDlg> driver([escape](CAboutDlg* d) {
            if (escape)
                QTest::keyClick(d, Qt::Key_Escape);
            else
                d->close();
        });
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    }
}
