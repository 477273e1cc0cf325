#include "CAboutDlg.h"
#include "COpenMediaDlg.h"
#include "MainDialogFixture.h"
#include "Protocol.h"
#include "Resource.h"

#include <QLineEdit>
#include <QMenu>
#include <QTest>

TEST_F(MainDialogTest, TemplateGivesTitleControlsIdsTabOrderAndFirstFocus)
{
    std::vector<int> ids;
    std::vector<QString> texts;
    std::vector<QWidget*> tabOrder;
    QWidget* firstFocus = nullptr;
    bool openIsDefaultAwayFromButtons = false;
    bool fpsReadOnly = false;
    run([&](CZephyrscopeDlg& d) {
        EXPECT_EQ(d.windowTitle(), QStringLiteral("Zephyrscope V2.0"));
        for (QWidget* control : d.controls()) {
            ids.push_back(CDialog::controlId(control));
            if (auto* b = qobject_cast<QPushButton*>(control))
                texts.push_back(b->text());
        }
        firstFocus = QApplication::focusWidget();
        tabOrder.push_back(firstFocus);
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            tabOrder.push_back(QApplication::focusWidget());
        }
        d.GetDlgItem(IDC_FPS)->setFocus();
        openIsDefaultAwayFromButtons = button(d, IDC_OPEN)->isDefault();
        fpsReadOnly = qobject_cast<QLineEdit*>(d.GetDlgItem(IDC_FPS))->isReadOnly();
        EXPECT_EQ(d.GetDlgItem(IDOK)->geometry(), d.dialogUnits().toPixels(QRect(263, 28, 50, 14)));
        EXPECT_EQ(d.GetDlgItem(IDC_PLAYER)->geometry(), d.dialogUnits().toPixels(QRect(7, 7, 250, 186)));
        EXPECT_EQ(d.size(), d.dialogUnits().toPixels(QSize(320, 200)));
        d.quit(0);
    });
    EXPECT_EQ(ids, (std::vector<int>{IDOK, IDCANCEL, IDC_PLAYER, IDC_OPEN, IDC_STOP, IDC_FPS, IDC_STATIC, IDC_ABOUT}));
    EXPECT_EQ(texts, (std::vector<QString>{"Play", "Quit", "Open", "Stop", "About"}));
    EXPECT_EQ(firstFocus, dialog->GetDlgItem(IDOK));
    EXPECT_EQ(tabOrder,
              (std::vector<QWidget*>{dialog->GetDlgItem(IDOK), dialog->GetDlgItem(IDCANCEL),
                                     dialog->GetDlgItem(IDC_PLAYER), dialog->GetDlgItem(IDC_OPEN),
                                     dialog->GetDlgItem(IDC_STOP), dialog->GetDlgItem(IDC_FPS),
                                     dialog->GetDlgItem(IDC_ABOUT), dialog->GetDlgItem(IDOK)}));
    EXPECT_TRUE(openIsDefaultAwayFromButtons);
    EXPECT_TRUE(fpsReadOnly);
    EXPECT_EQ(videoArea, dialog->GetDlgItem(IDC_PLAYER));
}

TEST_F(MainDialogTest, PlayStartsOneSampleTimerAndPlayAgainRestartsIt)
{
    run([&](CZephyrscopeDlg& d) {
        EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
        click(d, IDOK);
        const QTimer* timer = d.timer(ID_TIMER_SAMPLE);
        ASSERT_NE(timer, nullptr);
        EXPECT_TRUE(timer->isActive());
        EXPECT_EQ(timer->interval(), 500);
        EXPECT_EQ(tail(player->journal, 3), (std::vector<std::string>{"controls", "controls.play", "release controls"}));

        EXPECT_TRUE(QTest::qWaitFor([&] { return timer->remainingTime() >= 0 && timer->remainingTime() < 400; }, 3000));
        click(d, IDOK);
        EXPECT_EQ(d.timer(ID_TIMER_SAMPLE), timer);
        EXPECT_TRUE(timer->isActive());
        EXPECT_GE(timer->remainingTime(), 450);
        d.quit(0);
    });
}

