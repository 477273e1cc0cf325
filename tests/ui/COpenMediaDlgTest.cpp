#include "COpenMediaDlg.h"
#include "ModalDriver.h"
#include "Resource.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <vector>

namespace {

QLineEdit* urlBox(COpenMediaDlg* d)
{
    return qobject_cast<QLineEdit*>(d->GetDlgItem(IDC_URL));
}

} // namespace

TEST(COpenMediaDlg, TemplateGivesTitleTextsIdsTabOrderAndFocusOnOk)
{
    COpenMediaDlg dialog;
    std::vector<int> ids;
    std::vector<QWidget*> tabOrder;
    ModalDriver<COpenMediaDlg> driver([&](COpenMediaDlg* d) {
        for (QWidget* control : d->controls())
            ids.push_back(CDialog::controlId(control));
        tabOrder.push_back(QApplication::focusWidget());
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            tabOrder.push_back(QApplication::focusWidget());
        }
        d->EndDialog(IDCANCEL);
    });
    dialog.DoModal();
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Open"));
    EXPECT_EQ(ids, (std::vector<int>{IDOK, IDCANCEL, IDC_URL, IDC_URL_PROMPT, IDC_BROWSE}));
    EXPECT_EQ(qobject_cast<QLabel*>(dialog.GetDlgItem(IDC_URL_PROMPT))->text(),
              QStringLiteral("Please Input the URL of the media clip:"));
    EXPECT_EQ(qobject_cast<QPushButton*>(dialog.GetDlgItem(IDC_BROWSE))->text(), QStringLiteral("Browse"));
    EXPECT_TRUE(qobject_cast<QPushButton*>(dialog.GetDlgItem(IDOK))->isDefault());
    EXPECT_EQ(tabOrder, (std::vector<QWidget*>{dialog.GetDlgItem(IDOK), dialog.GetDlgItem(IDCANCEL),
                                               dialog.GetDlgItem(IDC_URL), dialog.GetDlgItem(IDC_BROWSE),
                                               dialog.GetDlgItem(IDOK)}));
}

TEST(COpenMediaDlg, OkKeepsTheTextExactlyAsTyped)
{
    COpenMediaDlg dialog;
    ModalDriver<COpenMediaDlg> driver([](COpenMediaDlg* d) {
        QTest::keyClicks(urlBox(d), QStringLiteral("  http://127.0.0.1:8080/a b.asx\t"));
        QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.m_url, "  http://127.0.0.1:8080/a b.asx");
}

TEST(COpenMediaDlg, OkWithAnEmptyBoxGivesAnEmptyUrl)
{
    COpenMediaDlg dialog;
    ModalDriver<COpenMediaDlg> driver([](COpenMediaDlg* d) { QTest::keyClick(d->GetDlgItem(IDOK), Qt::Key_Return); });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.m_url, "");
}

TEST(COpenMediaDlg, CancelAndEscapeDiscardTheText)
{
    for (bool escape : {false, true}) {
        COpenMediaDlg dialog;
        ModalDriver<COpenMediaDlg> driver([escape](COpenMediaDlg* d) {
            QTest::keyClicks(urlBox(d), QStringLiteral("typed"));
            if (escape)
                QTest::keyClick(d, Qt::Key_Escape);
            else
                QTest::mouseClick(d->GetDlgItem(IDCANCEL), Qt::LeftButton);
        });
        EXPECT_EQ(dialog.DoModal(), IDCANCEL);
        EXPECT_EQ(dialog.m_url, "");
    }
}

class BrowseTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        m_previousDir = QDir::currentPath();
        QDir::setCurrent(m_dir.path());
    }
    void TearDown() override { QDir::setCurrent(m_previousDir); }

    QTemporaryDir m_dir;
    QString m_previousDir;
};

