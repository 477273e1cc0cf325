#include "UtcTimingFetch.h"

#include <libsoup/soup.h>

namespace zephyrscope {

std::unique_ptr<HttpFetch> UtcTimingFetch::start(const UtcTiming& timing, Done done)
{
    const bool head = timing.scheme == UtcTiming::Scheme::HttpHead;
    // The session's timeout is per read: a server that trickles its answer is
    // stopped by the deadline.
    const HttpFetch::Request request {.method = head ? "HEAD" : "GET", .url = timing.value, .readTimeoutS = kTimeoutS,
                                      .deadlineS = kTimeoutS, .maxBodyBytes = head ? 0 : kMaxBodyBytes};
    // HttpFetch guards its callback: a throw from done is reported there.
    return HttpFetch::start(request, [scheme = timing.scheme, done = std::move(done)](HttpFetch::Answer answer) {
        done(offsetOf(scheme, answer));
    });
}

UtcTimingFetch::Result UtcTimingFetch::offsetOf(UtcTiming::Scheme scheme, const HttpFetch::Answer& answer)
{
    if (!answer.error.empty())
        return {std::nullopt, answer.error};
    if (!SOUP_STATUS_IS_SUCCESSFUL(answer.status))
        return {std::nullopt, std::to_string(answer.status) + (answer.reason.empty() ? "" : " " + answer.reason)};
    const bool head = scheme == UtcTiming::Scheme::HttpHead;
    if (head && answer.date.empty())
        return {std::nullopt, "the answer has no Date header"};
    if (answer.body.size() > kMaxBodyBytes)
        return {std::nullopt, "the answer is longer than " + std::to_string(kMaxBodyBytes) + " bytes"};
    const std::string_view text = head ? answer.date : answer.body;
    auto serverUs = UtcTiming::parseTime(scheme, text);
    if (!serverUs) {
        std::string shown;
        for (const char c : text.substr(0, 40))
            shown += c >= ' ' && c <= '~' ? c : '?';
        return {std::nullopt, "'" + shown + "' is not a time"};
    }
    // A Date header is to the second: the server's time is taken mid-way through it.
    if (head)
        *serverUs += 500000;
    // The server's time came with the answer's first bytes; the request took
    // the other half of the round trip.
    return {*serverUs - (answer.sentUs + answer.answeredUs) / 2, {}};
}

} // namespace zephyrscope
