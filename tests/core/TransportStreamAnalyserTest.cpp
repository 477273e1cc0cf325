#include "TransportStreamAnalyser.h"
#include "TsPacketWriter.h"

#include <gtest/gtest.h>

#include <functional>

using namespace zephyrscope;
using zephyrscope::testing::TsPacketWriter;

namespace {

constexpr std::uint16_t kPmtPid = 0x100, kVideoPid = 0x101, kAudioPid = 0x102;
constexpr std::int64_t kTickUs = 20000; // one PCR packet and one audio packet a tick
constexpr int kTablesEveryTicks = 5;    // PAT and PMT every 100 ms

// A stream of one program: video (the PCR PID) and audio, with hooks to leave
// things out. Times are in microseconds of stream time.
struct StreamPlan {
    std::int64_t lengthUs = 3000000;
    std::function<bool(std::int64_t)> patSent = [](std::int64_t) { return true; };
    std::function<bool(std::int64_t)> pmtSent = [](std::int64_t) { return true; };
    std::function<bool(std::int64_t)> audioSent = [](std::int64_t) { return true; };
};

std::vector<TsPacketWriter::Packet> makeStream(const StreamPlan& plan, TsPacketWriter& writer)
{
    std::vector<TsPacketWriter::Packet> packets;
    for (std::int64_t tick = 0; tick * kTickUs < plan.lengthUs; ++tick) {
        const std::int64_t t = tick * kTickUs;
        packets.push_back(writer.payload(kVideoPid, t));
        if (tick % kTablesEveryTicks == 0) {
            if (plan.patSent(t))
                packets.push_back(writer.pat(kPmtPid));
            if (plan.pmtSent(t))
                packets.push_back(writer.pmt(kPmtPid, kVideoPid, {kVideoPid, kAudioPid}));
        }
        if (plan.audioSent(t))
            packets.push_back(writer.payload(kAudioPid));
    }
    return packets;
}

std::vector<std::uint8_t> join(const std::vector<TsPacketWriter::Packet>& packets)
{
    std::vector<std::uint8_t> bytes;
    for (const auto& packet : packets)
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    return bytes;
}

// Fed in pieces of an awkward size, as datagrams and reads cut a stream anywhere.
TransportStreamAnalyser analyse(const std::vector<std::uint8_t>& bytes, std::size_t piece = 1000)
{
    TransportStreamAnalyser analyser;
    for (std::size_t at = 0; at < bytes.size(); at += piece)
        analyser.feed(bytes.data() + at, std::min(piece, bytes.size() - at));
    return analyser;
}

struct TableCase {
    const char* name;
    StreamPlan plan;
    TsErrorCounts expected;
};

void PrintTo(const TableCase& tableCase, std::ostream* out)
{
    *out << tableCase.name;
}

class TransportStreamTables : public ::testing::TestWithParam<TableCase> {};

} // namespace

TEST_P(TransportStreamTables, CountsEachMissingTableAndPidOncePerInterval)
{
    TsPacketWriter writer;
    const auto packets = makeStream(GetParam().plan, writer);
    const TransportStreamAnalyser analyser = analyse(join(packets));
    EXPECT_EQ(analyser.packets(), packets.size());
    EXPECT_EQ(analyser.missingPackets(), 0u);
    const TsErrorCounts& errors = analyser.errors();
    const TsErrorCounts& expected = GetParam().expected;
    EXPECT_EQ(errors.pat, expected.pat);
    EXPECT_EQ(errors.pmt, expected.pmt);
    EXPECT_EQ(errors.pid, expected.pid);
    EXPECT_EQ(errors.continuity, 0u);
    EXPECT_EQ(errors.syncByte, 0u);
    EXPECT_EQ(errors.syncLoss, 0u);
}

// Tables come every 100 ms. A PAT last seen at 0.9 s and next at 3.2 s is
// overdue at 1.4, 1.9, 2.4 and 2.9 s; audio last seen at 1.98 s in a 13-s
// stream is overdue at 6.98 and 11.98 s.
INSTANTIATE_TEST_SUITE_P(
    Plans, TransportStreamTables,
    ::testing::Values(TableCase {"Clean", StreamPlan {}, TsErrorCounts {}},
                      TableCase {"PatMissing",
                                 StreamPlan {4000000, [](std::int64_t t) { return t < 1000000 || t >= 3200000; }},
                                 TsErrorCounts {.pat = 4}},
                      TableCase {"PmtMissing",
                                 StreamPlan {.pmtSent = [](std::int64_t t) { return t < 500000 || t >= 1700000; }},
                                 TsErrorCounts {.pmt = 2}},
                      TableCase {"AudioStops",
                                 StreamPlan {.lengthUs = 13000000, .audioSent = [](std::int64_t t) { return t < 2000000; }},
                                 TsErrorCounts {.pid = 2}}),
    [](const ::testing::TestParamInfo<TableCase>& info) { return std::string(info.param.name); });

TEST(TransportStreamAnalyser, CountsPacketsMissingPerPidFromContinuityGaps)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    writer.skip(kAudioPid, 3);
    packets.push_back(writer.payload(kAudioPid));
    writer.skip(kVideoPid, 1);
    packets.push_back(writer.payload(kVideoPid));
    // Null packets carry no counter worth following.
    packets.push_back(writer.null());
    packets.push_back(writer.null());
    packets.push_back(writer.payload(kVideoPid));
    writer.skip(kVideoPid, 2);
    packets.push_back(writer.payload(kVideoPid));
    const TransportStreamAnalyser analyser = analyse(join(packets), 1316);
    EXPECT_EQ(analyser.packets(), packets.size());
    EXPECT_EQ(analyser.errors().continuity, 3u);
    EXPECT_EQ(analyser.missingPackets(), 6u);
}

