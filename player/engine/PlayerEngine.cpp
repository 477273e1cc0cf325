#include "PlayerEngine.h"

#include "GstHandles.h"
#include "LocalSource.h"
#include "MediaUrl.h"
#include "NestedPlaylists.h"
#include "PlayState.h"
#include "Protocol.h"
#include "RemotePlaylistFetch.h"

#include <glib/gstdio.h>
#include <malloc.h>

#include <algorithm>
#include <utility>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr std::int32_t kOpenStateMediaOpening = 12;

std::string oneLine(std::string text)
{
    std::replace_if(text.begin(), text.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return text;
}

} // namespace

PlayerEngine::PlayerEngine() = default;

PlayerEngine::~PlayerEngine()
{
    m_nested.reset();
    m_fetch.reset();
    m_playback.reset();
}

// ---- Commands -------------------------------------------------------------

void PlayerEngine::putURL(const std::string& url)
{
    // An entry that has ended is reported before anything new starts.
    settleEndedEntry();
    m_nested.reset();
    m_fetch.reset();
    m_playback.reset();
    m_phase = Phase::Idle;
    m_url = url;
    m_entries.clear();
    m_index = 0;
    m_media = {};
    m_endedFigures.reset();
    if (url.empty()) {
        // Nothing to open, as when a script's URL variable is unset: report it like
        // any entry that cannot be opened, so an unattended run does not wait for ever.
        setPlayState(kPlayStateTransitioning);
        m_events.mediaError(url, "no URL was given");
        setPlayState(kPlayStateReady);
        return;
    }

    const std::string uri = MediaUrl::toUri(url);
    const std::string scheme = MediaUrl::scheme(uri);
    const auto kind = MediaUrl::playlistKind(uri);
    if (kind == MediaUrl::PlaylistKind::None) {
        beginList({{uri, ""}});
        return;
    }

    setPlayState(kPlayStateTransitioning);
    if (isLocalScheme(scheme)) {
        if (const std::string problem = LocalSourceProblem(uri); !problem.empty())
            return failList(url, problem);
        if (kind == MediaUrl::PlaylistKind::PlaylistOrHls) {
            CharPtr path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
            if (path && MediaUrl::looksLikeHls(ReadLocalText(path.get()))) {
                // GStreamer's HLS demuxers fetch segments over HTTP only; from a
                // file one would wait for nothing until the open times out.
                failList(url, "an HTTP live stream can be played only from an HTTP server");
                return;
            }
        }
        expandNested(url, uri, PlaylistExpander::expand(uri, uri));
        return;
    }

    // A remote list is fetched first and parsed with its own URL as the base.
    m_phase = Phase::Fetching;
    // An HLS stream's wait began when its URL was put, before the fetch that told what it was.
    const std::int64_t requestedUs = g_get_monotonic_time();
    auto fetched = [this, url, uri, kind, requestedUs](RemotePlaylistFetch::Result result) {
        m_phase = Phase::Idle;
        // The fetch is on the stack now: it goes on the next dispatch.
        m_events.defer([this] {
            if (m_phase != Phase::Fetching)
                m_fetch.reset();
        });
        if (!result.error.empty()) {
            failList(url, result.error);
            return;
        }
        if (kind == MediaUrl::PlaylistKind::PlaylistOrHls && MediaUrl::looksLikeHls(ReadLocalText(result.filePath))) {
            g_unlink(result.filePath.c_str());
            beginList({{uri, ""}}, requestedUs);
            return;
        }
        CharPtr fileUri(g_filename_to_uri(result.filePath.c_str(), nullptr, nullptr));
        auto expanded = PlaylistExpander::expand(fileUri ? fileUri.get() : "", uri);
        g_unlink(result.filePath.c_str());
        expandNested(url, uri, std::move(expanded));
    };
    m_fetch = std::make_unique<RemotePlaylistFetch>(uri, m_settings.source.caFile, std::move(fetched));
    m_fetch->start();
}

void PlayerEngine::play()
{
    settleEndedEntry();
    if (m_phase != Phase::Idle)
        return; // already opening or playing
    if (m_playState == kPlayStateStopped && m_index < m_entries.size()) {
        // The same clip again: its open is reported only if it was not reported yet.
        startEntry(m_index, m_openState != kOpenStateMediaOpen);
    } else if (!m_entries.empty()) {
        m_media = {};
        startEntry(0, true);
    } else if (!m_url.empty()) {
        putURL(m_url);
    }
}

void PlayerEngine::stop()
{
    if (m_phase == Phase::Fetching) {
        m_fetch.reset();
        m_nested.reset();
        m_phase = Phase::Idle;
        setPlayState(kPlayStateStopped);
        return;
    }
    settleEndedEntry();
    if (!m_playback)
        return;
    // An entry that has failed (its reason still being found out) is reported as
    // failed before anything stops; the entry that follows it, if one started,
    // is stopped in turn.
    const bool failing = m_playback->state() == EntryPlayback::State::Failing;
    m_playback->stop();
    settleEndedEntry();
    if (failing && m_playback) {
        m_playback->stop();
        settleEndedEntry();
    }
}

// ---- Entries ---------------------------------------------------------------

void PlayerEngine::beginList(std::vector<PlaylistEntry> entries, std::int64_t requestedUs)
{
    m_entries = std::move(entries);
    m_firstRequestedUs = requestedUs;
    startEntry(0, true);
}

