#include "PesLossEstimator.h"
#include "TsPacketWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <vector>

using namespace zephyrscope;
using zephyrscope::testing::TsPacketWriter;

namespace {

constexpr std::uint16_t kVideoPid = 0x101;
constexpr std::int64_t kFrameTicks = 3600; // 25 frames a second at 90 kHz

// A frame's packets: a PES start declaring its length and carrying its DTS, then the rest.
std::vector<TsPacketWriter::Packet> frame(TsPacketWriter& writer, int packets, std::int64_t dts)
{
    std::vector<TsPacketWriter::Packet> out;
    for (int i = 0; i < packets; ++i)
        out.push_back(writer.payload(kVideoPid));
    const std::size_t length = 184 * static_cast<std::size_t>(packets) - 6;
    const std::uint8_t header[] = {0, 0, 1, 0xE0, static_cast<std::uint8_t>(length >> 8),
                                   static_cast<std::uint8_t>(length), 0x80, 0xC0, 10,
                                   static_cast<std::uint8_t>(0x31 | ((dts >> 29) & 0x0E)),
                                   static_cast<std::uint8_t>(dts >> 22), static_cast<std::uint8_t>((dts >> 14) | 1),
                                   static_cast<std::uint8_t>(dts >> 7), static_cast<std::uint8_t>((dts << 1) | 1),
                                   static_cast<std::uint8_t>(0x11 | ((dts >> 29) & 0x0E)),
                                   static_cast<std::uint8_t>(dts >> 22), static_cast<std::uint8_t>((dts >> 14) | 1),
                                   static_cast<std::uint8_t>(dts >> 7), static_cast<std::uint8_t>((dts << 1) | 1)};
    out.front()[1] |= 0x40;
    std::copy(std::begin(header), std::end(header), out.front().begin() + 4);
    return out;
}

TEST(PesLossEstimator, SizesALossFromTheFirstPesOnceTheFrameStepIsKnown)
{
    // Joined at a key frame of 100 packets whose last 60 were lost with the
    // 30 of the next frame and the first 10 of the one after: 100 in all, a
    // jump of 4. How many frames went is told only by the step the next
    // starts show, and their size by the rate of the half second after.
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> stream = frame(writer, 100, 0);
    for (int n = 1; n <= 20; ++n) {
        const std::vector<TsPacketWriter::Packet> next = frame(writer, 30, n * kFrameTicks);
        stream.insert(stream.end(), next.begin(), next.end());
    }
    stream.erase(stream.begin() + 40, stream.begin() + 140);

    PesLossEstimator estimator;
    std::uint64_t told = 0, resolutions = 0;
    for (std::size_t i = 0; i < stream.size(); ++i) {
        const PesLossEstimator::Beyond beyond = estimator.packet(kVideoPid, stream[i].data(), i == 40 ? 4 : 0);
        if (beyond.residues > 0) {
            told += beyond.residues + beyond.sixteens();
            ++resolutions;
        }
    }
    EXPECT_EQ(resolutions, 1u);
    EXPECT_EQ(told, 100u);
}

} // namespace
