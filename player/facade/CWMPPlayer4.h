#pragma once

#include "ContentSettings.h"
#include "Player.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope {

class PlayerEngine;

// The media-player control: opens clips, streams and playlists with a
// GStreamer engine and reports play and open states, errors and streaming
// statistics. Thread: create, call and destroy it on the thread that runs the
// default GMainContext; its events are delivered there by that loop.
class CWMPPlayer4 final : public Player {
public:
    // Starts GStreamer if needed; throws PlayerError when it cannot.
    CWMPPlayer4();
    ~CWMPPlayer4() override;
    CWMPPlayer4(const CWMPPlayer4&) = delete;
    CWMPPlayer4& operator=(const CWMPPlayer4&) = delete;

    void putURL(const std::string& url) override;
    std::unique_ptr<PlayerControls> controls() override;
    std::unique_ptr<PlayerMedia> currentMedia() override;
    std::unique_ptr<PlayerNetwork> network() override;
    void snapshot(NetworkFigures& into) override;
    std::int32_t playState() override;
    void setEventSink(PlayerEventSink* sink) override;

    // The X11 window the picture is drawn into; 0 for none. Takes effect at the
    // next entry that opens. Without a window or a display, frames go to a synced
    // fake sink and are counted all the same.
    void setVideoWindow(std::uintptr_t xid);
    // With fakeOnly, pictures and sound go to synced fake sinks whatever the
    // machine has (a display, a sound card): nothing is shown or heard, and
    // frame counts and timing stay those of real playback. For tests and
    // benches. Takes effect at the next entry that opens.
    void setFakeSinks(bool fakeOnly);

    // HTTPS fetches (clips, playlists, HLS and DASH segments) trust the
    // certificate authorities in this PEM file instead of the system's; empty:
    // the system's. Takes effect at the next URL put or entry opened. The
    // adaptive demuxers can be reached only through GIO's default TLS
    // database, so a file given here becomes that for the whole process.
    void setCaFile(const std::string& path);
    // Why a CA file cannot be used ("Cannot use CA file '<path>': <reason>"),
    // or empty when it can.
    static std::string caFileError(const std::string& path);
    // WHEP endpoints (whep+http(s)://) opened from the next entry on: the bearer
    // token sent to them, and the STUN and TURN servers ICE uses (empty: none).
    void setWebRtcOptions(const std::string& bearerToken, const std::string& stunServer,
                          const std::string& turnServer);

    // An open network entry that waits this long for data, or any entry whose
    // picture has stood still this long, fails; 30 s unless set. Takes effect at
    // the next entry opened.
    void setNoDataTimeout(std::int32_t ms);
    // Entries' streams are parsed, never decoded: the transport's figures only.
    // Takes effect at the next entry opened.
    void setTransportOnly(bool parsedOnly);
    // When a picture is black or still and sound silent, and for how long.
    // Takes effect at the next entry opened.
    void setContentSettings(const ContentSettings& settings);
    // An entry that has not opened in this time is skipped; 30 s unless set.
    // Takes effect at the next entry opened.
    void setOpenTimeout(std::int32_t ms);

private:
    std::shared_ptr<PlayerEngine> m_engine;
};

} // namespace zephyrscope
