#include "CAutoShutdownDlg.h"
#include "CapturedStderr.h"
#include "CommandLine.h"
#include "MainDialogFixture.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "Protocol.h"
#include "Resource.h"

#include <QRegularExpression>
#include <QTest>

#include <algorithm>
#include <sys/resource.h>

TEST_F(MainDialogTest, MediaEndedThenReadyRunsCountdownWhoseOkQuitsWithStatusZero)
{
    const std::string log = path("ended.dat");
    bool sampleTimerStoppedDuringCountdown = false;
    const int result = run(
        [&](CZephyrscopeDlg& d) {
            player->eventSink->OnPlayStateChange(3);
            player->eventSink->OnPlayStateChange(8);
            EXPECT_EQ(d.playbackValues().m_clipEnded, 1);
            EXPECT_EQ(d.playbackValues().m_restartClock, 1);
            ModalDriver<CAutoShutdownDlg> countdown([&](CAutoShutdownDlg* c) {
                sampleTimerStoppedDuringCountdown = !d.isTimerRunning(ID_TIMER_SAMPLE);
                QTest::mouseClick(c->GetDlgItem(IDOK), Qt::LeftButton);
            });
            player->eventSink->OnPlayStateChange(10);
            EXPECT_TRUE(countdown.acted());
        },
        {"zephyrscope", "clip.mp4", log});
    EXPECT_TRUE(sampleTimerStoppedDuringCountdown);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(dialog->exitStatus(), 0);
    EXPECT_FALSE(dialog->logFile().isOpen());
    EXPECT_TRUE(unlocked(log));
    EXPECT_EQ(tail(player->journal, 3), (std::vector<std::string>{"controls", "controls.stop", "release controls"}));
}

TEST_F(MainDialogTest, CancelledCountdownLeavesSamplingStoppedUntilPlayAndIsOfferedAgain)
{
    run([&](CZephyrscopeDlg& d) {
        click(d, IDOK);
        player->eventSink->OnPlayStateChange(8);
        {
            ModalDriver<CAutoShutdownDlg> countdown(
                [](CAutoShutdownDlg* c) { QTest::keyClick(c, Qt::Key_Escape); });
            player->eventSink->OnPlayStateChange(10);
            EXPECT_TRUE(countdown.acted());
        }
        EXPECT_FALSE(d.isEnded());
        EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
        click(d, IDOK);
        EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        ModalDriver<CAutoShutdownDlg> again(
            [](CAutoShutdownDlg* c) { QTest::mouseClick(c->GetDlgItem(IDOK), Qt::LeftButton); });
        player->eventSink->OnPlayStateChange(10);
        EXPECT_TRUE(again.acted());
    });
    EXPECT_EQ(dialog->exitStatus(), 0);
}

TEST_F(MainDialogTest, ReadyBeforeAnyClipEndedDoesNothing)
{
    run([&](CZephyrscopeDlg& d) {
        click(d, IDOK);
        player->eventSink->OnPlayStateChange(10);
        EXPECT_FALSE(d.isEnded());
        EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        d.quit(0);
    });
}

TEST_F(MainDialogTest, MediaErrorIsPrintedOnceAndTheFailureCountdownEndsWithStatusThree)
{
    CapturedStderr err;
    run(
        [&](CZephyrscopeDlg&) {
            player->eventSink->OnMediaError("http://127.0.0.1:9/none.mp4", "Connection refused");
            ModalDriver<CAutoShutdownDlg> countdown(
                [](CAutoShutdownDlg* c) { QTest::mouseClick(c->GetDlgItem(IDOK), Qt::LeftButton); });
            player->eventSink->OnPlayStateChange(10);
            EXPECT_TRUE(countdown.acted());
        },
        {"zephyrscope", "http://127.0.0.1:9/none.mp4", path("failed.dat")});
    EXPECT_EQ(err.count("Cannot play 'http://127.0.0.1:9/none.mp4': Connection refused\n"), 1);
    EXPECT_EQ(dialog->exitStatus(), 3);
}

