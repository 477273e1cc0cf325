#pragma once

// How a live DASH presentation tells its clients the server's clock (an MPD's
// UTCTiming): the time itself in the MPD (direct), or a URL whose answer gives
// it, as xs:dateTime or ISO 8601 text in the body (http-xsdate, http-iso) or as
// the Date header of a HEAD request (http-head). Pure text work, any thread.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zephyrscope {

struct UtcTiming {
    enum class Scheme { Direct, HttpXsDate, HttpIso, HttpHead };
    Scheme scheme = Scheme::Direct;
    std::string value; // direct: the time; the others: the URL to ask

    // The scheme a schemeIdUri names ("urn:mpeg:dash:utc:http-iso:2014", the
    // 2012 names too); nothing for the schemes not read here (NTP, SNTP, ...).
    static std::optional<Scheme> schemeOf(std::string_view schemeIdUri);

    // The server's time in us since 1970 UTC, from what the scheme gives: the
    // value (direct), the answer's body (xsdate, iso) or its Date header (head).
    // Surrounding white space is ignored; nothing when the text is not a time.
    static std::optional<std::int64_t> parseTime(Scheme scheme, std::string_view text);

    // An HTTP-date (RFC 9110 IMF-fixdate, "Sun, 06 Nov 1994 08:49:37 GMT") in us
    // since 1970; nothing for the obsolete forms or anything else.
    static std::optional<std::int64_t> parseHttpDate(std::string_view text);
};

} // namespace zephyrscope
