#include "PlayerTestEnvironment.h"

#include "BroadcastTestSender.h"
#include "EventRecorder.h"
#include "LoopbackSockets.h"
#include "MainLoopWait.h"
#include "NetworkFigures.h"
#include "PlayerEngine.h"
#include "TsFaultRelay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

enum class Carrier { Udp, Rtp, Srt, Rist };

struct FaultRun {
    Carrier carrier;
    std::int64_t jitterMs = 0; // every fifth datagram with a PCR sent that much late
};

// Takes the fault relay's raw TS datagrams and carries them to the player on
// another transport, with GStreamer's own senders. The queue holds what comes
// before an SRT caller connects, so no fault is sent into the void.
class CarrierPipeline {
public:
    CarrierPipeline(Carrier carrier, std::uint16_t input, std::uint16_t output)
    {
        const std::string to = std::to_string(output);
        std::string launch = "udpsrc address=127.0.0.1 port=" + std::to_string(input)
            + " caps=video/mpegts,systemstream=true,packetsize=188"
              " ! queue max-size-buffers=0 max-size-bytes=0 max-size-time=0 ! ";
        switch (carrier) {
        case Carrier::Udp:
            return;
        case Carrier::Rtp:
            launch += "rtpmp2tpay ! udpsink host=127.0.0.1 port=" + to;
            break;
        case Carrier::Srt:
            launch += "srtsink wait-for-connection=true sync=false uri=srt://127.0.0.1:" + to + "?mode=listener";
            break;
        case Carrier::Rist:
            launch += "rtpmp2tpay ! ristsink address=127.0.0.1 port=" + to;
            break;
        }
        GError* error = nullptr;
        m_pipeline = gst_parse_launch(launch.c_str(), &error);
        const std::string reason = error ? error->message : "";
        g_clear_error(&error);
        if (!m_pipeline)
            throw std::runtime_error("Cannot make pipeline 'carrier': " + reason);
        if (gst_element_set_state(m_pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
            throw std::runtime_error("Cannot start pipeline 'carrier': state change failed");
    }
    ~CarrierPipeline()
    {
        if (!m_pipeline)
            return;
        gst_element_set_state(m_pipeline, GST_STATE_NULL);
        gst_object_unref(m_pipeline);
    }
    CarrierPipeline(const CarrierPipeline&) = delete;
    CarrierPipeline& operator=(const CarrierPipeline&) = delete;

private:
    GstElement* m_pipeline = nullptr;
};

const char* schemeOf(Carrier carrier)
{
    switch (carrier) {
    case Carrier::Udp: return "udp";
    case Carrier::Rtp: return "rtp";
    case Carrier::Srt: return "srt";
    case Carrier::Rist: return "rist";
    }
    return "";
}

// Sends a clip in real time at 1.5 Mbit/s, seven packets a datagram, each when its last byte is due.
void sendInRealTime(const std::vector<char>& ts, std::uint16_t port)
{
    constexpr std::size_t kDatagram = 7 * 188;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in to = tools::net::loopback(port);
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < ts.size(); at += kDatagram) {
        const std::size_t size = std::min(kDatagram, ts.size() - at);
        std::this_thread::sleep_until(start + std::chrono::microseconds((at + size) * 16 / 3));
        sendto(fd, ts.data() + at, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    close(fd);
}

class PlayerTsFaults : public EngineFixture<::testing::TestWithParam<FaultRun>> {};

} // namespace

// A constant-rate stream from ffmpeg, sent in real time through a relay that
// damages three packets, breaks two PAT or PMT CRCs, scrambles two packets,
// takes the PCRs out for 300 ms and then PTS and DTS for a second; carried to
// the player as raw UDP, RTP, SRT or RIST. The player counts each fault exactly,
// whatever carried it. The relay paces the stream by its PCRs and shifts every
// fifth datagram with a PCR 2 ms, or not at all; on raw UDP, where the kernel
// stamps each datagram's arrival, the player's PCR jitter is what the relay's own
// send times show.
TEST_P(PlayerTsFaults, SecondPriorityErrorsAreTheRelaysFaults)
{
#ifndef ZS_FAULT_CLIPS
    GTEST_SKIP() << "no ffmpeg to write the constant-rate clip";
#else
    std::ifstream in(std::string(ZS_FAULT_CLIPS) + "/cbr.ts", std::ios::binary);
    const std::vector<char> ts {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    ASSERT_GT(ts.size(), 1000000u) << "no clip from ffmpeg in " << ZS_FAULT_CLIPS;
    const Carrier carrier = GetParam().carrier;
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const std::uint16_t carrierPort = carrier == Carrier::Udp ? port : BroadcastTestSender::freePortPair();
    tools::TsFaultRelay::Options options;
    options.targetPort = carrierPort;
    options.maxLifetime = 60s;
    options.plan.teiPackets = 3;
    options.plan.crcSections = 2;
    options.plan.scrambledPackets = 2;
    options.plan.pcrBlankMs = 300;
    options.plan.ptsHoldMs = 1000;
    options.plan.pacedLeadMs = 200;
    options.plan.jitterEvery = GetParam().jitterMs > 0 ? 5 : 0;
    options.plan.jitterDelayMs = GetParam().jitterMs;
    tools::TsFaultRelay relay(options);
    const CarrierPipeline carrying(carrier, carrierPort, port);
    engine->putURL(std::string(schemeOf(carrier)) + "://127.0.0.1:" + std::to_string(port));
    // A caller connects to SRT's listener; on the others, the player binds the port.
    if (carrier != Carrier::Srt) {
        ASSERT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(port); }, 20s));
    }
    std::thread sending([&] { sendInRealTime(ts, relay.port()); });
    const bool playing = RunMainLoopUntil([&] { return events.count("play 3") >= 1; }, 20s);
    // The stream is over when no packet came for 1.5 s.
    std::int32_t last = -1;
    auto since = std::chrono::steady_clock::now();
    RunMainLoopUntil(
        [&] {
            const std::int32_t now = engine->figures().receivedPackets;
            if (now != last)
                since = std::chrono::steady_clock::now();
            last = now;
            return std::chrono::steady_clock::now() - since > 1500ms;
        },
        40s);
    sending.join();
    ASSERT_TRUE(playing) << events.sequence();
    const NetworkFigures end = engine->figures();
    const tools::TsFaultInjector::Counts injected = relay.counts();
    ASSERT_EQ(injected.teiPackets + injected.crcSections + injected.scrambledPackets, 7u);
    ASSERT_EQ(injected.pcrGaps, 1u);
    ASSERT_EQ(injected.ptsGaps, 2u) << "video and audio";
    const TsErrorCounts& counted = end.transportErrors;
    EXPECT_EQ(counted.transportError, injected.teiPackets);
    EXPECT_EQ(counted.crc, injected.crcSections);
    EXPECT_EQ(counted.cat, injected.scrambledPackets);
    EXPECT_EQ(counted.pcrRepetition, injected.pcrGaps);
    EXPECT_EQ(counted.pcrDiscontinuity, injected.pcrGaps) << "the PCR after the gap is that far ahead";
    EXPECT_EQ(counted.pts, injected.ptsGaps);
    EXPECT_EQ(counted.pcrAccuracy, 0u) << "the PCRs that stayed are where the constant rate puts them";
    EXPECT_EQ(counted.total(), 0u) << "no first-priority error: nothing was lost on the way";