TEST_F(MainDialogTest, LogInMissingFolderIsReportedAndEndsAtOnceWithStatusTwo)
{
    CapturedStderr err;
    const std::string log = path("missing/run.dat");
    makeDialog({"zephyrscope", "clip.mp4", log});
    // Only reached if the dialog wrongly opens.
    ModalDriver<CZephyrscopeDlg> guard([](CZephyrscopeDlg* d) { d->quit(99); }, 3000);
    EXPECT_EQ(dialog->DoModal(), IDCANCEL);
    EXPECT_FALSE(guard.acted());
    EXPECT_EQ(dialog->exitStatus(), 2);
    EXPECT_EQ(err.count("Cannot create log file '" + log + "': No such file or directory\n"), 1);
    // The log comes first: the player was never given the URL, nothing was sampled.
    EXPECT_TRUE(player->urls.empty());
    EXPECT_EQ(err.count("Cannot write log file"), 0);
    EXPECT_EQ(tail(player->journal, 3), (std::vector<std::string>{"controls", "controls.stop", "release controls"}));
    EXPECT_FALSE(dialog->isTimerRunning(ID_TIMER_SAMPLE));
}

TEST_F(MainDialogTest, LogHeldByAnotherRunIsLeftUntouchedAndEndsWithStatusTwo)
{
    const std::string log = path("held.dat");
    zephyrscope::LogFile otherRun;
    otherRun.create(log);
    otherRun.append("earlier sample\n");

    CapturedStderr err;
    makeDialog({"zephyrscope", "clip.mp4", log});
    ModalDriver<CZephyrscopeDlg> guard([](CZephyrscopeDlg* d) { d->quit(99); }, 3000);
    dialog->DoModal();
    EXPECT_FALSE(guard.acted());
    EXPECT_EQ(dialog->exitStatus(), 2);
    EXPECT_EQ(err.count("Cannot create log file '" + log + "'"), 1);
    EXPECT_EQ(contents(log).toStdString(), kHeader + "earlier sample\n");
}

TEST_F(MainDialogTest, ThreeArgumentsShowBothMessagesAndLogUnderTheDefaultName)
{
    CapturedStderr err;
    run([&](CZephyrscopeDlg& d) {
        EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
        d.quit(0);
    },
        {"zephyrscope", "a.wpl", "b.dat", "c"});
    const std::string text = err.text();
    const auto usage = text.find(zephyrscope::kCommandLineUsageError);
    const auto ignored = text.find(zephyrscope::kCommandLineIgnored);
    ASSERT_NE(usage, std::string::npos);
    ASSERT_NE(ignored, std::string::npos);
    EXPECT_LT(usage, ignored);
    EXPECT_TRUE(player->urls.empty());
    const QString name = QString::fromStdString(dialog->logFileName());
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{14}\\.dat$")).match(name).hasMatch()) << name.toStdString();
    EXPECT_EQ(contents(path(dialog->logFileName().c_str())).toStdString(), kHeader);
}

TEST_F(MainDialogTest, OneArgumentPutsTheUrlAndStartsSamplingUnderTheDefaultName)
{
    run([&](CZephyrscopeDlg& d) {
        EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
        d.quit(0);
    },
        {"zephyrscope", "playlist.wpl"});
    EXPECT_EQ(player->urls, std::vector<std::string>{"playlist.wpl"});
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{14}\\.dat$"))
                    .match(QString::fromStdString(dialog->logFileName()))
                    .hasMatch());
}