TEST_F(MainDialogTest, SampleTicksWriteLinesAndShowTheFrameRate)
{
    const std::string log = path("ticks.dat");
    run(
        [&](CZephyrscopeDlg& d) {
            player->net.frameRate = 2500;
            player->net.protocol = zephyrscope::protocolNamed("RTSPU");
            player->state = 3;
            EXPECT_TRUE(QTest::qWaitFor([&] { return lineCount(log) >= 3; }, 5000));
            EXPECT_EQ(qobject_cast<QLineEdit*>(d.GetDlgItem(IDC_FPS))->text(), QStringLiteral("25.00"));
            d.quit(0);
        },
        {"zephyrscope", "rtsp://127.0.0.1:1/x", log});
    const QList<QByteArray> lines = contents(log).split('\n');
    ASSERT_GE(lines.size(), 3);
    EXPECT_EQ(lines[0] + '\n', QByteArray::fromStdString(kHeader));
    const QList<QByteArray> fields = lines[1].split('\t');
    ASSERT_EQ(fields.size(), 18) << lines[1].toStdString();
    EXPECT_EQ(fields[8], "25.00");
    EXPECT_EQ(fields[15], "RTSPU");
    EXPECT_EQ(fields[17], "Playing");
}

TEST_F(MainDialogTest, StopThenPlayResumesTheSameLogWithoutASecondHeader)
{
    const std::string log = path("resume.dat");
    run(
        [&](CZephyrscopeDlg& d) {
            click(d, IDOK);
            d.OnTimer(ID_TIMER_SAMPLE);
            click(d, IDC_STOP);
            EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
            EXPECT_EQ(tail(player->journal, 3), (std::vector<std::string>{"controls", "controls.stop", "release controls"}));
            click(d, IDOK);
            EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
            d.OnTimer(ID_TIMER_SAMPLE);
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    const QByteArray text = contents(log);
    EXPECT_EQ(text.count("UTCTime"), 1);
    EXPECT_EQ(text.count('\n'), 3);
}

// Quit, Escape and the window's Close each take the quit path.

class QuitPathTest : public MainDialogTest, public ::testing::WithParamInterface<int> {};

TEST_P(QuitPathTest, StopsPlayerStopsTimerClosesLogAndEndsDialog)
{
    const std::string log = path("quit.dat");
    bool timerWasRunning = false;
    const int result = run(
        [&](CZephyrscopeDlg& d) {
            timerWasRunning = d.isTimerRunning(ID_TIMER_SAMPLE);
            player->journal.clear();
            switch (GetParam()) {
            case 0:
                click(d, IDCANCEL);
                break;
            case 1:
                QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
                break;
            default:
                d.close();
                break;
            }
        },
        {"zephyrscope", "u", log});
    EXPECT_TRUE(timerWasRunning);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_TRUE(dialog->isEnded());
    EXPECT_EQ(dialog->exitStatus(), 0);
    EXPECT_EQ(player->journal, (std::vector<std::string>{"controls", "controls.stop", "release controls"}));
    EXPECT_FALSE(dialog->isTimerRunning(ID_TIMER_SAMPLE));
    EXPECT_FALSE(dialog->logFile().isOpen());
    EXPECT_TRUE(unlocked(log));
    EXPECT_EQ(contents(log).toStdString(), kHeader);
}

INSTANTIATE_TEST_SUITE_P(QuitEscapeClose, QuitPathTest, ::testing::Values(0, 1, 2));

TEST_F(MainDialogTest, QuitWithoutSampleTimerLeavesHeaderAndMediaBlock)
{
    run([&](CZephyrscopeDlg& d) {
        player->media = {"http://127.0.0.1/clip.mp4", "00:10", "clip", 320, 240, 10.0};
        player->eventSink->OnOpenStateChange(13);
        click(d, IDCANCEL);
    });
    EXPECT_EQ(contents(path(dialog->logFileName().c_str())).toStdString(),
              kHeader + "clip\nhttp://127.0.0.1/clip.mp4\nDuration: 00:10 (10.00 secs)\tResulation: 320*240\n");
}

TEST_F(MainDialogTest, OpenWithOkPutsTheUrlAsTypedAndStartsSampling)
{
    run([&](CZephyrscopeDlg& d) {
        std::string boxAtStart = "not read";
        ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
            auto* edit = qobject_cast<QLineEdit*>(o->GetDlgItem(IDC_URL));
            boxAtStart = edit->text().toStdString();
            QTest::keyClicks(edit, QStringLiteral(" rtsp://127.0.0.1:8554/live "));
            QTest::mouseClick(o->GetDlgItem(IDOK), Qt::LeftButton);
        });
        click(d, IDC_OPEN);
        EXPECT_TRUE(open.acted());
        EXPECT_EQ(boxAtStart, "");
        EXPECT_EQ(player->urls, std::vector<std::string>{" rtsp://127.0.0.1:8554/live "});
        EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        d.quit(0);
    });
}

TEST_F(MainDialogTest, OpenWithCancelChangesNothing)
{
    run([&](CZephyrscopeDlg& d) {
        click(d, IDOK);
        ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
            QTest::keyClicks(o->GetDlgItem(IDC_URL), QStringLiteral("discarded"));
            QTest::mouseClick(o->GetDlgItem(IDCANCEL), Qt::LeftButton);
        });
        click(d, IDC_OPEN);
        EXPECT_TRUE(open.acted());
        EXPECT_TRUE(player->urls.empty());
        EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        d.quit(0);
    });
}

