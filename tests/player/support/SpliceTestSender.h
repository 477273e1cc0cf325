#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace zephyrscope::testing {

// A live H.264/MPEG-TS stream (320x240, 25 fps) made by GStreamer's
// mpegtsmux, sent as raw UDP to 127.0.0.1:port or offered there by an SRT
// listener with a fixed latency, carrying SCTE-35 splice_insert
// commands on its splice PID: each made with GStreamer's section library and
// handed to the muxer when the stream reaches its send time. The muxer puts
// the splice point on the stream's clock; the sender notes the wall-clock time
// it sent it. Main-loop thread; the pipeline streams on its own.
class SpliceTestSender {
public:
    struct Splice {
        std::uint32_t eventId = 0;
        bool out = true;           // out of the network (a break begins), else back in
        std::int64_t sendAtMs = 0; // stream time the section is handed to the muxer
        std::int64_t spliceAtMs = 0;
        std::int64_t durationMs = 0; // out only; 0 for none
        // When this sender's stream reached the splice point (ms since 1970 UTC).
        // When the splice point takes effect on the stream's clock (ms since 1970
        // UTC): when this sender put it on the wire (its running time plus its
        // pipeline's latency) plus the muxer's PCR offset.
        std::optional<std::int64_t> spliceWallMs;
        std::int64_t latencyMs = 0;
        bool sent = false;
    };

    // srtLatencyMs: 0 sends raw UDP; else an SRT listener with that latency.
    SpliceTestSender(std::uint16_t port, double seconds, std::vector<Splice> splices, int srtLatencyMs = 0);
    ~SpliceTestSender();
    SpliceTestSender(const SpliceTestSender&) = delete;
    SpliceTestSender& operator=(const SpliceTestSender&) = delete;

    // Starts sending; throws std::runtime_error when it cannot.
    void start();
    // The splices with what happened to them so far.
    std::vector<Splice> splices() const;

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> m_pipeline;
    std::uint16_t m_port;
    double m_seconds;
    int m_srtLatencyMs;
    mutable std::mutex m_mutex;
    std::vector<Splice> m_splices;
};

} // namespace zephyrscope::testing