TEST(TransportStreamAnalyser, AllowsAPacketTwiceButNotThreeTimes)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    const TsPacketWriter::Packet audio = writer.payload(kAudioPid);
    packets.push_back(audio);
    packets.push_back(audio);
    EXPECT_EQ(analyse(join(packets)).errors().continuity, 0u);
    packets.push_back(audio);
    EXPECT_EQ(analyse(join(packets)).errors().continuity, 1u);
    EXPECT_EQ(analyse(join(packets)).missingPackets(), 0u);
}

TEST(TransportStreamAnalyser, OneBadSyncByteIsAnErrorTwoInARowLoseSync)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    const std::size_t first = 40, second = 80;
    packets[first][0] = 0x46;
    TransportStreamAnalyser once = analyse(join(packets));
    EXPECT_EQ(once.errors().syncByte, 1u);
    EXPECT_EQ(once.errors().syncLoss, 0u);
    EXPECT_EQ(once.errors().continuity, 0u) << "a damaged sync byte alone loses no packet";
    EXPECT_EQ(once.packets(), packets.size());

    packets[second][0] = 0x00;
    packets[second + 1][0] = 0xFF;
    TransportStreamAnalyser twice = analyse(join(packets));
    EXPECT_EQ(twice.errors().syncByte, 3u);
    EXPECT_EQ(twice.errors().syncLoss, 1u);
    EXPECT_TRUE(twice.inSync()) << "five good packets bring sync back";
    // The packet that lost sync is not read: its PID shows it missing.
    EXPECT_EQ(twice.packets(), packets.size() - 1);
    EXPECT_EQ(twice.errors().continuity, 1u);
    EXPECT_EQ(twice.missingPackets(), 1u);
}

TEST(TransportStreamAnalyser, FindsSyncAfterLeadingGarbage)
{
    TsPacketWriter writer;
    const auto packets = makeStream(StreamPlan {}, writer);
    std::vector<std::uint8_t> bytes(100, 0x47);
    const auto stream = join(packets);
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    const TransportStreamAnalyser analyser = analyse(bytes, 7);
    EXPECT_EQ(analyser.packets(), packets.size());
    EXPECT_EQ(analyser.errors().total(), 0u);
}

TEST(TransportStreamAnalyser, CountsAnotherTableOnPatPidAndScrambledTables)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    TsPacketWriter::Packet wrongTable = writer.pat(kPmtPid);
    wrongTable[5] = 0x02; // a PMT's table id on the PAT's PID
    packets.push_back(wrongTable);
    TsPacketWriter::Packet scrambledPmt = writer.pmt(kPmtPid, kVideoPid, {kVideoPid, kAudioPid});
    scrambledPmt[3] |= 0x80;
    packets.push_back(scrambledPmt);
    const TransportStreamAnalyser analyser = analyse(join(packets));
    EXPECT_EQ(analyser.errors().pat, 1u);
    EXPECT_EQ(analyser.errors().pmt, 1u);
}

TEST(TransportStreamAnalyser, APcrJumpRestartsTheClockWithoutErrors)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    // A new time base ten minutes later, with tables at once.
    packets.push_back(writer.payload(kVideoPid, 600000000));
    packets.push_back(writer.pat(kPmtPid));
    packets.push_back(writer.pmt(kPmtPid, kVideoPid, {kVideoPid, kAudioPid}));
    packets.push_back(writer.payload(kAudioPid));
    packets.push_back(writer.payload(kVideoPid, 600020000));
    EXPECT_EQ(analyse(join(packets)).errors().total(), 0u);
}

TEST(TransportStreamAnalyser, CountsSecondPriorityErrorsOfPacketsAndSections)
{
    TsPacketWriter writer;
    std::vector<TsPacketWriter::Packet> packets = makeStream(StreamPlan {}, writer);
    const TsErrorCounts clean = analyse(join(packets)).errors();
    EXPECT_EQ(clean.secondPriorityTotal(), 0u) << "clean: no PCR gap, all sections intact, nothing scrambled";
    EXPECT_FALSE(analyse(join(packets)).pcrJitterMs()) << "no arrival times, no jitter";
    for (const std::size_t at : {20, 21, 22}) // three damaged packets, audio and video
        packets[at][1] |= 0x80;
    for (std::size_t at = 0; at < 30; ++at)
        if (packets[at][1] == 0x40 && packets[at][2] == 0x00)
            packets[at][20] ^= 0x01; // the last byte of the first three PATs' CRC
    TsPacketWriter::Packet scrambled = writer.payload(kAudioPid);
    scrambled[3] |= 0x80;
    packets.push_back(scrambled);
    packets.push_back(scrambled);
    TsPacketWriter::Packet notCat = writer.pat(kPmtPid);
    notCat[2] = 0x01; // a PAT on the CAT's PID
    packets.push_back(notCat);
    const TransportStreamAnalyser analyser = analyse(join(packets));
    const TsErrorCounts& errors = analyser.errors();
    EXPECT_EQ(errors.transportError, 3u);
    EXPECT_EQ(errors.crc, 3u); // the PATs of 0, 100 and 200 ms
    EXPECT_EQ(errors.cat, 3u); // two scrambled packets, one PAT on PID 1
    EXPECT_EQ(errors.pat, 0u) << "a PAT with a wrong CRC is still a PAT come";
    EXPECT_EQ(errors.total(), 0u);
}
