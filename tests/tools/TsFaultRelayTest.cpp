#include "TransportStreamAnalyser.h"
#include "TsFaultInjector.h"
#include "TsFaultRelay.h"

#include "LoopbackSockets.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope;
using zephyrscope::tools::TsFaultInjector;
using zephyrscope::tools::TsFaultRelay;

namespace {

constexpr std::size_t kPacket = 188;
constexpr std::size_t kDatagram = 7 * kPacket;

struct Clip {
    const char* name;
    bool constantRate;
};

void PrintTo(const Clip& clip, std::ostream* out)
{
    *out << clip.name;
}

std::vector<std::uint8_t> readClip(const Clip& clip)
{
    std::ifstream in(std::string(ZS_FAULT_CLIPS) + "/" + clip.name + ".ts", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// When each datagram of a stream is due as its sender would send it: at the
// time its PCRs give its position, between the two around it.
std::vector<std::int64_t> sendTimesUs(const std::vector<std::uint8_t>& ts)
{
    std::vector<std::pair<std::size_t, std::int64_t>> pcrs; // position, us
    for (std::size_t at = 0; at + kPacket <= ts.size(); at += kPacket) {
        const std::uint8_t* p = ts.data() + at;
        if ((p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10)) {
            const std::uint64_t base = (std::uint64_t {p[6]} << 25) | (std::uint64_t {p[7]} << 17)
                | (std::uint64_t {p[8]} << 9) | (std::uint64_t {p[9]} << 1) | (p[10] >> 7);
            pcrs.emplace_back(at, static_cast<std::int64_t>(base * 300 + (((p[10] & 1) << 8) | p[11])) / 27);
        }
    }
    std::vector<std::int64_t> times;
    std::size_t next = 0;
    for (std::size_t at = 0; at < ts.size(); at += kDatagram) {
        while (next + 1 < pcrs.size() && pcrs[next + 1].first <= at)
            ++next;
        const auto& [p0, t0] = pcrs[next];
        const auto& [p1, t1] = pcrs[std::min(next + 1, pcrs.size() - 1)];
        const double share = p1 > p0 ? static_cast<double>(static_cast<std::int64_t>(at) - static_cast<std::int64_t>(p0))
                / static_cast<double>(p1 - p0) : 0.0;
        times.push_back(t0 + static_cast<std::int64_t>(share * static_cast<double>(t1 - t0)) - pcrs.front().second);
    }
    return times;
}

// Every fault at once, each on packets of its own.
TsFaultInjector::Plan everyFault()
{
    TsFaultInjector::Plan plan;
    plan.teiPackets = 5;
    plan.crcSections = 3;
    plan.scrambledPackets = 4;
    plan.jitterEvery = 10;
    plan.jitterDelayMs = 15;
    plan.pcrBlankMs = 300;
    plan.ptsHoldMs = 1000;
    return plan;
}

class TsFaults : public ::testing::TestWithParam<Clip> {};

} // namespace

TEST_P(TsFaults, AnalyserCountsExactlyWhatTheInjectorInjected)
{
    std::vector<std::uint8_t> ts = readClip(GetParam());
    ASSERT_GT(ts.size(), 100 * kDatagram) << "no clip from ffmpeg in " << ZS_FAULT_CLIPS;
    const std::vector<std::int64_t> times = sendTimesUs(ts);
    // A datagram arrives whole: a PCR early in it arrives later than one at its
    // end, by at most the datagram's span, which is all a clean stream shows.
    double cleanJitterMs = 0;
    for (const bool faults : {false, true}) {
        std::vector<std::uint8_t> stream = ts;
        TsFaultInjector injector(faults ? everyFault() : TsFaultInjector::Plan {});
        TransportStreamAnalyser analyser;
        for (std::size_t i = 0, at = 0; at < stream.size(); ++i, at += kDatagram) {
            const std::size_t size = std::min(kDatagram, stream.size() - at);
            const std::int64_t arrivalUs = injector.inject(stream.data() + at, size, times[i]);
            analyser.feed(stream.data() + at, size, arrivalUs);
        }
        const TsFaultInjector::Counts& injected = injector.counts();
        const TsErrorCounts& errors = analyser.errors();
        SCOPED_TRACE(faults ? "every fault" : "clean");
        if (!faults) {
            EXPECT_EQ(injected.pcrDatagramLatestUs, 0);
        } else {
            EXPECT_EQ(injected.teiPackets, 5u);
            EXPECT_EQ(injected.crcSections, 3u);
            EXPECT_EQ(injected.scrambledPackets, 4u);
            EXPECT_EQ(injected.pcrGaps, 1u);
            EXPECT_EQ(injected.ptsGaps, 2u) << "video and audio";
            EXPECT_EQ(injected.pcrDatagramLatestUs, 15000);
        }
        EXPECT_EQ(errors.transportError, injected.teiPackets);
        EXPECT_EQ(errors.crc, injected.crcSections);
        EXPECT_EQ(errors.cat, injected.scrambledPackets);
        EXPECT_EQ(errors.pcrRepetition, injected.pcrGaps);
        EXPECT_EQ(errors.pcrDiscontinuity, injected.pcrGaps) << "the PCR after the gap is that far ahead";
        EXPECT_EQ(errors.pts, injected.ptsGaps);
        EXPECT_EQ(errors.pcrAccuracy, 0u);
        EXPECT_EQ(errors.total(), 0u) << "no first-priority error";
        EXPECT_EQ(analyser.pcrAccuracyJudged(), GetParam().constantRate);
        ASSERT_TRUE(analyser.pcrJitterMs());
        if (!GetParam().constantRate)
            continue;
        const double jitterMs = *analyser.pcrJitterMs();
        const double injectedMs = static_cast<double>(injected.pcrDatagramLatestUs) / 1000.0;
        if (!faults) {
            cleanJitterMs = jitterMs;
            EXPECT_LT(jitterMs, 7.1) << "seven packets at 1.5 Mbit/s span 7.0 ms";
        } else {
            EXPECT_GE(jitterMs, injectedMs - 0.01);
            EXPECT_LE(jitterMs, injectedMs + cleanJitterMs + 0.01);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Clips, TsFaults, ::testing::Values(Clip {"cbr", true}, Clip {"vbr", false}),
                         [](const ::testing::TestParamInfo<Clip>& info) { return std::string(info.param.name); });

// The relay on loopback, fed the constant-rate clip's first 4.6 s in real
// time (its stretches are timed by its own clock): the analyser on what it
// passes on, each datagram dated as it came, counts what it injected.
TEST(TsFaultRelay, InjectsOnLoopbackWhatTheAnalyserCounts)
{
    using namespace std::chrono;
    const std::vector<std::uint8_t> ts = readClip(Clip {"cbr", true});
    ASSERT_GT(ts.size(), 100 * kDatagram) << "no clip from ffmpeg in " << ZS_FAULT_CLIPS;
    const std::vector<std::int64_t> times = sendTimesUs(ts);
    const int receiver = tools::net::udpSocket(0, "test receiver");
    TsFaultRelay::Options options;
    options.targetPort = tools::net::boundPort(receiver);
    options.maxLifetime = 20s;
    options.plan = everyFault();
    TsFaultRelay relay(options);
    const int sender = tools::net::udpSocket(0, "test sender");
    const sockaddr_in relayAddress = tools::net::loopback(relay.port());

    TransportStreamAnalyser analyser;
    std::vector<std::uint8_t> buffer(65536);
    const steady_clock::time_point start = steady_clock::now();
    const auto nowUs = [&] { return duration_cast<microseconds>(steady_clock::now() - start).count(); };
    // Takes in what comes until untilUs, each datagram as it arrives.
    const auto receiveUntil = [&](std::int64_t untilUs) {
        for (;;) {
            const std::int64_t waitUs = std::max<std::int64_t>(0, untilUs - nowUs());
            pollfd fd {receiver, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>((waitUs + 999) / 1000)) <= 0)
                return;
            const ssize_t got = recv(receiver, buffer.data(), buffer.size(), 0);
            if (got > 0)
                analyser.feed(buffer.data(), static_cast<std::size_t>(got), nowUs());
        }
    };
    constexpr std::int64_t kSendUs = 4600000;
    for (std::size_t i = 0, at = 0; at < ts.size() && times[i] - times[0] < kSendUs; ++i, at += kDatagram) {
        receiveUntil(times[i] - times[0]);
        sendto(sender, ts.data() + at, std::min(kDatagram, ts.size() - at), 0,
               reinterpret_cast<const sockaddr*>(&relayAddress), sizeof relayAddress);
    }
    receiveUntil(nowUs() + 300000);
    relay.stop();
    close(sender);
    close(receiver);

    const TsFaultInjector::Counts injected = relay.counts();
    const TsErrorCounts& errors = analyser.errors();
    std::cout << "datagrams " << injected.datagrams << ", delayed " << injected.datagramsDelayed << ", PCRs removed "
              << injected.pcrsRemoved << ", PTS removed " << injected.ptsRemoved << "; PCR jitter "
              << analyser.pcrJitterMs().value_or(-1) << " ms\n";
    EXPECT_EQ(analyser.packets() * kPacket, std::min<std::size_t>(ts.size(), injected.datagrams * kDatagram));
    EXPECT_EQ(errors.transportError, 5u);
    EXPECT_EQ(errors.crc, 3u);
    EXPECT_EQ(errors.cat, 4u);
    EXPECT_EQ(errors.pcrRepetition, 1u);
    EXPECT_EQ(errors.pcrDiscontinuity, 1u);
    EXPECT_EQ(errors.pts, 2u);
    EXPECT_EQ(errors.pcrAccuracy, 0u);
    EXPECT_EQ(errors.total(), 0u);
    EXPECT_EQ(injected.ptsGaps, 2u);
    EXPECT_GT(injected.datagramsDelayed, 5u);
    // 15 ms late, and up to a datagram's span (7 ms) and a busy machine's own delays more.
    ASSERT_TRUE(analyser.pcrJitterMs());
    EXPECT_GE(*analyser.pcrJitterMs(), 14.9);
    EXPECT_LT(*analyser.pcrJitterMs(), 75.0);
}
