#include "PlayoutModel.h"

#include <algorithm>
#include <limits>

namespace zephyrscope::bench {

PlayoutModel::Result PlayoutModel::play(std::vector<Delivery> deliveries, int tracks, Thresholds thresholds,
                                       double endMs)
{
    std::stable_sort(deliveries.begin(), deliveries.end(),
                     [](const Delivery& a, const Delivery& b) { return a.atMs < b.atMs; });
    std::vector<double> held(static_cast<std::size_t>(std::max(tracks, 1)), 0.0);
    const auto ahead = [&held](double played) { return *std::min_element(held.begin(), held.end()) - played; };

    Result result;
    result.leastLeadMs = std::numeric_limits<double>::max();
    // It starts as it resumes: once it holds its threshold; that wait is no stall.
    bool started = false, playing = false;
    double now = deliveries.empty() ? endMs : deliveries.front().atMs;
    double played = 0.0, stallSince = 0.0;
    std::size_t next = 0;
    while (now < endMs) {
        // Take every delivery at this moment, then see whether it plays (again).
        while (next < deliveries.size() && deliveries[next].atMs <= now) {
            const Delivery& d = deliveries[next++];
            if (!d.lostPlace) {
                held[static_cast<std::size_t>(d.track)] += d.mediaMs;
                continue;
            }
            ++result.placesLost;
            std::fill(held.begin(), held.end(), played);
            if (playing) {
                playing = false;
                stallSince = now;
                result.pauses.emplace_back(now, -1.0);
            }
        }
        if (!playing && ahead(played) >= thresholds.resumeAtMs) {
            playing = true;
            if (!started) {
                started = true;
                result.startedAtMs = now;
            } else {
                ++result.stalls;
                result.stallMs += now - stallSince;
                result.pauses.back().second = now;
            }
        }
        const double until = next < deliveries.size() ? std::min(deliveries[next].atMs, endMs) : endMs;
        if (!playing) {
            now = until;
            continue;
        }
        const double spare = ahead(played) - thresholds.pauseAtMs;
        if (spare < until - now) {
            // The media runs down before more comes: the picture stops there.
            played += std::max(0.0, spare);
            now += std::max(0.0, spare);
            playing = false;
            stallSince = now;
            result.pauses.emplace_back(now, -1.0);
            result.leastLeadMs = std::min(result.leastLeadMs, ahead(played));
            // Nothing more comes at this moment: wait for the next delivery.
            if (now < until)
                now = until;
        } else {
            // The least lead comes just before the next delivery.
            result.leastLeadMs = std::min(result.leastLeadMs, ahead(played) - (until - now));
            played += until - now;
            now = until;
        }
    }
    if (result.leastLeadMs == std::numeric_limits<double>::max())
        result.leastLeadMs = 0.0;
    return result;
}

} // namespace zephyrscope::bench
