#include "DatagramGapEstimator.h"
#include "TsPacketWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <functional>
#include <ostream>
#include <random>

using namespace zephyrscope;
using zephyrscope::testing::TsPacketWriter;

namespace {

constexpr std::uint16_t kPmtPid = 0x100, kVideoPid = 0x101;
constexpr std::size_t kPacketsPerDatagram = 7;
constexpr std::int64_t kStreamUs = 10000000;
constexpr std::int64_t kGapAtUs = 4000000;
constexpr std::int64_t kFrameUs = 40000;

// Constant rate: packets evenly spaced at 2 Mbit/s, a PCR every 40 ms and one
// packet in ten a null packet. Variable rate: a frame every 40 ms of 5 to 9
// datagrams (a key frame of 20 every second) sent back to back, its first
// packet carrying the PCR; or the same without any PCR.
enum class Rate { Constant, Variable, VariableWithoutPcr };

struct Datagram {
    std::int64_t arrivalUs = 0;
    std::vector<std::uint8_t> bytes;
    std::uint64_t payloadPackets = 0;
};

class StreamMaker {
public:
    explicit StreamMaker(Rate rate) : m_rate(rate) {}

    std::vector<Datagram> make()
    {
        if (m_rate == Rate::Constant)
            makeConstant();
        else
            makeVariable();
        return std::move(m_datagrams);
    }

private:
    void add(std::int64_t arrivalUs, const TsPacketWriter::Packet& packet, bool payload)
    {
        if (m_datagrams.empty() || m_datagrams.back().bytes.size() == kPacketsPerDatagram * 188)
            m_datagrams.push_back({arrivalUs, {}, 0});
        Datagram& datagram = m_datagrams.back();
        datagram.arrivalUs = arrivalUs;
        datagram.bytes.insert(datagram.bytes.end(), packet.begin(), packet.end());
        datagram.payloadPackets += payload ? 1 : 0;
    }

    void makeConstant()
    {
        const double packetUs = 188.0 * 8.0 / 2.0; // 2 Mbit/s
        std::int64_t nextPcrUs = 0, nextPatUs = 0;
        for (std::int64_t n = 0; n * packetUs < kStreamUs; ++n) {
            const auto t = static_cast<std::int64_t>(std::llround(n * packetUs));
            if (n % 10 == 9) {
                add(t, m_writer.null(), false);
            } else if (t >= nextPatUs) {
                add(t, m_writer.pat(kPmtPid), true);
                nextPatUs += 100000;
            } else {
                const bool pcr = t >= nextPcrUs;
                add(t, m_writer.payload(kVideoPid, pcr ? std::optional<std::int64_t>(t) : std::nullopt), true);
                nextPcrUs += pcr ? kFrameUs : 0;
            }
        }
    }

    void makeVariable()
    {
        std::mt19937 random(7);
        std::uniform_int_distribution<int> datagrams(5, 9);
        for (std::int64_t frame = 0; frame * kFrameUs < kStreamUs; ++frame) {
            const std::int64_t t = frame * kFrameUs;
            const int packets = (frame % 25 == 0 ? 20 : datagrams(random)) * static_cast<int>(kPacketsPerDatagram);
            for (int i = 0; i < packets; ++i) {
                const std::int64_t arrivalUs = t + 100 * (i / static_cast<int>(kPacketsPerDatagram));
                const bool pcr = i == 0 && m_rate == Rate::Variable;
                TsPacketWriter::Packet packet = m_writer.payload(kVideoPid, pcr ? std::optional<std::int64_t>(t) : std::nullopt);
                if (i == 0)
                    startPes(packet, packets, t);
                // Each packet's bytes its own, as coded pictures' are: only a packet sent twice repeats them.
                const auto serial = static_cast<std::uint32_t>(m_serial++);
                for (std::size_t b = 0; b < 4; ++b)
                    packet[187 - b] = static_cast<std::uint8_t>(serial >> (8 * b));
                add(arrivalUs, packet, true);
            }
        }
    }

