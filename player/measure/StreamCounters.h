#pragma once

#include "ContentMeasurement.h"
#include "GstHandles.h"
#include "PresentationTimes.h"
#include "SpliceWatch.h"
#include "TimestampGaps.h"
#include "TransportStreamWatch.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace zephyrscope {

struct Protocol;

// What the streaming threads of one entry count. The threads only store into
// atomics here; the main loop reads them. One instance per entry, shared with
// the pad probes that feed it (they keep it alive until they are removed).
class StreamCounters {
public:
    StreamCounters() = default;
    StreamCounters(const StreamCounters&) = delete;
    StreamCounters& operator=(const StreamCounters&) = delete;

    // Main loop: the monotonic time (us) the entry's open was asked for.
    void openRequested(std::int64_t monotonicUs) { m_openRequestedUs.store(monotonicUs); }

    // Main loop, before the pipeline runs: the entry's streams are parsed, not
    // decoded (--transport-only), so a frame is an access unit at the sink.
    void setTransportOnly(bool parsedOnly) { m_transportOnly.store(parsedOnly); }
    bool transportOnly() const { return m_transportOnly.load(); }

    // Streaming threads.
    void frameArrived(std::int64_t monotonicUs);
    // The video streaming thread, transport only: an access unit reached the
    // sink at monotonicUs, with its decoding time streamUs (-1 when it has
    // none) and the stream's frame duration frameUs (0 when not known).
    void accessUnitArrived(std::int64_t monotonicUs, std::int64_t streamUs, std::int64_t frameUs);
    void dataArrived(std::uint64_t bytes, std::uint64_t buffers);
    void videoFormat(int width, int height, int fpsNumerator, int fpsDenominator);
    // Packets the transport gave up on: a gap in the sequence it delivered (SRT).
    void packetsNeverDelivered(std::uint64_t packets) { m_neverDelivered.fetch_add(packets); }

    // Main loop.
    // Frames per second × 100 over the frames of about the last second before nowUs:
    // (frames − 1) over the time from the first to the last of them.
    std::int32_t frameRateTimes100(std::int64_t nowUs) const;
    // The same frames' rate on the stream's own clock: (frames − 1) over the
    // span of their decoding times. Transport only; 0 without such times.
    std::int32_t streamFrameRateTimes100(std::int64_t nowUs) const;
    // Frames missing from the gaps in the access units' decoding times.
    std::uint64_t framesMissing() const { return m_framesMissing.load(); }
    // Monotonic time (us) of the last frame; 0 before the first.
    std::int64_t lastFrameUs() const;
    // Monotonic time (us) of the first frame; 0 before it.
    std::int64_t firstFrameUs() const { return m_firstFrameUs.load(std::memory_order_relaxed); }
    // From the open asked for to the first frame shown (ms); 0 before that frame.
    std::int32_t startupMs() const;
    // Bytes received: what passed the counted pads, or, when an adaptive
    // demuxer downloaded more segment bytes than it passed on (it drops what it
    // cannot place in time), the segments' bytes as their servers sent them.
    std::uint64_t bytes() const
    {
        return std::max(m_bytes.load(), m_segmentBytes.load() + m_playlistBytes.load());
    }
    // Only the bytes that passed the counted pads: data the player took in.
    std::uint64_t bytesTakenIn() const { return m_bytes.load(); }
    std::uint64_t buffers() const { return m_buffers.load(); }
    std::uint64_t neverDelivered() const { return m_neverDelivered.load(); }
    bool videoKnown() const { return m_videoKnown.load(); }
    int width() const { return m_width.load(); }
    int height() const { return m_height.load(); }
    int fpsNumerator() const { return m_fpsN.load(); }
    int fpsDenominator() const { return m_fpsD.load(); }

    // Adaptive streams (HLS, DASH, MSS): the protocol of the demuxer that plays
    // them (core's row), set once by the element-setup handler; null for none.
    void setAdaptive(const Protocol* protocol) { m_adaptive.store(protocol); }
    const Protocol* adaptive() const { return m_adaptive.load(); }

    // Streaming threads: the manifest as it enters the demuxer (kept up to a
    // bound), and each HTTP request the demuxer finished, with its status and
    // its body's size when known (a playlist's is counted as bytes received;
    // segment bytes are counted as they enter the demuxer's parsers).
    void manifestData(const char* data, std::size_t size);
    // durationUs: from the request's start to its end, 0 when unknown.
    void requestFinished(const std::string& uri, unsigned status, const std::string& reason, std::uint64_t bytes,
                         std::int64_t durationUs = 0);