    const std::optional<std::int64_t> sentJitterUs = relay.sentPcrJitterUs();
    ASSERT_TRUE(sentJitterUs.has_value());
    RecordProperty("relay_pcr_jitter_us", std::to_string(*sentJitterUs));
    if (carrier != Carrier::Udp) {
        EXPECT_FALSE(end.pcrJitterMs.has_value()) << "no arrival time of the datagrams that carried the TS";
        return;
    }
    ASSERT_TRUE(end.pcrJitterMs.has_value());
    RecordProperty("player_pcr_jitter_us", std::to_string(std::lround(*end.pcrJitterMs * 1000)));
    // The relay's sends also show its own thread's stalls on a busy machine
    // (paced alone, 0.1 to 13 ms on 2 shared cores): the truth is what it measured it sent.
    EXPECT_NEAR(*end.pcrJitterMs * 1000, static_cast<double>(*sentJitterUs), 500.0);
    if (GetParam().jitterMs > 0) {
        EXPECT_GE(*sentJitterUs, GetParam().jitterMs * 1000) << "the shift, and the relay's own lateness";
        EXPECT_GT(injected.datagramsDelayed, 10u);
    } else if (*sentJitterUs < 500) {
        // A clean stream reads clean: the player adds no jitter of its own.
        EXPECT_LT(*end.pcrJitterMs, 0.5);
    } else {
        // Even a real-time relay thread is sometimes held a few ms on a shared
        // virtual machine (the timer was due; the thread did not run): then the
        // stream was not clean, and the reading above is what is checked.
        std::cout << "the clean stream left the relay with " << *sentJitterUs << " us of jitter (real-time: "
                  << relay.pacedInRealTime() << ")\n";
    }
#endif
}

INSTANTIATE_TEST_SUITE_P(Carriers, PlayerTsFaults,
                         ::testing::Values(FaultRun {Carrier::Udp, 2}, FaultRun {Carrier::Udp}, FaultRun {Carrier::Rtp},
                                           FaultRun {Carrier::Srt}, FaultRun {Carrier::Rist}),
                         [](const ::testing::TestParamInfo<FaultRun>& info) {
                             std::string name = schemeOf(info.param.carrier);
                             name[0] = static_cast<char>(name[0] - 'a' + 'A');
                             if (info.param.jitterMs > 0)
                                 name += "Jitter" + std::to_string(info.param.jitterMs) + "ms";
                             return name;
                         });
