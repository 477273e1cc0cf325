// zephyrscope_rtsp_server [--port N] [--mount /clip] [--drop-every N] [--seconds S]
//                         [--fps F] [--size WxH] [--picture ball|grey-ball|bars|snow]
//                         [--bitrate KBIT_PER_S]
//                         [--file clip.mkv] [--timeout S]
//                         [--loss random|burst --loss-rate R [--burst-mean N] [--seed N]]
//                         [--outage-at S --outage-for S]
//                         [--hold-delay MS [--hold-jitter MS] [--hold-seed N]]
//                         [--hold-rate BITS_PER_S [--hold-queue-ms MS]]
//
// The generated stream shows --picture: a white ball moving on black (the
// default; so dark that a black-picture measure finds it black throughout), the
// ball circling on mid-grey, or colour bars scrolling left; each moves in every
// frame, and the last two are neither black nor frozen; or snow, which fills
// whatever --bitrate allows (400 kbit/s by default), for a stream of a known rate.
// --file serves a clip instead.
//
// --loss drops packets at random (each with probability R) or in bursts (a
// Gilbert-Elliott chain losing R of them in bursts of N on average); an outage
// drops every packet from S seconds after the first for S seconds. Both after
// --drop-every, and counted as dropped.
//
// --hold-* put a relay in front of each session over UDP: it delays every RTP
// packet by MS with a uniform jitter of +-MS (in order), or passes them at
// most at the rate, behind a drop-tail queue of MS at that rate (default 200),
// dropping what overflows it.
//
// Prints "PORT <n>" once it listens. Ends on end of standard input, on SIGINT or
// SIGTERM, or after the timeout (default 120 s), and then prints
// "STATS sent=<packets> dropped=<packets> trailing=<packets>", where trailing
// counts the dropped packets after the last one delivered, which no receiver can
// count as lost, then " frames-sent=<n> frames-key=<n> frames-damage-bound=<n>
// frames-damaged-whole=<n>": the H.264 frames the payloader sent, the key
// frames among them, and the most frames a receiver can show damaged after the
// drops (RtpH264FrameDamage); after an outage, " frames-gap-us=<us>
// frames-key-after-gap-us=<us>": from the last packet sent before it to the
// first after it, and to the first packet of the first key frame sent whole
// after it (-1: none); then " frames-cut-to-next=<n> frames-cut-to-key=<n>
// frames-period-us=<us> frames-shown-since-key=<n> frames-next-since-key=<n>":
// the frames from the first frame the outage hit to the first after it sent
// whole and to the first key frame sent whole after it (-1: none), their mean
// spacing, and the frames from the last key frame to the last whole frame
// before the gap and to the first after it (-1: no key frame before). With a
// hold, the line goes on with the relays' counts:
// " relay-sessions=<n> relay-in=<rtp> relay-forwarded=<rtp> relay-dropped=<rtp>
// relay-trailing=<rtp> relay-never-forwarded=<rtp> relay-capped=<rtp>
// relay-held=<rtp> relay-delayed=<rtp> relay-last-frame=<rtp> relay-rtcp-down=<rtcp> relay-rtcp-up=<rtcp>
// relay-least-hold-us=<us> relay-most-hold-us=<us> relay-total-hold-us=<us>
// relay-frames-sent=<n> relay-frames-key=<n> relay-frames-damage-bound=<n> relay-frames-damaged-whole=<n>".
// "STATS" lines also answer a "stats" line on standard input.

#include "RtspTestServer.h"

#include <glib-unix.h>
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using zephyrscope::tools::RtpH264FrameDamage;
using zephyrscope::tools::RtspTestServer;

