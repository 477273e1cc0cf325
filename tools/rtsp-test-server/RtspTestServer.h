#pragma once

#include "Impairment.h"
#include "LossModel.h"
#include "Outage.h"
#include "RtpSessionRelay.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct _GstRTSPServer GstRTSPServer;
typedef struct _GstRTSPMediaFactory GstRTSPMediaFactory;
typedef struct _GstRTSPMedia GstRTSPMedia;
typedef struct _GstRTSPClient GstRTSPClient;
typedef struct _GstRTSPContext GstRTSPContext;
typedef struct _GstBuffer GstBuffer;

namespace zephyrscope::tools {

// An RTSP server on 127.0.0.1 serving one generated (or file-based) H.264
// stream at a mount point, over UDP and TCP alike. Every dropEvery-th RTP
// packet leaving the payloader is dropped; then a loss model (random or burst
// loss) and an outage (from the first packet on) may drop more, counted alike.
// A session over UDP may be held as well: with a hold impairment, each UDP
// SETUP gets an RtpSessionRelay in this process, and the stream's RTP and RTCP
// go to the relay, which delays, rate-caps (or drops) them on their way to the
// client's ports. The client's SETUP reply still names its own ports, so it
// sees an ordinary session; its receiver reports reach the server directly.
// Over TCP nothing is held: the packets travel inside the RTSP connection.
// Main-loop thread, except the counting probe, which updates atomics and the
// impairment's models (under their own lock).
class RtspTestServer {
public:
    // What the generated stream shows; all of them move in every frame.
    enum class Picture {
        Ball,     // a white ball on black: black by a 98 %-dark-pixels measure
        GreyBall, // the ball circling on mid-grey: neither black nor still
        Bars,     // colour bars scrolling to the left
        Snow,     // noise: every frame fills the bit rate it is given
    };
    // The picture named name ("ball", "grey-ball", "bars"); false for another name.
    static bool pictureNamed(const std::string& name, Picture& picture);

    struct Options {
        int port = 0;            // 0: a free port
        std::string mount = "/clip";
        int dropEvery = 0;       // 0: drop nothing
        double seconds = 3.0;    // length of the generated stream
        int fps = 25;
        int width = 320;
        int height = 240;
        Picture picture = Picture::Ball;
        int bitrateKbps = 400;   // the generated stream's most; the ball needs little of it
        std::string file;        // a Matroska H.264 clip to serve instead
        impair::LossModel::Params loss;
        impair::Outage::Params outage; // its start measured from the first packet
        // What the relay in front of each UDP session does; nothing: no relay.
        impair::Impairment::Params hold;
        bool holds() const
        {
            return hold.delay.delayUs > 0 || hold.delay.jitterUs > 0 || hold.rate.bitsPerSecond > 0;
        }
    };

    explicit RtspTestServer(Options options);
    ~RtspTestServer();
    RtspTestServer(const RtspTestServer&) = delete;
    RtspTestServer& operator=(const RtspTestServer&) = delete;

    // Attaches to the default main context; returns the bound port, or 0 on failure.
    int start();

    std::uint64_t sentPackets() const { return m_sent.load(); }
    std::uint64_t droppedPackets() const { return m_dropped.load(); }
    // Dropped packets after the last one delivered: no receiver can know of them,
    // as no later sequence number arrives to show the gap.
    std::uint64_t trailingDroppedPackets() const { return m_trailingDropped.load(); }
    // The relays' counts, summed over every session held so far.
    RtpSessionRelay::Counts relayCounts() const;
    std::size_t relayCount() const { return m_relays.size(); }
    // The frames the payloader sent and what its drops did to them.
    RtpH264FrameDamage frameDamage() const;
    // The outage as the data saw it, on the monotonic clock (us): the last packet
    // sent before it and the first after it; zeros before one has ended.
    struct DataGap {
        std::int64_t fromUs = 0, toUs = 0;
    };
    DataGap dataGap() const;
    bool holds() const { return m_options.holds(); }

private:
    static void onMediaConfigure(GstRTSPMediaFactory* factory, GstRTSPMedia* media, void* self);
    static void onClientConnected(GstRTSPServer* server, GstRTSPClient* client, void* self);
    static void onSetupRequest(GstRTSPClient* client, GstRTSPContext* context, void* self);
    bool countAndDecideDrop(GstBuffer* buffer);
    std::string launchLine() const;

    Options m_options;
    GstRTSPServer* m_server = nullptr;
    unsigned m_sourceId = 0;
    std::atomic<std::uint64_t> m_sent {0};
    std::atomic<std::uint64_t> m_dropped {0};
    std::atomic<std::uint64_t> m_trailingDropped {0};
    mutable std::mutex m_impairMutex; // the payloader's streaming thread, and a new one after a restart
    RtpH264FrameDamage m_frameDamage;  // what the drops did to the frames; under m_impairMutex
    impair::LossModel m_loss;
    impair::Outage m_outage;
    std::int64_t m_firstPacketUs = 0;
    std::int64_t m_lastSentUs = 0; // under m_impairMutex
    bool m_swallowedSinceSent = false;
    DataGap m_gap;
    std::vector<std::unique_ptr<RtpSessionRelay>> m_relays; // main loop only

    friend struct RtspTestServerProbe;
};

} // namespace zephyrscope::tools
