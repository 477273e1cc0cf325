// The main dialog with the real player, driven the way a user drives it: many
// Stop/Play cycles, and Open of a new URL while one plays.
#include "BusyMainLoop.h"
#include "CAutoShutdownDlg.h"
#include "CapturedStderr.h"
#include "CZephyrscopeDlg.h"
#include "COpenMediaDlg.h"
#include "LogCheck.h"
#include "MediaFactory.h"
#include "ModalDriver.h"
#include "PlayState.h"
#include "PlayerFactory.h"
#include "Resource.h"
#include "SystemClock.h"

#include <QDir>
#include <QLineEdit>
#include <QTimer>
#include <QTest>

#include <gtest/gtest.h>

using namespace zephyrscope;
using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

constexpr int kStateTimeoutMs = 15000; // a local clip opens and plays well within this

class FaultDialog : public ::testing::Test {
protected:
    // Runs the dialog with the real player on the given command line; act runs
    // inside its loop and must end it.
    int run(std::vector<std::string> arguments, const std::function<void(CZephyrscopeDlg&)>& act)
    {
        dialog = std::make_unique<CZephyrscopeDlg>(
            [this](QWidget* area) {
                auto made = CreatePlayer(area);
                player = made.get();
                return made;
            },
            std::move(arguments), clock);
        ModalDriver<CZephyrscopeDlg> driver([&](CZephyrscopeDlg* d) {
            act(*d);
            if (!d->isEnded()) {
                ADD_FAILURE() << "the main dialog is still running";
                d->quit(99);
            }
        });
        const int result = dialog->DoModal();
        EXPECT_TRUE(driver.acted());
        return result;
    }

    bool waitForState(std::int32_t state)
    {
        return QTest::qWaitFor([&] { return player->playState() == state; }, kStateTimeoutMs);
    }

    static void click(CZephyrscopeDlg& d, int id) { QTest::mouseClick(d.GetDlgItem(id), Qt::LeftButton); }

    MediaFactory media;
    SystemClock clock;
    std::unique_ptr<CZephyrscopeDlg> dialog;
    Player* player = nullptr;
};

} // namespace

TEST_F(FaultDialog, FiftyStopPlayCyclesKeepPlayingAndTheLogWhole)
{
    constexpr int kCycles = 50;
    MediaFactory::Clip clip;
    clip.seconds = 10.0;
    const fs::path file = media.make("clip.mkv", clip);
    const fs::path log = media.dir() / "cycles.dat";
    CapturedStderr errors;
    int cycles = 0;
    run({"zephyrscope", file.string(), log.string()}, [&](CZephyrscopeDlg& d) {
        ASSERT_TRUE(waitForState(kPlayStatePlaying));
        for (; cycles < kCycles && !d.isEnded(); ++cycles) {
            click(d, IDC_STOP);
            ASSERT_TRUE(waitForState(kPlayStateStopped)) << "cycle " << cycles;
            EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
            click(d, IDOK);
            ASSERT_TRUE(waitForState(kPlayStatePlaying)) << "cycle " << cycles;
            EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        }
        // A little steady play after the last start, sampled.
        const auto size = fs::file_size(log);
        EXPECT_TRUE(QTest::qWaitFor([&] { return fs::file_size(log) > size + 100; }, 5000));
        EXPECT_FALSE(d.isEnded());
        d.quit(0);
    });
    EXPECT_EQ(cycles, kCycles);
    EXPECT_EQ(dialog->exitStatus(), 0);
    EXPECT_EQ(errors.count("Cannot "), 0) << errors.text();
    const auto written = ExpectWellFormedLog(log);
    ASSERT_GE(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip");
    EXPECT_TRUE(written.samples.back().isPlaying());
}

TEST_F(FaultDialog, OpenOfANewUrlWhileOnePlaysReplacesItAndLogsBoth)
{
    MediaFactory::Clip first;
    first.seconds = 10.0;
    MediaFactory::Clip second;
    second.seconds = 10.0;
    second.width = 640;
    second.height = 360;
    const fs::path a = media.make("first.mkv", first);
    const fs::path b = media.make("second.mkv", second);
    const fs::path log = media.dir() / "open.dat";
    CapturedStderr errors;
    run({"zephyrscope", a.string(), log.string()}, [&](CZephyrscopeDlg& d) {
        ASSERT_TRUE(waitForState(kPlayStatePlaying));
        // The first clip's block is in the log: its events have reached the dialog.
        // (Opening before they have is the busy-loop case below.)
        ASSERT_TRUE(QTest::qWaitFor([&] { return FileText(log).find("first.mkv\n") != std::string::npos; },
                                    kStateTimeoutMs));
        ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
            QTest::keyClicks(o->GetDlgItem(IDC_URL), QString::fromStdString(b.string()));
            QTest::mouseClick(o->GetDlgItem(IDOK), Qt::LeftButton);
        });
        click(d, IDC_OPEN);
        EXPECT_TRUE(open.acted());
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return player->playState() == kPlayStatePlaying && player->currentMedia()->imageSourceWidth() == 640; },
            kStateTimeoutMs));
        // Sampled while the new clip plays.
        const auto size = fs::file_size(log);
        EXPECT_TRUE(QTest::qWaitFor([&] { return fs::file_size(log) > size + 100; }, 5000));
        EXPECT_FALSE(d.isEnded());
        d.quit(0);
    });
    EXPECT_EQ(errors.count("Cannot "), 0) << errors.text();
    const auto written = ExpectWellFormedLog(log);
    ASSERT_EQ(written.media.size(), 2u) << FileText(log);
    EXPECT_EQ(written.media[0].name, "first") << FileText(log);
    EXPECT_EQ(written.media[1].name, "second");
    EXPECT_EQ(written.media[1].width, 640);
    EXPECT_TRUE(written.samples.back().isPlaying());
}