namespace {

struct Run {
    GMainLoop* loop = nullptr;
    RtspTestServer* server = nullptr;
};

// The frames about the gap, for what the picture does after it: how many from
// the first frame the outage hit to the first after it sent whole and to the
// first whole key frame, their mean spacing, and how many frames each of the last
// whole frame before the gap and the first after it came after a key frame
// (sent or dropped).
void printFramesAboutGap(const RtpH264FrameDamage& frames, const RtspTestServer::DataGap& gap)
{
    const auto log = frames.frameLog();
    std::int64_t cut = -1, next = -1, key = -1, shownSinceKey = -1, nextSinceKey = -1, sinceKey = -1;
    for (std::size_t i = 0; i < log.size(); ++i) {
        const auto& frame = log[i];
        const auto index = static_cast<std::int64_t>(i);
        sinceKey = frame.key ? 0 : (sinceKey < 0 ? -1 : sinceKey + 1);
        if (frame.firstPacketUs <= gap.fromUs && cut < 0 && !frame.hit)
            shownSinceKey = sinceKey;
        else if (frame.firstPacketUs <= gap.toUs && frame.hit && cut < 0)
            cut = index;
        else if (frame.firstPacketUs >= gap.toUs && !frame.hit && next < 0)
            next = index, nextSinceKey = sinceKey;
        if (next >= 0 && key < 0 && frame.key && !frame.hit)
            key = index;
    }
    if (log.size() < 2 || cut < 0 || next < 0)
        return;
    const auto periodUs = (log.back().firstPacketUs - log.front().firstPacketUs) / static_cast<std::int64_t>(log.size() - 1);
    std::printf(" frames-cut-to-next=%lld frames-cut-to-key=%lld frames-period-us=%lld"
                " frames-shown-since-key=%lld frames-next-since-key=%lld",
                static_cast<long long>(next - cut), static_cast<long long>(key < 0 ? -1 : key - cut),
                static_cast<long long>(periodUs), static_cast<long long>(shownSinceKey),
                static_cast<long long>(nextSinceKey));
}

void printStats(const RtspTestServer& server)
{
    using ull = unsigned long long;
    std::printf("STATS sent=%llu dropped=%llu trailing=%llu", static_cast<ull>(server.sentPackets()),
                static_cast<ull>(server.droppedPackets()), static_cast<ull>(server.trailingDroppedPackets()));
    const RtpH264FrameDamage frames = server.frameDamage();
    std::printf(" frames-sent=%llu frames-key=%llu frames-damage-bound=%llu frames-damaged-whole=%llu",
                static_cast<ull>(frames.frames()), static_cast<ull>(frames.keyFrames()),
                static_cast<ull>(frames.damageBound()), static_cast<ull>(frames.damagedWhole()));
    const RtspTestServer::DataGap gap = server.dataGap();
    if (gap.toUs > 0) {
        const std::int64_t keyUs = frames.firstWholeKeyFrameFrom(gap.toUs);
        std::printf(" frames-gap-us=%lld frames-key-after-gap-us=%lld", static_cast<long long>(gap.toUs - gap.fromUs),
                    static_cast<long long>(keyUs > 0 ? keyUs - gap.fromUs : -1));
        printFramesAboutGap(frames, gap);
    }
    if (server.holds()) {
        const auto c = server.relayCounts();
        std::printf(" relay-sessions=%llu relay-in=%llu relay-forwarded=%llu relay-dropped=%llu relay-trailing=%llu"
                    " relay-never-forwarded=%llu relay-capped=%llu relay-held=%llu relay-delayed=%llu"
                    " relay-last-frame=%llu relay-rtcp-down=%llu relay-rtcp-up=%llu relay-least-hold-us=%lld relay-most-hold-us=%lld"
                    " relay-total-hold-us=%lld relay-frames-sent=%llu relay-frames-key=%llu"
                    " relay-frames-damage-bound=%llu relay-frames-damaged-whole=%llu",
                    static_cast<ull>(server.relayCount()), static_cast<ull>(c.rtpIn), static_cast<ull>(c.forwarded),
                    static_cast<ull>(c.dropped), static_cast<ull>(c.trailingDrops),
                    static_cast<ull>(c.neverForwarded), static_cast<ull>(c.impaired.capped),
                    static_cast<ull>(c.impaired.held), static_cast<ull>(c.impaired.delayed),
                    static_cast<ull>(c.lastFramePackets), static_cast<ull>(c.rtcpToReceiver), static_cast<ull>(c.rtcpToSender),
                    static_cast<long long>(c.leastHoldUs), static_cast<long long>(c.mostHoldUs),
                    static_cast<long long>(c.totalHoldUs), static_cast<ull>(c.videoFrames),
                    static_cast<ull>(c.keyFrames), static_cast<ull>(c.framesDamageBound),
                    static_cast<ull>(c.framesDamagedWhole));
    }
    std::printf("\n");
    std::fflush(stdout);
}

gboolean onStdin(GIOChannel* channel, GIOCondition condition, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    if (condition & G_IO_IN) {
        gchar* line = nullptr;
        gsize length = 0;
        const GIOStatus status = g_io_channel_read_line(channel, &line, &length, nullptr, nullptr);
        if (status == G_IO_STATUS_NORMAL && line) {
            if (std::strncmp(line, "stats", 5) == 0)
                printStats(*run->server);
            g_free(line);
            return G_SOURCE_CONTINUE;
        }
        g_free(line);
        if (status == G_IO_STATUS_AGAIN)
            return G_SOURCE_CONTINUE;
    }
    g_main_loop_quit(run->loop);
    return G_SOURCE_REMOVE;
}

gboolean quitLoop(gpointer data)
{
    g_main_loop_quit(static_cast<Run*>(data)->loop);
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv)
{
    gst_init(&argc, &argv);
    RtspTestServer::Options options;
    int timeoutS = 120;
    double holdQueueMs = 200.0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--port")
            options.port = std::atoi(value.c_str());
        else if (key == "--mount")
            options.mount = value;
        else if (key == "--drop-every")
            options.dropEvery = std::atoi(value.c_str());
        else if (key == "--seconds")
            options.seconds = std::atof(value.c_str());
        else if (key == "--fps")
            options.fps = std::atoi(value.c_str());
        else if (key == "--size")
            std::sscanf(value.c_str(), "%dx%d", &options.width, &options.height);
        else if (key == "--picture" && RtspTestServer::pictureNamed(value, options.picture)) {
            // named, and set
        }
        else if (key == "--bitrate")
            options.bitrateKbps = std::atoi(value.c_str());
        else if (key == "--file")
            options.file = value;
        else if (key == "--loss" && (value == "random" || value == "burst"))
            options.loss.kind = value == "random" ? zephyrscope::tools::impair::LossModel::Kind::Random
                                                  : zephyrscope::tools::impair::LossModel::Kind::GilbertElliott;
        else if (key == "--loss-rate")
            options.loss.rate = std::atof(value.c_str());
        else if (key == "--burst-mean")
            options.loss.meanBurst = std::atof(value.c_str());
        else if (key == "--seed")
            options.loss.seed = std::strtoull(value.c_str(), nullptr, 10);
        else if (key == "--outage-at")
            options.outage.startUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1e6);
        else if (key == "--outage-for")
            options.outage.durationUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1e6);
        else if (key == "--hold-delay")
            options.hold.delay.delayUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1000);
        else if (key == "--hold-jitter")
            options.hold.delay.jitterUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1000);
        else if (key == "--hold-seed")
            options.hold.delay.seed = std::strtoull(value.c_str(), nullptr, 10);
        else if (key == "--hold-rate")
            options.hold.rate.bitsPerSecond = std::atoll(value.c_str());
        else if (key == "--hold-queue-ms")
            holdQueueMs = std::atof(value.c_str());
        else if (key == "--timeout")
            timeoutS = std::atoi(value.c_str());
        else {
            std::fprintf(stderr, "Cannot use option '%s %s': unknown, or a value out of its range\n", key.c_str(),
                         value.c_str());
            return 2;
        }
    }

    // A bottleneck's queue holds what the link sends in that time.
    options.hold.rate.queueBytes = static_cast<std::int64_t>(options.hold.rate.bitsPerSecond / 8.0 * holdQueueMs / 1000.0);
    RtspTestServer server(options);
    const int port = server.start();
    if (port <= 0) {
        std::fprintf(stderr, "Cannot start RTSP server '127.0.0.1:%d': bind failed\n", options.port);
        return 1;
    }
    std::printf("PORT %d\n", port);
    std::fflush(stdout);

    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    run.server = &server;
    GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onStdin, &run);
    g_timeout_add_seconds(static_cast<guint>(timeoutS > 0 ? timeoutS : 120), quitLoop, &run);
    g_unix_signal_add(SIGINT, quitLoop, &run);
    g_unix_signal_add(SIGTERM, quitLoop, &run);
    g_main_loop_run(run.loop);

    printStats(server);
    g_io_channel_unref(input);
    g_main_loop_unref(run.loop);
    return 0;
}