void PlayerEngine::startEntry(std::size_t index, bool announced, bool mayRetry)
{
    m_playback.reset();
    m_phase = Phase::Playing;
    m_index = index;
    if (announced)
        m_media = {};
    setPlayState(kPlayStateTransitioning);
    if (announced)
        setOpenState(kOpenStateMediaOpening);
    const PlaylistEntry& entry = m_entries[index];
    EntryPlayback::Listener& listener = *this;
    const std::int64_t requestedUs = std::exchange(m_firstRequestedUs, 0);
    m_playback = std::make_unique<EntryPlayback>(
        EntryPlayback::Entry {entry.uri, entry.title, currentEntryUrl(), requestedUs}, m_settings, m_sinks,
        announced, mayRetry, listener);
    m_playback->start();
}

void PlayerEngine::entryStateChanged(EntryPlayback::State state)
{
    using State = EntryPlayback::State;
    switch (state) {
    case State::Opening:
    case State::Failing:
        break;
    case State::Opened:
        if (m_playback->announced())
            setOpenState(kOpenStateMediaOpen, m_playback->media());
        break;
    case State::Buffering:
        setPlayState(kPlayStateBuffering);
        break;
    case State::Playing:
        setPlayState(kPlayStatePlaying);
        break;
    case State::Stuck:
    case State::Ended:
    case State::Failed:
    case State::Stopped:
        // Called from the playback's own handlers: it is removed from the queue.
        m_events.defer([this] { settleEndedEntry(); });
        break;
    }
}

void PlayerEngine::settleEndedEntry()
{
    if (m_playback && m_playback->ended())
        entryEnded();
}

// What happens when an entry ends, however it ends. Its playback goes, and with it
// everything that lived as long as the entry; what the program reads of it (its
// media and figures) stays until the next entry starts.
void PlayerEngine::entryEnded()
{
    const EntryPlayback::State how = m_playback->state();
    const bool announced = m_playback->announced();
    const std::string failure = m_playback->failure();
    if (m_playback->media())
        m_media = *m_playback->media();
    m_endedFigures = m_playback->figures();
    m_playback.reset();
    m_phase = Phase::Idle;

    switch (how) {
    case EntryPlayback::State::Stuck:
        startEntry(m_index, announced, false);
        return;
    case EntryPlayback::State::Stopped:
        setPlayState(kPlayStateStopped);
        return;
    case EntryPlayback::State::Failed:
        m_events.mediaError(currentEntryUrl(), oneLine(failure));
        break;
    default:
        setPlayState(kPlayStateMediaEnded);
        // Each entry's streaming threads allocate in malloc arenas of their own;
        // what they free when the entry's pipeline goes stays scattered there and,
        // over a long playlist, the resident size creeps up by megabytes. Handing
        // the free pages back at each entry's end keeps it flat (docs/PERFORMANCE.md, growth).
        malloc_trim(0);
        break;
    }
    if (m_index + 1 < m_entries.size())
        startEntry(m_index + 1, true);
    else
        setPlayState(kPlayStateReady);
}

void PlayerEngine::expandNested(const std::string& url, const std::string& uri, PlaylistExpander::Result expanded)
{
    if (!expanded.error.empty())
        return failList(url, expanded.error);
    m_phase = Phase::Fetching;
    m_nested = std::make_unique<NestedPlaylists>(uri, m_settings.source.caFile, [this, url](NestedPlaylists::Result result) {
        m_phase = Phase::Idle;
        // The expansion is on the stack now: it goes on the next dispatch.
        m_events.defer([this] {
            if (m_phase != Phase::Fetching)
                m_nested.reset();
        });
        for (const NestedPlaylists::Failure& failure : result.failures)
            m_events.mediaError(failure.url, oneLine(failure.reason));
        if (!result.entries.empty())
            beginList(std::move(result.entries));
        else if (result.failures.empty())
            failList(url, "the playlist lists no media");
        else
            setPlayState(kPlayStateReady); // each failing list has been reported

    });
    m_nested->start(std::move(expanded.entries));
}

void PlayerEngine::failList(const std::string& url, const std::string& reason)
{
    m_entries.clear();
    // The program's line names the URL already: the reason alone follows it.
    m_events.mediaError(url, oneLine(reason));
    setPlayState(kPlayStateReady);
}

std::string PlayerEngine::currentEntryUrl() const
{
    if (m_entries.size() == 1 && MediaUrl::playlistKind(MediaUrl::toUri(m_url)) == MediaUrl::PlaylistKind::None)
        return m_url;
    return m_index < m_entries.size() ? m_entries[m_index].uri : m_url;
}

// ---- States ----------------------------------------------------------------

void PlayerEngine::setPlayState(std::int32_t state)
{
    if (state == m_playState)
        return;
    m_playState = state;
    m_events.playStateChanged(state);
}

void PlayerEngine::setOpenState(std::int32_t state, std::optional<MediaInfo> media)
{
    if (state == m_openState)
        return;
    m_openState = state;
    m_events.openStateChanged(state, std::move(media));
}

PlayerEngine::MediaInfo PlayerEngine::media() const
{
    // While an open event is delivered, the entry it announces is the current media.
    if (const MediaInfo* opened = m_events.deliveringMedia())
        return *opened;
    if (m_playback && m_playback->media())
        return *m_playback->media();
    return m_media;
}

const NetworkFigures& PlayerEngine::figures() const
{
    if (m_playback)
        return m_playback->figures();
    if (m_endedFigures)
        return *m_endedFigures;
    m_idleFigures.maxBandwidth = m_settings.maxBandwidth;
    m_idleFigures.bufferingTime = m_settings.bufferingTimeMs;
    return m_idleFigures;
}

} // namespace zephyrscope