TEST_F(BrowseTest, ChosenFileFillsTheBoxAndTheDialogStaysOpen)
{
    const QString clip = m_dir.filePath(QStringLiteral("clip.wmv"));
    QFile(clip).open(QIODevice::WriteOnly);

    COpenMediaDlg dialog;
    QStringList filtersShown;
    QString initialName;
    QString boxAfterBrowse;
    bool stillOpen = false;
    ModalDriver<COpenMediaDlg> driver([&](COpenMediaDlg* d) {
        QTest::keyClicks(urlBox(d), QStringLiteral("replaced"));
        ModalDriver<QFileDialog> chooser([&](QFileDialog* f) {
            auto* types = f->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            if (types)
                for (int i = 0; i < types->count(); ++i)
                    filtersShown << types->itemText(i);
            auto* name = f->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            initialName = name->text();
            name->setText(clip);
            QTest::keyClick(name, Qt::Key_Return);
        });
        QTest::mouseClick(d->GetDlgItem(IDC_BROWSE), Qt::LeftButton);
        EXPECT_TRUE(chooser.acted());
        boxAfterBrowse = urlBox(d)->text();
        stillOpen = d->isVisible() && !d->isEnded();
        QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(filtersShown, (QStringList{QStringLiteral("Media Playlist (*.wpl, *.asx)"),
                                         QStringLiteral("Windows Media (*.asf, *.wmv)"),
                                         QStringLiteral("All Files (*.*)")}));
    EXPECT_EQ(initialName, QStringLiteral("playlist.wpl"));
    EXPECT_EQ(boxAfterBrowse, clip);
    EXPECT_TRUE(stillOpen);
    EXPECT_EQ(dialog.m_url, clip.toStdString());
}

TEST_F(BrowseTest, NameOfAFileThatDoesNotExistIsTaken)
{
    COpenMediaDlg dialog;
    ModalDriver<COpenMediaDlg> driver([&](COpenMediaDlg* d) {
        ModalDriver<QFileDialog> chooser([&](QFileDialog* f) {
            // The initial name is accepted as it is, though no such file exists.
            QTest::keyClick(f->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")), Qt::Key_Return);
        });
        QTest::mouseClick(d->GetDlgItem(IDC_BROWSE), Qt::LeftButton);
        QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), IDOK);
    EXPECT_EQ(dialog.m_url, m_dir.filePath(QStringLiteral("playlist.wpl")).toStdString());
}

TEST_F(BrowseTest, CancelledChooserLeavesTheBoxUnchanged)
{
    COpenMediaDlg dialog;
    QString boxAfterBrowse;
    ModalDriver<COpenMediaDlg> driver([&](COpenMediaDlg* d) {
        QTest::keyClicks(urlBox(d), QStringLiteral("rtsp://127.0.0.1/keep"));
        ModalDriver<QFileDialog> chooser([](QFileDialog* f) { f->reject(); });
        QTest::mouseClick(d->GetDlgItem(IDC_BROWSE), Qt::LeftButton);
        boxAfterBrowse = urlBox(d)->text();
        QTest::mouseClick(d->GetDlgItem(IDCANCEL), Qt::LeftButton);
    });
    EXPECT_EQ(dialog.DoModal(), IDCANCEL);
    EXPECT_EQ(boxAfterBrowse, QStringLiteral("rtsp://127.0.0.1/keep"));
}

TEST(COpenMediaDlg, EveryRunStartsWithAnEmptyBox)
{
    for (int run = 0; run < 2; ++run) {
        COpenMediaDlg dialog;
        QString atStart = QStringLiteral("unread");
        ModalDriver<COpenMediaDlg> driver([&](COpenMediaDlg* d) {
            atStart = urlBox(d)->text();
            QTest::keyClicks(urlBox(d), QStringLiteral("first run"));
            QTest::mouseClick(d->GetDlgItem(IDOK), Qt::LeftButton);
        });
        dialog.DoModal();
        EXPECT_EQ(atStart, QString());
    }
}
