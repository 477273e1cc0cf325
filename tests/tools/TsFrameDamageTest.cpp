// The relay's frame counting on its own: a video stream of hand-made TS
// packets, one PES a frame, some of its packets marked dropped.

#include "TsFrameDamage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <vector>

using zephyrscope::tools::TsFrameDamage;

namespace {

constexpr int kVideoPid = 0x100;
constexpr int kAudioPid = 0x101;

using Packet = std::array<unsigned char, 188>;

// A TS packet of pid: a PES start (stream_id, then an H.264 NAL of type nal)
// or a continuation of payload.
Packet packetOf(int pid, bool unitStart, unsigned char streamId = 0xE0, unsigned char nal = 0x41)
{
    Packet p {};
    p.fill(0xAB);
    p[0] = 0x47;
    p[1] = static_cast<unsigned char>((unitStart ? 0x40 : 0) | (pid >> 8));
    p[2] = static_cast<unsigned char>(pid & 0xFF);
    p[3] = 0x10;
    if (unitStart) {
        const unsigned char pes[] = {0, 0, 1, streamId, 0, 0, 0x80, 0x80, 5, 0x21, 0, 1, 0, 1, 0, 0, 0, 1, nal};
        std::copy(std::begin(pes), std::end(pes), p.begin() + 4);
    }
    return p;
}

// Frames [0, count), a key frame every keyInterval, two packets each, with an
// audio packet between; the second packet of the frames in hit dropped.
TsFrameDamage streamOf(int count, int keyInterval, const std::vector<int>& hit)
{
    TsFrameDamage damage;
    for (int f = 0; f < count; ++f) {
        const bool dropped = std::find(hit.begin(), hit.end(), f) != hit.end();
        damage.packet(packetOf(kAudioPid, true, 0xC0).data(), false);
        damage.packet(packetOf(kVideoPid, true, 0xE0, f % keyInterval == 0 ? 0x65 : 0x41).data(), false);
        damage.packet(packetOf(kVideoPid, false).data(), dropped);
    }
    return damage;
}

} // namespace

TEST(TsFrameDamage, CountsTheVideoFramesAndKeyFramesAlone)
{
    const TsFrameDamage damage = streamOf(100, 25, {});
    EXPECT_EQ(damage.frames(), 100u);
    EXPECT_EQ(damage.keyFrames(), 4u);
    EXPECT_EQ(damage.damageBound(), 0u);
}

// A P frame hit at 30 damages 30..49; a key frame hit at 75 its whole group,
// to the end; a hit at 60 and one at 62 make one span, to 74.
TEST(TsFrameDamage, BoundRunsFromEachHitFrameToTheNextWholeKeyFrameMerged)
{
    const TsFrameDamage damage = streamOf(100, 25, {30, 60, 62, 75});
    EXPECT_EQ(damage.damageBound(), 20u + 15u + 25u);
    EXPECT_EQ(damage.damagedWhole(), 60u - 4u);
}

// The picture resumes after a gap at the first key frame that came whole: one
// marked only by the adaptation field's random_access_indicator counts, at
// its first packet's time, and one that lost a packet does not.
TEST(TsFrameDamage, LogsWhenEachWholeKeyFrameBegan)
{
    TsFrameDamage damage;
    for (int f = 0; f < 4; ++f) {
        Packet start = packetOf(kVideoPid, true);
        if (f >= 2) {
            // An adaptation field of one byte, its random_access_indicator set, before the PES.
            std::copy(start.begin() + 4, start.end() - 2, start.begin() + 6);
            start[3] = 0x30;
            start[4] = 1;
            start[5] = 0x40;
        }
        const std::int64_t us = 1000 * (f + 1);
        damage.packet(start.data(), false, us);
        damage.packet(packetOf(kVideoPid, false).data(), f == 2, us + 500);
    }
    EXPECT_EQ(damage.firstWholeKeyFrameFrom(0), 4000);
    EXPECT_EQ(damage.firstWholeKeyFrameFrom(4001), 0);
}

namespace {

// Frame f of a video stream whose packets count on from counter: its start
// (with a PCR on frames 0 and 4) and two packets more.
std::vector<Packet> framePackets(int f, int& counter)
{
    Packet start = packetOf(kVideoPid, true);
    if (f % 4 == 0) {
        // An adaptation field of seven bytes, its PCR flag set, before the PES.
        std::copy(start.begin() + 4, start.end() - 8, start.begin() + 12);
        start[4] = 7;
        start[5] = 0x10;
    }
    Packet middle = packetOf(kVideoPid, false), end = packetOf(kVideoPid, false);
    start[3] = static_cast<unsigned char>((f % 4 == 0 ? 0x30 : 0x10) | (counter++ & 0x0F));
    middle[3] = static_cast<unsigned char>(0x10 | (counter++ & 0x0F));
    end[3] = static_cast<unsigned char>(0x10 | (counter++ & 0x0F));
    return {start, middle, end};
}

std::vector<bool> demuxedOf(const TsFrameDamage& damage)
{
    std::vector<bool> demuxed;
    for (const auto& frame : damage.frameLog())
        demuxed.push_back(frame.demuxed);
    return demuxed;
}

} // namespace

// tsdemux ends a PES without a length at the next start on its PID: frame 3
// lost a packet in its middle (a counter jump throws it away), frame 6 its
// start, which throws frame 5 away too; frame 8 lost its end and goes on cut
// short; the last is never ended.
TEST(TsFrameDamage, MarksTheFramesTsdemuxPassesOn)
{
    TsFrameDamage damage;
    int counter = 0;
    for (int f = 0; f < 10; ++f) {
        const auto packets = framePackets(f, counter);
        damage.packet(packets[0].data(), f == 6);
        damage.packet(packets[1].data(), f == 3);
        damage.packet(packets[2].data(), f == 8);
    }
    EXPECT_EQ(demuxedOf(damage),
              (std::vector<bool> {true, true, true, false, true, false, false, true, true, false}));
}

// An RTP gap: tsdemux drains what it collects (frame 2, cut short) and
// flushes; what it ends then waits for a PES begun after a PCR, and the next
// gap, before frame 4 and its PCR, throws frame 3 away.
TEST(TsFrameDamage, AfterADiscontinuityWaitsForAPcrToTimeTheFrames)
{
    TsFrameDamage damage;
    int counter = 0;
    for (int f = 0; f < 8; ++f) {
        const auto packets = framePackets(f, counter);
        if (f == 4)
            damage.discontinuity();
        damage.packet(packets[0].data(), false);
        if (f == 2)
            damage.discontinuity();
        damage.packet(packets[1].data(), f == 2);
        damage.packet(packets[2].data(), f == 2);
    }
    EXPECT_EQ(demuxedOf(damage), (std::vector<bool> {true, true, true, false, true, true, true, false}));
}
