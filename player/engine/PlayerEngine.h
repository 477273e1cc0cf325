#pragma once

// The engine behind CWMPPlayer4: a sequencer of entry playbacks. It expands what
// a URL put names into a list of entries (a local or fetched playlist, or the one
// clip), plays them one after another, and reports the play and open states,
// errors and media the program sees. Private to player/.
//
// Who owns what:
// - PlayerEngine: the list, which entry is current, the play and open states
//   (through EventQueue), the media and figures of the entry that ended last,
//   the sinks' factory, and the remote playlist while it is fetched.
// - EntryPlayback (one per entry, for as long as the entry plays): its pipeline
//   (EntryPipeline) and bus watch, its open-timeout, open-retry and statistics
//   timers, its stream counters, media info and statistics, the connection probe
//   of a failed source, and its progress as one state. It tells the engine of
//   each change of state; at a final state the engine's event queue runs
//   entryEnded() on its next dispatch, which destroys it and says what follows.
//   No playback is destroyed while one of its own methods is on the stack.
//
// Thread: everything here runs on the thread of the default GMainContext (the
// program's main loop), except the pad probes and the source-setup handler,
// which only touch the entry's StreamCounters.

#include "EntryPlayback.h"
#include "EventQueue.h"
#include "MediaInfo.h"
#include "PlaylistExpander.h"
#include "SinkFactory.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zephyrscope {

class PlayerEventSink;
class NestedPlaylists;
class RemotePlaylistFetch;

class PlayerEngine final : private EntryPlayback::Listener {
public:
    using MediaInfo = zephyrscope::MediaInfo;

    PlayerEngine();
    ~PlayerEngine();
    PlayerEngine(const PlayerEngine&) = delete;
    PlayerEngine& operator=(const PlayerEngine&) = delete;

    void setEventSink(PlayerEventSink* sink) { m_events.setSink(sink); }
    void setVideoWindow(std::uintptr_t xid) { m_settings.videoWindow = xid; }
    void setCaFile(const std::string& path) { m_settings.source.caFile = path; }
    void setWebRtc(const std::string& bearerToken, const std::string& stunServer, const std::string& turnServer)
    {
        m_settings.source.bearerToken = bearerToken;
        m_settings.source.stunServer = stunServer;
        m_settings.source.turnServer = turnServer;
    }
    void setFakeSinks(bool fakeOnly)
    {
        m_sinks.choose(fakeOnly ? SinkFactory::Choice::FakeOnly : SinkFactory::Choice::DeviceWhenPresent);
    }
    // An open entry that waits this long for data or a picture fails.
    void setNoDataTimeout(std::int32_t ms) { m_settings.noDataTimeoutMs = ms; }
    // Entries' streams are parsed, never decoded (EntryPipeline::Settings::transportOnly).
    void setTransportOnly(bool parsedOnly) { m_settings.transportOnly = parsedOnly; }
    void setContentSettings(const ContentSettings& settings) { m_settings.content = settings; }
    // An entry that has not opened in this time is skipped.
    void setOpenTimeout(std::int32_t ms) { m_settings.openTimeoutMs = ms; }

    void putURL(const std::string& url);
    void play();
    void stop();

    std::int32_t playState() const { return m_playState; }
    MediaInfo media() const;
    // The current entry's figures; the last entry's once it has ended; before
    // any, the settings' alone. Valid until the next call or main-loop dispatch.
    const NetworkFigures& figures() const;

private:
    void entryStateChanged(EntryPlayback::State state) override;

    // requestedUs: when the program asked for the first entry, if before it began
    // (monotonic); 0: as it begins.
    void beginList(std::vector<PlaylistEntry> entries, std::int64_t requestedUs = 0);
    // Opens the lists among an expanded list's entries first; then begins the
    // whole list. A list that could not be expanded fails.
    void expandNested(const std::string& url, const std::string& uri, PlaylistExpander::Result expanded);
    // announced: the entry's open is reported. mayRetry: false for the second
    // open of an entry that got stuck opening.
    void startEntry(std::size_t index, bool announced, bool mayRetry = true);
    // The ended playback, if any, removed and its ending reported.
    void settleEndedEntry();
    void entryEnded();
    void failList(const std::string& url, const std::string& reason);

    void setPlayState(std::int32_t state);
    void setOpenState(std::int32_t state, std::optional<MediaInfo> media = std::nullopt);
    std::string currentEntryUrl() const;

    EventQueue m_events;
    SinkFactory m_sinks;
    // The buffer (5000 ms) and bandwidth limit (none) every entry is played with.
    EntryPipeline::Settings m_settings;

    // Idle: nothing opening or playing. Fetching: m_fetch has not answered yet.
    // Playing: m_playback is the current entry's (once ended, until it is settled).
    enum class Phase { Idle, Fetching, Playing };
    Phase m_phase = Phase::Idle;

    std::string m_url;
    std::vector<PlaylistEntry> m_entries;
    std::size_t m_index = 0;
    std::int64_t m_firstRequestedUs = 0;
    std::unique_ptr<RemotePlaylistFetch> m_fetch; // kept until the next dispatch once it has answered
    std::unique_ptr<NestedPlaylists> m_nested; // the same, for lists within the list
    std::unique_ptr<EntryPlayback> m_playback;
    std::int32_t m_playState = 0;
    std::int32_t m_openState = 0;
    // What the program reads when no entry has opened media: the last entry's.
    MediaInfo m_media;
    std::optional<NetworkFigures> m_endedFigures;
    mutable NetworkFigures m_idleFigures;
};

} // namespace zephyrscope