    // Makes the packet a frame's first: a PES start with its length and PTS (90 kHz).
    static void startPes(TsPacketWriter::Packet& packet, int packets, std::int64_t us)
    {
        const std::size_t offset = (packet[3] & 0x20) != 0 ? 5 + packet[4] : 4;
        const std::size_t length = (188 - offset) + 184 * static_cast<std::size_t>(packets - 1) - 6;
        const std::int64_t pts = us * 9 / 100;
        const std::uint8_t header[] = {0, 0, 1, 0xE0, static_cast<std::uint8_t>(length >> 8),
                                       static_cast<std::uint8_t>(length), 0x80, 0x80, 5,
                                       static_cast<std::uint8_t>(0x21 | ((pts >> 29) & 0x0E)),
                                       static_cast<std::uint8_t>(pts >> 22), static_cast<std::uint8_t>((pts >> 14) | 1),
                                       static_cast<std::uint8_t>(pts >> 7), static_cast<std::uint8_t>((pts << 1) | 1)};
        packet[1] |= 0x40;
        std::copy(std::begin(header), std::end(header), packet.begin() + static_cast<std::ptrdiff_t>(offset));
    }

    Rate m_rate;
    std::uint64_t m_serial = 0;
    TsPacketWriter m_writer;
    std::vector<Datagram> m_datagrams;
};

struct Fed {
    DatagramGapEstimator::Figures figures;
    std::uint64_t droppedPayloadPackets = 0;
};

Fed feed(const std::vector<Datagram>& datagrams, const std::function<bool(const Datagram&, std::size_t)>& dropped)
{
    DatagramGapEstimator estimator;
    Fed fed;
    for (std::size_t i = 0; i < datagrams.size(); ++i) {
        if (dropped(datagrams[i], i))
            fed.droppedPayloadPackets += datagrams[i].payloadPackets;
        else
            estimator.datagram(datagrams[i].arrivalUs, datagrams[i].bytes.data(), datagrams[i].bytes.size());
    }
    fed.figures = estimator.figures();
    return fed;
}

struct Outage {
    Rate rate;
    std::int64_t gapMs;
    const char* name;
};

void PrintTo(const Outage& outage, std::ostream* out)
{
    *out << outage.name;
}

void PrintTo(Rate rate, std::ostream* out)
{
    *out << (rate == Rate::Constant ? "constant" : rate == Rate::Variable ? "variable" : "variable without PCR");
}

class DatagramGapOutage : public ::testing::TestWithParam<Outage> {};

TEST_P(DatagramGapOutage, EstimatesThePayloadPacketsLostWithinTenPercent)
{
    const Outage outage = GetParam();
    const std::int64_t endUs = kGapAtUs + outage.gapMs * 1000;
    const Fed fed = feed(StreamMaker(outage.rate).make(), [&](const Datagram& d, std::size_t) {
        return d.arrivalUs >= kGapAtUs && d.arrivalUs < endUs;
    });

    EXPECT_EQ(fed.figures.gaps, 1u);
    // The gap runs from the last datagram before to the first after: up to a frame longer each side.
    EXPECT_GE(fed.figures.gapUs, outage.gapMs * 1000);
    EXPECT_LE(fed.figures.gapUs, outage.gapMs * 1000 + 2 * kFrameUs);
    ASSERT_GT(fed.droppedPayloadPackets, 0u);
    const double truth = static_cast<double>(fed.droppedPayloadPackets);
    EXPECT_NEAR(static_cast<double>(fed.figures.lostEstimate), truth, truth * 0.1)
        << "dropped " << fed.droppedPayloadPackets;
}

INSTANTIATE_TEST_SUITE_P(
    Streams, DatagramGapOutage,
    ::testing::Values(Outage {Rate::Constant, 500, "ConstantHalfSecond"},
                      Outage {Rate::Constant, 2000, "ConstantTwoSeconds"},
                      Outage {Rate::Variable, 500, "VariableHalfSecond"},
                      Outage {Rate::Variable, 2000, "VariableTwoSeconds"},
                      Outage {Rate::VariableWithoutPcr, 500, "NoPcrHalfSecond"},
                      Outage {Rate::VariableWithoutPcr, 2000, "NoPcrTwoSeconds"}),
    [](const ::testing::TestParamInfo<Outage>& info) { return std::string(info.param.name); });

class DatagramGapShortLoss : public ::testing::TestWithParam<Rate> {};

TEST_P(DatagramGapShortLoss, CountsWhatTheContinuityCountersShowWithoutAGap)
{
    // One datagram in fifty: seven packets, fewer than a counter's sixteen.
    const Fed fed = feed(StreamMaker(GetParam()).make(), [](const Datagram&, std::size_t i) { return i % 50 == 20; });

    EXPECT_EQ(fed.figures.gaps, 0u);
    EXPECT_EQ(fed.figures.lostEstimate, fed.droppedPayloadPackets);
}

INSTANTIATE_TEST_SUITE_P(Streams, DatagramGapShortLoss, ::testing::Values(Rate::Constant, Rate::Variable));

// A run's length in datagrams, and how many of its runs may be counted 16
// datagrams off: a run of 30 takes three to five frames whole, sized by the
// PID's recent rate, and a key frame or a few small frames among them put
// the estimate as far out.
struct LostRun {
    std::size_t datagrams;
    std::size_t off;
};

void PrintTo(const LostRun& run, std::ostream* out)
{
    *out << run.datagrams << " datagrams";
}

class DatagramGapBurst : public ::testing::TestWithParam<LostRun> {};

TEST_P(DatagramGapBurst, CountsARunOfWholeDatagramsBeyondTheCountersSixteen)
{
    // Runs of datagrams lost back to back, too short for a gap: 7 packets each,
    // all with payload, so the run's length follows from the counters' jump,
    // modulo 16 datagrams (the frames carry PES lengths and PTS, as a muxer's do).
    // None before the estimator has seen 64 datagrams, nor in the last seconds,
    // where a run is not yet settled.
    const LostRun run = GetParam();
    const Fed fed = feed(StreamMaker(Rate::Variable).make(), [&](const Datagram& d, std::size_t i) {
        return i >= 80 && i % 80 >= 40 && i % 80 < 40 + run.datagrams && d.arrivalUs < kStreamUs - 2000000;
    });

    EXPECT_EQ(fed.figures.gaps, 0u);
    EXPECT_NEAR(static_cast<double>(fed.figures.lostEstimate), static_cast<double>(fed.droppedPayloadPackets),
                static_cast<double>(run.off * 16 * kPacketsPerDatagram));
}

// 9 loses 63 packets, a jump of 15: the counter repeats, but the packet's bytes are new.
INSTANTIATE_TEST_SUITE_P(Runs, DatagramGapBurst,
                         ::testing::Values(LostRun {2, 0}, LostRun {5, 0}, LostRun {9, 0}, LostRun {12, 0}, LostRun {15, 0}, LostRun {20, 0},
                                           LostRun {30, 2}));

TEST(DatagramGapEstimator, LosesNothingOverAGapOfDataHeldBack)
{
    // Datagrams held for 300 ms and then let go together, as a link's buffer does:
    // a gap, but with its stream time all there.
    std::vector<Datagram> datagrams = StreamMaker(Rate::Constant).make();
    for (Datagram& d : datagrams)
        if (d.arrivalUs >= kGapAtUs && d.arrivalUs < kGapAtUs + 300000)
            d.arrivalUs = kGapAtUs + 300000;
    const Fed fed = feed(datagrams, [](const Datagram&, std::size_t) { return false; });

    EXPECT_EQ(fed.figures.gaps, 1u);
    EXPECT_EQ(fed.figures.lostEstimate, 0u);
}

TEST(DatagramGapEstimator, TakesTheRateOfAConstantRateStreamFromItsPcrs)
{
    DatagramGapEstimator estimator;
    for (const Datagram& d : StreamMaker(Rate::Constant).make())
        estimator.datagram(d.arrivalUs, d.bytes.data(), d.bytes.size());
    EXPECT_TRUE(estimator.constantRate());
    EXPECT_NEAR(estimator.packetRate(), 2e6 / (188 * 8), 2.0);

    DatagramGapEstimator variable;
    for (const Datagram& d : StreamMaker(Rate::Variable).make())
        variable.datagram(d.arrivalUs, d.bytes.data(), d.bytes.size());
    EXPECT_FALSE(variable.constantRate());
}

} // namespace
