#pragma once

// The pipeline of one entry (playbin3's; a transport-only entry of a protocol
// whose streams come from its source alone, ParsedPipeline's): built with the
// entry's sinks and stream probes, its GStreamer state as asked for kept apart
// from the state the bus last reported, and the queries the entry's media info
// needs. Private to player/. Thread: the default GMainContext's; the probes it attaches run on
// streaming threads and only touch the entry's StreamCounters.
//
// Ownership: owned by the entry's EntryPlayback. Destroying it takes the source
// out of the counters, then brings the pipeline down through PipelineReaper.

#include "ContentSettings.h"
#include "GstHandles.h"
#include "StreamCounters.h"
#include "SourceSettings.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope {

class SinkFactory;

class EntryPipeline {
public:
    // The time after which a network entry is given up: one that cannot open,
    // and one that, once open, waits this long for data that does not come.
    static constexpr std::int32_t kNetworkTimeoutMs = 30000;

    // What every entry's pipeline is given.
    struct Settings {
        std::uintptr_t videoWindow = 0;      // X11 window for the picture; 0 for none
        std::int32_t bufferingTimeMs = 5000; // playbin3's buffer-duration
        std::int32_t maxBandwidth = 0;       // bits per second, 0 = no limit; playbin3's connection-speed
        // An open entry that has waited this long for data fails with "no data for N s".
        // Tests shorten it (see PlayerEngine).
        std::int32_t noDataTimeoutMs = kNetworkTimeoutMs;
        // An entry that has not opened in this time is skipped. Tests shorten it.
        std::int32_t openTimeoutMs = kNetworkTimeoutMs;
        // The streams go from their parsers to fake sinks, never to a decoder:
        // a frame is a parsed access unit, timed by the stream's own clock.
        bool transportOnly = false;
        // What the program's options give the entry's source: the CA file
        // HTTPS fetches trust, a WHEP endpoint's token and ICE servers.
        SourceSettings source;
        // When a picture is black or still and sound silent, and for how long.
        ContentSettings content;
    };

    // The pipeline for uri, or nullptr with error saying why it cannot be made.
    static std::unique_ptr<EntryPipeline> build(const std::string& uri, const Settings& settings, SinkFactory& sinks,
                                                std::shared_ptr<StreamCounters> counters, std::string& error);
    ~EntryPipeline();
    EntryPipeline(const EntryPipeline&) = delete;
    EntryPipeline& operator=(const EntryPipeline&) = delete;

    // Sets it prerolling. A live source cannot preroll: it is told so here and
    // nowhere else, and is then set playing at once.
    void start();
    // Whether the source is live (known from start() on).
    bool live() const { return m_live; }

    // The outcome arrives on the bus (state-changed or error), not from here.
    void requestState(GstState state);
    GstState current() const { return m_current; }
    // Takes note of a state-changed message; true when it was the pipeline's own.
    bool takeStateChange(GstMessage* message);
    // The usual cure for a lost clock: a new one is chosen on the way back to playing.
    void recoverClock();

    GstElement* element() const { return m_pipeline.get(); }

    // Seconds; 0 when not known.
    double durationS() const;
    // The position played (us), -1 when the pipeline cannot say.
    std::int64_t positionUs() const;
    // Lets go of a pipeline whose streams did not all end, without bringing it
    // down: it stays as it is until the process ends.
    void abandon();
    // Bytes of the source (a file's or an HTTP resource's size); 0 when not known.
    std::int64_t sourceSizeBytes() const;
    // Frames the video sink has rendered so far.
    std::uint64_t renderedFrames() const;
    // With GST_DEBUG_DUMP_DOT_DIR set, draws the pipeline there for a post-mortem.
    void drawGraph(const char* name) const;

private:
    explicit EntryPipeline(std::shared_ptr<StreamCounters> counters);

    std::shared_ptr<StreamCounters> m_counters;
    gsthandles::PipelinePtr m_pipeline;
    gsthandles::ElementPtr m_videoSink;
    GstState m_current = GST_STATE_NULL;
    GstState m_requested = GST_STATE_NULL;
    bool m_live = false;
};

} // namespace zephyrscope
