#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope::testing {

// A live H.264/MPEG-TS stream of noise (about 1 Mbit/s, seven TS packets a
// datagram) sent in this process to host:port as raw UDP (udpsink), RTP
// (rtpmp2tpay and udpsink) or RIST (rtpmp2tpay and ristsink, which also takes
// RTCP on port + 1 and retransmits what the receiver asks for), or RIST by
// librist's own sender: the stream as raw UDP to a `ristsender` process (the
// simple profile), which sends it on, or by ffmpeg's RIST output (its own
// test picture, librist's simple profile inside); each such process is started
// and ended with this object and bounded in time by itself.
// Main-loop thread; the pipeline streams on its own.
class BroadcastTestSender {
public:
    enum class Transport { Udp, Rtp, Rist, LibRist, FfmpegRist };
    // The picture's rate, the frames' timestamps that far apart.
    static constexpr int kFramesPerSecond = 25;

    // seconds: how long it sends before it stops; keyFrameInterval: frames from
    // one key frame to the next, at 25 fps (1: every frame is one).
    BroadcastTestSender(Transport transport, std::string host, std::uint16_t port, double seconds,
                        int keyFrameInterval = 25);
    ~BroadcastTestSender();
    BroadcastTestSender(const BroadcastTestSender&) = delete;
    BroadcastTestSender& operator=(const BroadcastTestSender&) = delete;

    // Starts sending; throws std::runtime_error when it cannot.
    void start();
    // Stops sending at once, as a sender that fails does.
    void pause();

    // A UDP port on 127.0.0.1 nothing holds right now, even, with the next one free too.
    static std::uint16_t freePortPair();
    // Whether some socket holds UDP port on any address: a receiver listens there.
    static bool portTaken(std::uint16_t port);

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> m_pipeline;
    Transport m_transport;
    std::string m_host;
    std::uint16_t m_port;
    double m_seconds;
    int m_keyFrameInterval;
    int m_ristSender = -1; // the ristsender or ffmpeg process, for LibRist and FfmpegRist
};

} // namespace zephyrscope::testing
