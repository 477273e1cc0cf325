#pragma once

// One entry played once, from its open to its end: everything whose life is the
// entry's. It owns the entry's pipeline and bus watch, the timers that bound its
// opening, the stream counters its probes feed, its media info and statistics,
// and, when its source failed without saying why, the connection probe that
// finds out. Its progress is one State, changed only in enter(), on the steps
// its BusTranslator reads from each bus message and on its own timers.
//
// Thread: the default GMainContext's, as for the engine that owns it; bus
// messages and timers arrive there. Ownership: the engine keeps the playback of
// the current entry. At a final state the playback keeps its outcome and tells
// the engine, which destroys it later, from its own event queue: never while a
// method of the playback (or of anything it owns) is on the stack.

#include "BusTranslator.h"
#include "DataFlowWatch.h"
#include "EntryFailureCauses.h"
#include "EntryMeasurement.h"
#include "EntryPipeline.h"
#include "MediaInfo.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

class ConnectionProbe;
class SinkFactory;

class EntryPlayback {
public:
    // In the order an entry goes through them; from Failing on, its pipeline is gone.
    enum class State {
        Opening,   // on the way to preroll (live: to playing); the media is not known yet
        Opened,    // the media is known; on the way to playing
        Buffering, // paused to fill the buffer, or live and waiting for the first picture
        Playing,
        Failing,   // the pipeline failed and is gone; a connection probe looks for the reason
        // Final: the pipeline, its timers and the probe are gone; the figures stay as they were.
        Stuck,   // a local file that did not open in time; worth opening once more
        Ended,   // played to its end
        Failed,  // failure() says why
        Stopped, // stopped by the program
    };

    // Why an entry shows Buffering.
    enum class BufferingCause {
        None,
        QueueFilling,         // paused until the buffering queue is full (not live)
        AwaitingFirstPicture, // live, playing, and its jitter buffer not yet through
        Stalled,              // the data-flow watch saw the data or the picture stop
    };

    // Told of each change of state once it has taken effect. It must not destroy
    // the playback from inside the call: at a final state, it removes it later.
    class Listener {
    public:
        virtual void entryStateChanged(State state) = 0;

    protected:
        ~Listener() = default;
    };

    struct Entry {
        std::string uri;
        std::string title;     // the playlist's title for it; may be empty
        std::string sourceUrl; // the URL the program names it by
        // When the program asked for it, on the monotonic clock, where that was
        // before the entry began (its URL fetched first to tell what it is); 0:
        // as it begins. Its start-up is counted from then.
        std::int64_t requestedUs = 0;
    };

    // announced: its open is reported to the program (not when the same clip is
    // played again after a stop). mayRetry: a local file stuck opening ends as
    // Stuck after a while (not on the second try).
    EntryPlayback(Entry entry, const EntryPipeline::Settings& settings, SinkFactory& sinks, bool announced,
                  bool mayRetry, Listener& listener);
    ~EntryPlayback();
    EntryPlayback(const EntryPlayback&) = delete;
    EntryPlayback& operator=(const EntryPlayback&) = delete;

    // Builds the pipeline and sets it opening; without a pipeline the entry has Failed.
    void start();
    // Stopped with a final sample. A Failing entry stops waiting for its probe
    // and is Failed with the reason it had. Nothing happens once it has ended.
    void stop();

    State state() const { return m_state; }
    // Whether it has reached a final state (Stuck, Ended, Failed or Stopped).
    bool ended() const { return m_state >= State::Stuck; }
    bool announced() const { return m_announced; }
    // What is known of the media once it has opened.
    const std::optional<MediaInfo>& media() const { return m_media; }
    const std::string& failure() const { return m_failure; }
    // The entry's figures; the rates are current only while its pipeline runs.
    // Worked out once per generation: a generation ends with each bus message and
    // timer the playback handles, so the reads of one tick share one snapshot.
    const NetworkFigures& figures() const
    {
        return m_measure.figures(m_pipeline != nullptr, m_media ? m_media->duration : 0.0);
    }
    // The pipeline while there is one, else nullptr.
    const EntryPipeline* pipeline() const { return m_pipeline.get(); }

private:
    static gboolean onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
    static gboolean onStatsTimer(gpointer self);
    static gboolean onOpenTimeout(gpointer self);
    static gboolean onOpenRetry(gpointer self);

    void enter(State next);
    void enterBuffering(BufferingCause cause);
    // BufCount's one model: the entry buffers while its queue fills (before it
    // has even opened, too) or while it shows Buffering for any cause.
    void noteBuffering() { m_statistics.buffering(m_bus.queueFill() < 100 || m_state == State::Buffering); }
    void advance(bool prerolled = false);
    bool mediaKnown(bool prerolled) const;
    MediaInfo readMedia();
    void finish(State final);
    void fail(const std::string& reason);
    void failAfterProbe(const std::string& reason);
    void release();

    void handleMessage(GstMessage* message);
    void pollStatistics();
    void watchDataFlow();
    void nextGeneration() { m_measure.changed(); }

    const Entry m_entry;
    const std::string m_scheme; // of m_entry.uri, in lower case: "file", "http", ...
    // What the entry's protocol says beyond what core's row says; null for none.
    const PlayerProtocol* const m_protocol;
    const EntryPipeline::Settings m_settings;
    SinkFactory& m_sinks;
    const bool m_announced;
    const bool m_mayRetry;
    Listener& m_listener;

    State m_state = State::Opening;
    EntryMeasurement m_measure;
    // The measurement's counters and statistics, for short.
    const std::shared_ptr<StreamCounters>& m_counters;
    EntryStatistics& m_statistics;
    std::unique_ptr<EntryPipeline> m_pipeline;
    gsthandles::SourcePtr m_busWatch;
    gsthandles::SourcePtr m_statsTimer;
    gsthandles::SourcePtr m_openTimeout;
    gsthandles::SourcePtr m_openRetry;
    std::unique_ptr<ConnectionProbe> m_probe;

    BusTranslator m_bus; // what the bus has said so far
    BufferingCause m_buffering = BufferingCause::None;
    DataFlowWatch m_watch;
    std::string m_failure;
    // Descriptor shortages and refused downloads heard from the entry's start
    // until its pipeline was released.
    EntryFailureCauses m_causes;
    std::optional<MediaInfo> m_media;
};

} // namespace zephyrscope
