#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

typedef struct _GstElement GstElement;

namespace zephyrscope {

// What the streaming threads of one entry count. The threads only store into
// atomics here; the main loop reads them. One instance per entry, shared with
// the pad probes that feed it (they keep it alive until they are removed).
class StreamCounters {
public:
    StreamCounters() = default;
    ~StreamCounters();
    StreamCounters(const StreamCounters&) = delete;
    StreamCounters& operator=(const StreamCounters&) = delete;

    // Streaming threads.
    void frameArrived(std::int64_t monotonicUs);
    void dataArrived(std::uint64_t bytes, std::uint64_t buffers);
    void videoFormat(int width, int height, int fpsNumerator, int fpsDenominator);
    // Packets the transport gave up on: a gap in the sequence it delivered (SRT).
    void packetsNeverDelivered(std::uint64_t packets) { m_neverDelivered.fetch_add(packets); }

    // Main loop.
    // Frames per second × 100 over the frames of about the last second before nowUs:
    // (frames − 1) over the time from the first to the last of them.
    std::int32_t frameRateTimes100(std::int64_t nowUs) const;
    std::uint64_t framesSeen() const { return m_frames.load(); }
    // Monotonic time (us) of the last frame; 0 before the first.
    std::int64_t lastFrameUs() const;
    std::uint64_t bytes() const { return m_bytes.load(); }
    std::uint64_t buffers() const { return m_buffers.load(); }
    std::uint64_t neverDelivered() const { return m_neverDelivered.load(); }
    bool videoKnown() const { return m_videoKnown.load(); }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }
    int fpsNumerator() const { return m_fpsN.load(); }
    int fpsDenominator() const { return m_fpsD.load(); }

    // The source element of the entry (file, HTTP or RTSP source), set once by
    // the engine's source-setup handler; a new reference, or nullptr.
    void setSource(GstElement* source);
    GstElement* source() const;

private:
    static constexpr std::size_t kFrameRing = 512; // > one second of frames at 240 fps, with room
    std::array<std::atomic<std::int64_t>, kFrameRing> m_frameTimesUs {};
    std::atomic<std::uint64_t> m_frames {0};
    std::atomic<std::uint64_t> m_bytes {0};
    std::atomic<std::uint64_t> m_buffers {0};
    std::atomic<std::uint64_t> m_neverDelivered {0};
    std::atomic<bool> m_videoKnown {false};
    std::atomic<int> m_width {0}, m_height {0}, m_fpsN {0}, m_fpsD {1};

    mutable std::mutex m_sourceMutex;
    GstElement* m_source = nullptr;
};

} // namespace zephyrscope
