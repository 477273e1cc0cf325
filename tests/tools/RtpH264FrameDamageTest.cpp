// The RTP relay's frame counting on its own: H.264 RTP packets made by hand,
// a frame per RTP timestamp, some of them marked dropped.

#include "RtpH264FrameDamage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using zephyrscope::tools::RtpH264FrameDamage;

namespace {

// An RTP packet of the frame at timestamp, its payload the given bytes.
std::vector<unsigned char> rtpOf(std::uint32_t timestamp, std::vector<unsigned char> payload)
{
    payload.insert(payload.begin(), {0x80, 96, 0, 0, static_cast<unsigned char>(timestamp >> 24),
                                     static_cast<unsigned char>(timestamp >> 16),
                                     static_cast<unsigned char>(timestamp >> 8), static_cast<unsigned char>(timestamp),
                                     0, 0, 0, 1});
    return payload;
}

// Frames [0, count), each an FU-A start and end (an IDR slice every
// keyInterval, else a P slice); every fifth key frame sent as an IDR alone,
// and the one after as a STAP-A of SPS, PPS and IDR. The end packet of the
// frames in hit dropped.
RtpH264FrameDamage streamOf(int count, int keyInterval, const std::vector<int>& hit)
{
    RtpH264FrameDamage damage;
    for (int f = 0; f < count; ++f) {
        const std::uint32_t ts = 3600u * static_cast<std::uint32_t>(f);
        const bool key = f % keyInterval == 0;
        const unsigned char type = key ? 5 : 1;
        const bool dropped = std::find(hit.begin(), hit.end(), f) != hit.end();
        std::vector<unsigned char> first {0x7C, static_cast<unsigned char>(0x80 | type), 0xAB};
        if (key && f % (5 * keyInterval) == 0)
            first = {0x65, 0xAB};
        else if (key && f % (5 * keyInterval) == keyInterval)
            first = {0x78, 0, 2, 0x67, 0xAB, 0, 2, 0x68, 0xAB, 0, 2, 0x65, 0xAB};
        const auto start = rtpOf(ts, first);
        const auto end = rtpOf(ts, {0x7C, static_cast<unsigned char>(0x40 | type), 0xAB});
        damage.packet(start.data(), start.size(), false);
        damage.packet(end.data(), end.size(), dropped);
    }
    return damage;
}

} // namespace

TEST(RtpH264FrameDamage, CountsFramesByTimestampAndKeyFramesInEachPacketisation)
{
    const RtpH264FrameDamage damage = streamOf(100, 25, {});
    EXPECT_EQ(damage.frames(), 100u);
    EXPECT_EQ(damage.keyFrames(), 4u);
    EXPECT_EQ(damage.damageBound(), 0u);
}

// A P frame hit at 30 damages 30..49; hits at 60 and 62 one span to 74; a key
// frame hit at 75 its whole group, to the end.
TEST(RtpH264FrameDamage, BoundRunsFromEachHitFrameToTheNextWholeKeyFrameMerged)
{
    const RtpH264FrameDamage damage = streamOf(100, 25, {30, 60, 62, 75});
    EXPECT_EQ(damage.damageBound(), 20u + 15u + 25u);
    EXPECT_EQ(damage.damagedWhole(), 60u - 4u);
}

// A key frame's time is its first packet's, though its IDR slice's FU-A
// starts in a later one; an FU-A that goes on with an IDR slice begun in a
// frame before is no key frame; a key frame that lost a packet does not count.
TEST(RtpH264FrameDamage, LogsWhenEachWholeKeyFrameBegan)
{
    RtpH264FrameDamage damage;
    const auto send = [&](std::uint32_t ts, std::vector<unsigned char> payload, bool dropped, std::int64_t us) {
        const auto packet = rtpOf(ts, std::move(payload));
        damage.packet(packet.data(), packet.size(), dropped, us);
    };
    send(0, {0x06, 0xAB}, false, 1000);       // an SEI
    send(0, {0x7C, 0x85, 0xAB}, false, 1100); // the IDR's FU-A start
    send(0, {0x7C, 0x45, 0xAB}, true, 1200);  // its end, dropped
    send(3600, {0x7C, 0x05, 0xAB}, false, 2000);
    send(7200, {0x06, 0xAB}, false, 3000);
    send(7200, {0x7C, 0x85, 0xAB}, false, 3100);
    EXPECT_EQ(damage.keyFrames(), 2u);
    EXPECT_EQ(damage.firstWholeKeyFrameFrom(0), 3000);
}
