#pragma once

// The engine behind CWMPPlayer4: one playbin3 pipeline per entry, a bus watch
// on the default main context, and the translation of GStreamer's messages into
// the play and open states and statistics the program reads. Private to player/.
//
// Thread: everything here runs on the thread of the default GMainContext (the
// program's main loop), except the pad probes and the source-setup handler,
// which only touch StreamCounters.

#include "EntryStatistics.h"
#include "EventQueue.h"
#include "MediaInfo.h"
#include "GstHandles.h"
#include "PlaylistExpander.h"
#include "SinkFactory.h"
#include "StreamCounters.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zephyrscope {

class ConnectionProbe;
class PlayerEventSink;
class RemotePlaylistFetch;

class PlayerEngine {
public:
    using MediaInfo = zephyrscope::MediaInfo;
    using NetworkInfo = NetworkFigures;

    PlayerEngine();
    ~PlayerEngine();
    PlayerEngine(const PlayerEngine&) = delete;
    PlayerEngine& operator=(const PlayerEngine&) = delete;

    void setEventSink(PlayerEventSink* sink) { m_events.setSink(sink); }
    void setVideoWindow(std::uintptr_t xid) { m_videoWindow = xid; }

    void putURL(const std::string& url);
    void play();
    void stop();

    std::int32_t playState() const { return m_playState; }
    MediaInfo media() const;
    NetworkInfo network() const;

private:
    static gboolean onBusMessage(GstBus* bus, GstMessage* message, gpointer self);
    static gboolean onStatsTimer(gpointer self);
    static gboolean onOpenTimeout(gpointer self);
    static gboolean onOpenRetry(gpointer self);

    void handleMessage(GstMessage* message);
    void handleError(GstMessage* message);
    void handleTags(GstMessage* message);
    void handleStreamsSelected(GstMessage* message);

    void beginList(std::vector<PlaylistEntry> entries);
    // retry: the same entry once more, after its first pipeline got stuck opening.
    void startEntry(std::size_t index, bool reportOpen, bool retry = false);
    bool buildPipeline(const std::string& uri, std::string& error);
    void teardown();
    void failEntry(const std::string& reason);
    // Fails the entry with the reason a connection to its server gives, if any.
    void failEntryAfterProbe(const std::string& reason);
    void failList(const std::string& url, const std::string& reason);
    void entryEnded();
    void nextOrReady();
    void update();
    bool mediaInfoComplete() const;
    void fillMediaInfo();
    void pollStatistics();
    void requestState(GstState state);
    std::uint64_t renderedFrames() const;

    void setPlayState(std::int32_t state);
    void setOpenState(std::int32_t state);
    std::string currentEntryUrl() const;

    EventQueue m_events;
    std::uintptr_t m_videoWindow = 0;
    SinkFactory m_sinks;

    std::string m_url;
    std::vector<PlaylistEntry> m_entries;
    std::size_t m_index = 0;
    std::unique_ptr<RemotePlaylistFetch> m_fetch;
    bool m_fetching = false;
    std::unique_ptr<ConnectionProbe> m_probe; // the failed entry waits for it

    std::int32_t m_playState = 0;
    std::int32_t m_openState = 0;

    gsthandles::PipelinePtr m_pipeline;
    gsthandles::SourcePtr m_busWatch;
    gsthandles::SourcePtr m_statsTimer;
    gsthandles::SourcePtr m_openTimeout;
    gsthandles::SourcePtr m_openRetry;
    gsthandles::ElementPtr m_videoSink;
    std::shared_ptr<StreamCounters> m_counters;
    GstState m_current = GST_STATE_NULL;
    GstState m_requested = GST_STATE_NULL;
    bool m_live = false;
    bool m_prerolled = false;
    bool m_openDone = false;
    bool m_reportOpen = true;
    bool m_entryOpened = false; // open state 13 was reported for the current entry
    bool m_buffering = false;
    bool m_streamsKnown = false;
    bool m_hasVideo = false;
    std::string m_missingPlugin;
    std::string m_sourceLost; // a live source's warning that its server stopped answering

    MediaInfo m_media;
    std::string m_titleTag;
    std::int32_t m_bufferingTimeMs = 5000; // given to playbin3 as its buffer-duration
    std::int32_t m_maxBandwidth = 0;       // bits per second, 0 = no limit; given as connection-speed
    EntryStatistics m_statistics;
    // The figures as last worked out, and when: the sampler reads them one by one,
    // fourteen network objects a tick, and each read would otherwise work out all of them.
    mutable std::optional<NetworkInfo> m_networkCache;
    mutable std::int64_t m_networkCacheUs = 0;
};

} // namespace zephyrscope