    // Main loop.
    std::string manifest() const { return locked(m_manifest); }
    // The playlists and MPDs the demuxer fetched whole since the last call, each once.
    std::vector<std::string> takeManifestsFetched();
    // When the manifest's first bytes came (wall clock, us); 0 before.
    std::int64_t manifestArrivedUs() const { return locked(m_manifestArrivedUs); }
    std::uint64_t segmentsReceived() const { return m_segmentsReceived.load(); }
    std::uint64_t segmentsFailed() const
    {
        std::lock_guard lock(m_adaptiveMutex);
        return m_failedSegments.size();
    }
    // The last segment downloaded whole: its download time (us) and bytes, both
    // of the same segment; zeros before one.
    struct SegmentDownload {
        std::int64_t us = 0;
        std::uint64_t bytes = 0;
    };
    SegmentDownload lastSegment() const { return locked(m_lastSegment); }
    // "Cannot download segment '<uri>': <status> <reason>" for the last segment
    // that failed, while no segment has been downloaded since; empty otherwise.
    std::string lastSegmentFailure() const { return locked(m_lastSegmentFailure); }
    // Monotonic time (us) that failure began (retries of it included); 0 when none.
    std::int64_t segmentFailingSinceUs() const { return locked(m_segmentFailingSinceUs); }
    // The variant playlist the demuxer fetched last: the variant it downloads now.
    std::string variantRequested() const { return locked(m_variantRequested); }

    // The source element of the entry (file, HTTP or RTSP source), set once by
    // the engine's source-setup handler; a new reference, or nullptr.
    void setSource(GstElement* source);
    GstElement* source() const;

    PresentationTimes& presentation() { return m_presentation; }
    // What enters the entry's MPEG-TS demuxer, analysed.
    TransportStreamWatch& transportStream() { return m_transportStream; }
    const TransportStreamWatch& transportStream() const { return m_transportStream; }
    // The splice commands the demuxer forwarded.
    SpliceWatch& splices() { return m_splices; }
    const SpliceWatch& splices() const { return m_splices; }
    // What the viewer got, from the sinks' pictures and sound.
    ContentMeasurement& content() { return m_content; }
    const ContentMeasurement& content() const { return m_content; }

private:
    static constexpr std::size_t kFrameRing = 512; // > one second of frames at 240 fps, with room
    // The frames of about the last second before nowUs, newest first: the ring's
    // index of the last and how many; count 0 when no rate can be had.
    struct FrameWindow {
        std::uint64_t last = 0, count = 0;
    };
    FrameWindow frameWindow(std::int64_t nowUs) const;
    // A copy of one of the fields m_adaptiveMutex guards, taken under it.
    template <typename T>
    T locked(const T& field) const
    {
        std::lock_guard lock(m_adaptiveMutex);
        return field;
    }
    std::array<std::atomic<std::int64_t>, kFrameRing> m_frameTimesUs {};
    // Beside each frame time: its decoding time on the stream's clock (transport only), else -1.
    std::array<std::atomic<std::int64_t>, kFrameRing> m_streamTimesUs {};
    std::atomic<bool> m_transportOnly {false};
    TimestampGaps m_gaps; // the video streaming thread's alone
    std::atomic<std::uint64_t> m_framesMissing {0};
    std::atomic<std::uint64_t> m_frames {0};
    std::atomic<std::int64_t> m_openRequestedUs {0};
    std::atomic<std::int64_t> m_firstFrameUs {0};
    std::atomic<std::uint64_t> m_bytes {0};
    std::atomic<std::uint64_t> m_buffers {0};
    std::atomic<std::uint64_t> m_neverDelivered {0};
    std::atomic<bool> m_videoKnown {false};
    std::atomic<int> m_width {0}, m_height {0}, m_fpsN {0}, m_fpsD {1};

    std::atomic<const Protocol*> m_adaptive {nullptr};
    std::atomic<std::uint64_t> m_segmentsReceived {0};
    std::atomic<std::uint64_t> m_segmentBytes {0};  // Content-Length of the segments downloaded
    std::atomic<std::uint64_t> m_playlistBytes {0}; // and of the playlists the demuxer fetched
    // Guards what follows. The last segment's time and bytes are written and read
    // together under it (a throughput from one segment's time and another's bytes
    // would be neither's); the download thread takes it at each request anyway,
    // and the main loop reads once per figures, so it is all but uncontended.
    mutable std::mutex m_adaptiveMutex;
    SegmentDownload m_lastSegment;
    std::string m_manifest;
    std::int64_t m_manifestArrivedUs = 0;
    std::vector<std::string> m_manifestsFetched; // at most kMaxManifestsFetched, each once
    bool m_manifestCut = false; // it reached kMaxManifestBytes: nothing more is kept
    std::set<std::string> m_failedSegments;
    std::string m_lastSegmentFailure;
    std::int64_t m_segmentFailingSinceUs = 0;
    std::string m_variantRequested;

    PresentationTimes m_presentation;

    mutable std::mutex m_sourceMutex;
    gsthandles::ElementPtr m_source;

    TransportStreamWatch m_transportStream;
    SpliceWatch m_splices;

    ContentMeasurement m_content;
};

} // namespace zephyrscope