TEST_F(MainDialogTest, AboutOpensFromTheButtonAndFromTheSystemMenu)
{
    int aboutBoxes = 0;
    const auto answer = [&](CAboutDlg* a) {
        ++aboutBoxes;
        QTest::mouseClick(a->GetDlgItem(IDOK), Qt::LeftButton);
    };
    QList<QAction*> menuEntries;
    run([&](CZephyrscopeDlg& d) {
        {
            ModalDriver<CAboutDlg> about(answer);
            click(d, IDC_ABOUT);
        }
        QMenu* menu = d.GetSystemMenu();
        menuEntries = menu->actions();
        {
            ModalDriver<CAboutDlg> about(answer);
            // The menu key works in the active window, which the main dialog is again
            // once the first box has closed.
            EXPECT_TRUE(QTest::qWaitForWindowActive(&d, 3000));
            QTest::keyClick(&d, Qt::Key_Space, Qt::AltModifier);
            EXPECT_TRUE(menu->isVisible());
            QAction* entry = menu->actions().constLast();
            QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
        }
        {
            // Every id from 0x0010 to 0x001F is the About command.
            ModalDriver<CAboutDlg> about(answer);
            d.OnSysCommand(0x001F, 0);
        }
        d.quit(0);
    });
    EXPECT_EQ(aboutBoxes, 3);
    ASSERT_EQ(menuEntries.size(), 3);
    EXPECT_EQ(menuEntries[0]->data().toUInt(), SC_CLOSE);
    EXPECT_TRUE(menuEntries[1]->isSeparator());
    EXPECT_EQ(menuEntries[2]->text(), QStringLiteral("&About Zephyrscope..."));
    EXPECT_EQ(menuEntries[2]->data().toUInt(), IDM_ABOUTBOX);
}

TEST_F(MainDialogTest, SystemMenuCloseTakesTheQuitPath)
{
    run([&](CZephyrscopeDlg& d) {
        player->journal.clear();
        d.OnSysCommand(SC_CLOSE, 0);
    });
    EXPECT_EQ(player->journal, (std::vector<std::string>{"controls", "controls.stop", "release controls"}));
    EXPECT_EQ(dialog->exitStatus(), 0);
}

TEST(MinimizedIcon, IsCentredWithTheOddPixelRightAndBelowTruncatingTowardZero)
{
    const QSize icon(32, 32);
    EXPECT_EQ(CZephyrscopeDlg::minimizedIconOrigin(QSize(36, 36), icon), QPoint(2, 2));
    EXPECT_EQ(CZephyrscopeDlg::minimizedIconOrigin(QSize(37, 37), icon), QPoint(3, 3));
    EXPECT_EQ(CZephyrscopeDlg::minimizedIconOrigin(QSize(0, 0), icon), QPoint(-15, -15));
}

TEST_F(MainDialogTest, WindowIconIsTheProgramIconInBothSizes)
{
    run([&](CZephyrscopeDlg& d) {
        EXPECT_FALSE(d.windowIcon().isNull());
        const QList<QSize> sizes = d.windowIcon().availableSizes();
        EXPECT_TRUE(sizes.contains(QSize(32, 32)));
        EXPECT_TRUE(sizes.contains(QSize(16, 16)));
        d.quit(0);
    });
}

TEST_F(MainDialogTest, SamplingGoesOnBehindTheAboutBox)
{
    const std::string log = path("behind.dat");
    int linesWhenOpened = 0;
    int linesBeforeClosing = 0;
    run(
        [&](CZephyrscopeDlg& d) {
            ModalDriver<CAboutDlg> about([&](CAboutDlg* a) {
                linesWhenOpened = lineCount(log);
                EXPECT_TRUE(QTest::qWaitFor([&] { return lineCount(log) > linesWhenOpened; }, 5000));
                linesBeforeClosing = lineCount(log);
                QTest::keyClick(a, Qt::Key_Escape);
            });
            click(d, IDC_ABOUT);
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    EXPECT_GT(linesBeforeClosing, linesWhenOpened);
}

TEST_F(MainDialogTest, EnterAwayFromTheButtonsPressesOpen)
{
    bool opened = false;
    run([&](CZephyrscopeDlg& d) {
        ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
            opened = true;
            o->EndDialog(IDCANCEL);
        });
        d.GetDlgItem(IDC_FPS)->setFocus();
        QTest::keyClick(d.GetDlgItem(IDC_FPS), Qt::Key_Return);
        d.quit(0);
    });
    EXPECT_TRUE(opened);
}