TEST_F(MainDialogTest, LogWriteFailureStopsSamplingReportsOnceAndKeepsPlaying)
{
    const std::string log = path("full.dat");
    CapturedStderr err;
    rlimit previous{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    zephyrscope::MetricsFigures figures;
    run(
        [&](CZephyrscopeDlg& d) {
            d.run().setMetricsFigures(&figures);
            // Room for the header and little more: the first sample line cannot be written.
            rlimit small = previous;
            small.rlim_cur = kHeader.size() + 10;
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
            player->journal.clear();
            d.OnTimer(ID_TIMER_SAMPLE);
            EXPECT_FALSE(d.isTimerRunning(ID_TIMER_SAMPLE));
            d.OnTimer(ID_TIMER_SAMPLE);
            ::setrlimit(RLIMIT_FSIZE, &previous);
            EXPECT_FALSE(d.isEnded());
            EXPECT_EQ(std::count(player->journal.begin(), player->journal.end(), "controls.stop"), 0);
            // Play starts sampling again, now with room to write.
            click(d, IDOK);
            EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
            d.OnTimer(ID_TIMER_SAMPLE);
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    ::setrlimit(RLIMIT_FSIZE, &previous);
    EXPECT_EQ(err.count("Cannot write log file '" + log + "': File too large\n"), 1);
    EXPECT_EQ(contents(log).count('\n'), 2); // the header and the sample after Play
    // For the metrics endpoint: each failed write counts, the written line too.
    EXPECT_EQ(figures.logWriteFailures, 2u);
    EXPECT_EQ(figures.samplesWritten, 1u);
}

TEST_F(MainDialogTest, PlayerErrorInATickIsPrintedOnceAndSamplingGoesOn)
{
    CapturedStderr err;
    run(
        [&](CZephyrscopeDlg& d) {
            player->failingCall = "snapshot";
            d.OnTimer(ID_TIMER_SAMPLE);
            d.OnTimer(ID_TIMER_SAMPLE);
            EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
            EXPECT_FALSE(d.isEnded());
            d.quit(0);
        },
        {"zephyrscope", "u", path("error.dat")});
    EXPECT_EQ(err.count("Cannot read snapshot: the player is gone\n"), 1);
}

TEST_F(MainDialogTest, ReadyDuringTheCountdownDoesNotOpenASecondOne)
{
    int countdownsOpen = 0;
    run([&](CZephyrscopeDlg& d) {
        player->eventSink->OnPlayStateChange(8);
        ModalDriver<CAutoShutdownDlg> countdown([&](CAutoShutdownDlg* c) {
            player->eventSink->OnPlayStateChange(10);
            countdownsOpen = static_cast<int>(d.findChildren<CAutoShutdownDlg*>().size());
            QTest::mouseClick(c->GetDlgItem(IDCANCEL), Qt::LeftButton);
        });
        player->eventSink->OnPlayStateChange(10);
        EXPECT_TRUE(countdown.acted());
        EXPECT_FALSE(d.isEnded());
        d.quit(0);
    });
    EXPECT_EQ(countdownsOpen, 1);
}

TEST_F(MainDialogTest, PlayerErrorInTheOpenStateHandlerIsPrintedAndTheRunGoesOn)
{
    CapturedStderr err;
    const std::string log = path("noblock.dat");
    run(
        [&](CZephyrscopeDlg& d) {
            player->failingCall = "media.durationString";
            player->eventSink->OnOpenStateChange(13);
            EXPECT_EQ(player->liveObjects, 0);
            EXPECT_TRUE(d.isTimerRunning(ID_TIMER_SAMPLE));
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    EXPECT_EQ(err.count("Cannot read media.durationString: the player is gone\n"), 1);
    EXPECT_EQ(contents(log).toStdString(), kHeader);
}

TEST_F(MainDialogTest, PlayerThatCannotBeMadeIsReportedAndEndsTheRunWithStatusOne)
{
    CapturedStderr err;
    CZephyrscopeDlg failing(
        [](QWidget*) -> std::unique_ptr<zephyrscope::Player> {
            throw std::runtime_error("Cannot create player 'playbin3': no such element");
        },
        {"zephyrscope", "clip.mp4", path("never.dat")}, clock);
    ModalDriver<CZephyrscopeDlg> guard([](CZephyrscopeDlg* d) { d->quit(99); }, 3000);
    EXPECT_EQ(failing.DoModal(), IDCANCEL);
    EXPECT_FALSE(guard.acted());
    EXPECT_EQ(failing.exitStatus(), 1);
    EXPECT_EQ(err.count("Cannot create player 'playbin3': no such element\n"), 1);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path("never.dat"))));
}

TEST_F(MainDialogTest, MetricsFiguresFollowWrittenTicksOpenedEntriesAndFailures)
{
    zephyrscope::MetricsFigures figures;
    const std::string log = path("metrics.dat");
    CapturedStderr err;
    run(
        [&](CZephyrscopeDlg& d) {
            d.run().setMetricsFigures(&figures);
            player->media.sourceURL = "rtsp://user:pw@127.0.0.1/clip";
            player->net.lostPackets = 7;
            player->net.protocol = zephyrscope::protocolNamed("RTSPU");
            player->state = zephyrscope::kPlayStatePlaying;
            player->eventSink->OnOpenStateChange(zephyrscope::kOpenStateMediaOpen);
            d.OnTimer(ID_TIMER_SAMPLE);
            player->net.lostPackets = 9;
            player->net.srtRoundTripMs = 0.5;
            player->net.srtReceiverLatencyMs = 250;
            player->net.videoWidth = 1280;
            player->net.videoHeight = 720;
            player->net.transportStream = true;
            player->net.transportErrors.continuity = 5;
            player->net.ristRoundTripMs = 2.5;
            d.OnTimer(ID_TIMER_SAMPLE);
            // A tick that fails writes no line and leaves the last figures as they were.
            player->failingCall = "snapshot";
            player->net.lostPackets = 11;
            player->net.videoWidth = 320;
            d.OnTimer(ID_TIMER_SAMPLE);
            player->eventSink->OnMediaError("b.mkv", "broken");
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    EXPECT_EQ(lineCount(log), 1 + 3 + 2); // header, media block, two samples
    EXPECT_EQ(figures.samplesWritten, 2u);
    EXPECT_EQ(figures.entriesOpened, 1u);
    EXPECT_EQ(figures.entriesFailed, 1u);
    EXPECT_EQ(figures.logWriteFailures, 0u);
    EXPECT_EQ(figures.entryUrl, "rtsp://user:pw@127.0.0.1/clip");
    ASSERT_TRUE(figures.hasSample);
    EXPECT_EQ(figures.sample.network.lostPackets, 9);
    EXPECT_EQ(columnOf(figures.sample.network.protocol), "RTSPU");
    EXPECT_EQ(figures.sample.network.playState, zephyrscope::kPlayStatePlaying);
    // The figures the log has no column for, as the player gave them with the last line.
    EXPECT_EQ(figures.sample.network.srtRoundTripMs, 0.5);
    EXPECT_EQ(figures.sample.network.srtReceiverLatencyMs, 250);
    EXPECT_EQ(figures.sample.network.videoWidth, 1280);
    EXPECT_EQ(figures.sample.network.videoHeight, 720);
    EXPECT_TRUE(figures.sample.network.transportStream);
    EXPECT_EQ(figures.sample.network.transportErrors.continuity, 5u);
    EXPECT_EQ(figures.sample.network.ristRoundTripMs, 2.5);
}

// Each entry's end in CTA-2066's terms, as the session report splits them: by
// whether its picture had come (the player's first frame of this entry, or a
// tick in Playing) when it failed or was stopped.
TEST_F(MainDialogTest, MetricsSplitEntriesIntoStartAndPlaybackFailuresAndExitsBeforeThePicture)
{
    zephyrscope::MetricsFigures figures;
    const std::string log = path("outcomes.dat");
    CapturedStderr err;
    run(
        [&](CZephyrscopeDlg& d) {
            d.run().setMetricsFigures(&figures);
            // Refused while opening: a start failure.
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->eventSink->OnMediaError("a.mkv", "refused");
            // Its first frame shown, then lost: a playback failure.
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateBuffering);
            player->net.firstFrameWallMs = 1700000000123;
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStatePlaying);
            player->eventSink->OnMediaError("b.mkv", "connection lost");
            // The player still gives the entry before's first frame: no picture of its own.
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateBuffering);
            player->eventSink->OnMediaError("c.mkv", "no data for 30 s");
            // A tick finds it Playing before its first frame's time is read: it started.
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->state = zephyrscope::kPlayStatePlaying;
            player->eventSink->OnOpenStateChange(zephyrscope::kOpenStateMediaOpen);
            d.OnTimer(ID_TIMER_SAMPLE);
            player->eventSink->OnMediaError("d.mkv", "stream broke");
            // Ended before its picture (the next entry begins), and stopped by the run while buffering.
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateTransitioning);
            player->eventSink->OnPlayStateChange(zephyrscope::kPlayStateBuffering);
            d.quit(0);
        },
        {"zephyrscope", "u", log});
    EXPECT_EQ(figures.entriesFailed, 4u);
    EXPECT_EQ(figures.outcomes.videoStartFailures(), 2u);
    EXPECT_EQ(figures.outcomes.videoPlaybackFailures(), 2u);
    EXPECT_EQ(figures.outcomes.exitsBeforeVideoStart(), 2u);
    EXPECT_EQ(figures.outcomes.videoStartFailures() + figures.outcomes.videoPlaybackFailures(),
              figures.entriesFailed);
}
