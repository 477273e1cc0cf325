#pragma once

// The engine behind CWMPPlayer4: one playbin3 pipeline per entry, a bus watch
// on the default main context, and the translation of GStreamer's messages into
// the play and open states and statistics the program reads. Private to player/.
//
// Thread: everything here runs on the thread of the default GMainContext (the
// program's main loop), except the pad probes and the source-setup handler,
// which only touch StreamCounters.

#include "EventQueue.h"
#include "GstHandles.h"
#include "PlaylistExpander.h"
#include "StreamCounters.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zephyrscope {

class PlayerEventSink;
class RemotePlaylistFetch;

class PlayerEngine {
public:
    struct MediaInfo {
        std::string name;
        std::string sourceURL;
        double duration = 0.0; // seconds
        std::int32_t width = 0;
        std::int32_t height = 0;
    };
    struct NetworkInfo {
        std::int32_t bandWidth = 0, recoveredPackets = 0, receivedPackets = 0, lostPackets = 0;
        std::int32_t receptionQuality = 0, bufferingCount = 0, bufferingProgress = 0, bufferingTime = 0;
        std::int32_t frameRate = 0, bitRate = 0, maxBandwidth = 0, encodedFrameRate = 0, framesSkipped = 0;
        std::string sourceProtocol;
    };

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

    void handleMessage(GstMessage* message);
    void handleError(GstMessage* message);
    void handleTags(GstMessage* message);
    void handleStreamsSelected(GstMessage* message);

    void beginList(std::vector<PlaylistEntry> entries);
    void startEntry(std::size_t index, bool reportOpen);
    bool buildPipeline(const std::string& uri, std::string& error);
    GstElement* makeVideoSink();
    GstElement* makeAudioSink();
    bool audioDeviceAvailable();
    void teardown();
    void failEntry(const std::string& reason);
    void failList(const std::string& url, const std::string& reason);
    void entryEnded();
    void nextOrReady();
    void update();
    bool mediaInfoComplete() const;
    void fillMediaInfo();
    void pollStatistics();
    void resetStatistics();
    void requestState(GstState state);
    std::uint64_t renderedFrames() const;

    void setPlayState(std::int32_t state);
    void setOpenState(std::int32_t state);
    std::string currentEntryUrl() const;

    EventQueue m_events;
    std::uintptr_t m_videoWindow = 0;
    std::optional<bool> m_audioDevice;

    std::string m_url;
    std::vector<PlaylistEntry> m_entries;
    std::size_t m_index = 0;
    std::unique_ptr<RemotePlaylistFetch> m_fetch;
    bool m_fetching = false;

    std::int32_t m_playState = 0;
    std::int32_t m_openState = 0;

    gsthandles::PipelinePtr m_pipeline;
    gsthandles::SourcePtr m_busWatch;
    gsthandles::SourcePtr m_statsTimer;
    gsthandles::SourcePtr m_openTimeout;
    gsthandles::ElementPtr m_videoSink;
    std::shared_ptr<StreamCounters> m_counters;
    GstState m_current = GST_STATE_NULL;
    GstState m_requested = GST_STATE_NULL;
    bool m_live = false;
    bool m_prerolled = false;
    bool m_openDone = false;
    bool m_reportOpen = true;
    bool m_buffering = false;
    bool m_streamsKnown = false;
    bool m_hasVideo = false;
    std::string m_missingPlugin;

    MediaInfo m_media;
    std::string m_titleTag;
    std::map<std::string, std::uint32_t> m_tagBitrates;
    std::int64_t m_sourceBytes = 0;

    std::int32_t m_bufferingTimeMs = 5000;
    std::int32_t m_maxBandwidth = 0;
    std::int32_t m_bufferingProgress = 0;
    std::int32_t m_bufferingCount = 0;
    std::map<std::string, std::uint64_t> m_qosDropped;
    struct Packets {
        std::uint64_t received = 0, lost = 0, recovered = 0;
    } m_packets;
    std::optional<bool> m_rtpOverUdp;
    struct ByteSample {
        std::int64_t timeUs;
        std::uint64_t bytes;
    };
    std::deque<ByteSample> m_byteHistory;
    struct PacketSample {
        std::int64_t timeUs;
        std::uint64_t received, lost;
    };
    std::deque<PacketSample> m_packetHistory;
};

} // namespace zephyrscope