TEST_F(FaultDialog, OpenWhileTheFirstClipsEventsWaitInABusyLoopLogsEachClipsOwnBlock)
{
    MediaFactory::Clip first;
    first.seconds = 10.0;
    MediaFactory::Clip second;
    second.seconds = 10.0;
    second.width = 640;
    second.height = 360;
    const fs::path a = media.make("first.mkv", first);
    const fs::path b = media.make("second.mkv", second);
    const fs::path log = media.dir() / "busy.dat";
    run({"zephyrscope", a.string(), log.string()}, [&](CZephyrscopeDlg& d) {
        {
            // The first clip opens and plays while the loop is busy, so its events
            // are still waiting when the user opens the second.
            BusyMainLoop busy;
            ASSERT_TRUE(waitForState(kPlayStatePlaying));
            ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
                QTest::keyClicks(o->GetDlgItem(IDC_URL), QString::fromStdString(b.string()));
                QTest::mouseClick(o->GetDlgItem(IDOK), Qt::LeftButton);
            });
            click(d, IDC_OPEN);
            EXPECT_TRUE(open.acted());
        }
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return player->playState() == kPlayStatePlaying && player->currentMedia()->imageSourceWidth() == 640; },
            kStateTimeoutMs));
        const auto size = fs::file_size(log);
        EXPECT_TRUE(QTest::qWaitFor([&] { return fs::file_size(log) > size + 100; }, 5000));
        d.quit(0);
    });
    // Each block describes its own clip: the first clip's open, delivered late,
    // must not describe the clip that replaced it.
    const auto written = ExpectWellFormedLog(log);
    ASSERT_GE(written.media.size(), 1u) << FileText(log);
    EXPECT_EQ(written.media.front().name, "first") << FileText(log);
    EXPECT_EQ(written.media.front().width, 320) << FileText(log);
    EXPECT_EQ(written.media.back().name, "second") << FileText(log);
    int secondBlocks = 0;
    for (const auto& block : written.media)
        secondBlocks += block.name == "second";
    EXPECT_EQ(secondBlocks, 1) << FileText(log);
}

TEST_F(FaultDialog, FailedOpenByHandOffersNoCountdown)
{
    const std::string missing = (media.dir() / "typo.mkv").string();
    CapturedStderr errors;
    bool countdownOffered = false;
    // Without a URL the log takes its default name in the current folder.
    const QString previousDir = QDir::currentPath();
    QDir::setCurrent(QString::fromStdString(media.dir().string()));
    run({"zephyrscope"}, [&](CZephyrscopeDlg& d) {
        // A countdown would run modally inside the failure's event: answer it and say so.
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (auto* countdown = qobject_cast<CAutoShutdownDlg*>(QApplication::activeModalWidget())) {
                countdownOffered = true;
                countdown->EndDialog(IDCANCEL);
            }
        });
        watch.start(10);
        ModalDriver<COpenMediaDlg> open([&](COpenMediaDlg* o) {
            QTest::keyClicks(o->GetDlgItem(IDC_URL), QString::fromStdString(missing));
            QTest::mouseClick(o->GetDlgItem(IDOK), Qt::LeftButton);
        });
        click(d, IDC_OPEN);
        EXPECT_TRUE(open.acted());
        EXPECT_TRUE(QTest::qWaitFor([&] { return errors.count("Cannot play") > 0; }, kStateTimeoutMs));
        QTest::qWait(1000); // where the countdown would have come
        EXPECT_FALSE(d.isEnded());
        d.quit(0);
    });
    QDir::setCurrent(previousDir);
    EXPECT_FALSE(countdownOffered);
    EXPECT_EQ(errors.count("Cannot play"), 1) << errors.text();
}
