#include "UtcTiming.h"

#include "AdaptiveManifest.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <utility>

namespace zephyrscope {

std::optional<UtcTiming::Scheme> UtcTiming::schemeOf(std::string_view schemeIdUri)
{
    constexpr std::string_view kPrefix = "urn:mpeg:dash:utc:";
    if (schemeIdUri.substr(0, kPrefix.size()) != kPrefix)
        return std::nullopt;
    const std::string_view rest = schemeIdUri.substr(kPrefix.size());
    const auto colon = rest.find(':');
    if (colon == std::string_view::npos || (rest.substr(colon) != ":2014" && rest.substr(colon) != ":2012"))
        return std::nullopt;
    constexpr std::pair<std::string_view, Scheme> kSchemes[] = {
        {"direct", Scheme::Direct}, {"http-xsdate", Scheme::HttpXsDate}, {"http-iso", Scheme::HttpIso},
        {"http-head", Scheme::HttpHead}};
    for (const auto& [name, scheme] : kSchemes)
        if (rest.substr(0, colon) == name)
            return scheme;
    return std::nullopt;
}

std::optional<std::int64_t> UtcTiming::parseTime(Scheme scheme, std::string_view text)
{
    const std::string_view time = AdaptiveManifest::trimmed(text);
    if (time.empty() || time.size() > 64)
        return std::nullopt;
    if (scheme == Scheme::HttpHead)
        return parseHttpDate(time);
    return AdaptiveManifest::parseDateTime(std::string(time));
}

std::optional<std::int64_t> UtcTiming::parseHttpDate(std::string_view text)
{
    const std::string date(AdaptiveManifest::trimmed(text));
    constexpr std::array<std::string_view, 12> kMonths {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    char weekday[4] = {}, month[4] = {}, zone[4] = {};
    int day = 0, year = 0, hour = 0, minute = 0, second = 0, consumed = 0;
    if (std::sscanf(date.c_str(), "%3[A-Za-z], %2d %3[A-Za-z] %4d %2d:%2d:%2d %3[A-Z]%n", weekday, &day, month, &year,
                    &hour, &minute, &second, zone, &consumed)
            != 8
        || static_cast<std::size_t>(consumed) != date.size() || std::string_view(zone) != "GMT")
        return std::nullopt;
    const auto named = std::find(kMonths.begin(), kMonths.end(), std::string_view(month));
    if (named == kMonths.end() || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return std::nullopt;
    std::tm utc {};
    utc.tm_year = year - 1900;
    utc.tm_mon = static_cast<int>(named - kMonths.begin());
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    return static_cast<std::int64_t>(timegm(&utc)) * 1000000;
}

} // namespace zephyrscope
