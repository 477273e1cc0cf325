#pragma once

// The variants an adaptive stream's manifest declares: an HLS master playlist's
// #EXT-X-STREAM-INF entries, or a DASH MPD's Representations. Pure text work,
// any thread.

#include "UtcTiming.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephyrscope {

struct AdaptiveVariant {
    std::int64_t bandwidth = 0; // bits per second, as declared (BANDWIDTH, @bandwidth)
    int width = 0;              // 0 when the manifest gives no picture size
    int height = 0;
    std::string uri;            // HLS: the variant playlist, resolved against the manifest; DASH: the @id
};

// A live DASH presentation's wall clock: its frames were captured at
// availabilityStart plus their presentation time.
struct DashLiveClock {
    std::int64_t availabilityStartUs = 0; // us since 1970 UTC
    // The server's own time as a UTCTiming element with the direct scheme gives
    // it in the MPD; absent when the MPD gives none in that form.
    std::optional<std::int64_t> serverTimeUs;
    // Where to ask the server's time when the MPD does not give it (http-xsdate,
    // http-iso, http-head), its URL resolved against the MPD's; absent then too.
    std::optional<UtcTiming> timeSource;
};

class AdaptiveManifest {
public:
    // The variants of an HLS master playlist or a DASH MPD, in manifest order;
    // empty for a media playlist or text that is neither. manifestUri resolves
    // relative variant URIs.
    static std::vector<AdaptiveVariant> parse(const std::string& text, const std::string& manifestUri);

    // The declared bandwidth of the variant showing a picture of width x height.
    // Variants that share a size are told apart by hint (the bandwidth the
    // demuxer last chose); nothing when no variant has that size.
    static std::optional<std::int64_t> bandwidthForSize(const std::vector<AdaptiveVariant>& variants, int width,
                                                        int height, std::int64_t hint);

    // The clock of a dynamic MPD with an availabilityStartTime; nothing for any
    // other text. manifestUri resolves a relative UTCTiming URL.
    static std::optional<DashLiveClock> dashLiveClock(const std::string& text, const std::string& manifestUri = {});

    // An xs:dateTime or ISO 8601 extended date and time ("2026-01-31T12:00:00.5Z";
    // "+01:00", "+0100" and "+01" zones; no zone is UTC) in us since 1970;
    // nothing when it is not one, or anything follows it.
    static std::optional<std::int64_t> parseDateTime(const std::string& text);

    // Whether XML text's root element is a DASH MPD. The text may be the
    // document's beginning only, as long as it holds the root's start tag.
    static bool rootIsMpd(const std::string& text);
    // Whether an HTTP Content-Type names a DASH MPD ("application/dash+xml",
    // parameters and letter case aside).
    static bool isDashContentType(const std::string& contentType);

    // The value of NAME=value in an HLS attribute list (quoted values may hold
    // commas, and come without their quotes); empty when it has none.
    static std::string hlsAttribute(const std::string& list, const std::string& name);

    // The text without the white space (space, tab, CR, LF) around it.
    static std::string_view trimmed(std::string_view text);

    // ref resolved against base ("http://h/a/b.m3u8" + "v0/i.m3u8" = "http://h/a/v0/i.m3u8").
    static std::string resolve(const std::string& base, const std::string& ref);
};

} // namespace zephyrscope
