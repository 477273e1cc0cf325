#pragma once

// How a player that buffers as GStreamer's adaptive demuxers make it stalls,
// given when its media reached it: it starts once it holds resumeAtMs of
// media, and plays its media in order; when the media
// ahead of the picture falls to pauseAtMs (the demuxer's own queue is empty;
// the queues after it still hold that much) it pauses, and it plays again once
// it holds resumeAtMs ahead (the demuxer's buffering threshold, and those
// queues full again). With several tracks (a DASH stream's video and audio
// apart) the media it holds is the least of theirs.
// Pure: times are ms from the first frame; no clock is read.

#include <utility>
#include <vector>

namespace zephyrscope::bench {

class PlayoutModel {
public:
    struct Delivery {
        double atMs = 0.0;    // when it reached the player, from any origin
        int track = 0;        // 0 .. tracks - 1
        double mediaMs = 0.0; // the media it carries
        // The player lost its place in a live playlist when this came and went
        // back to its live head: what it held (this too) is dropped, and it
        // pauses until it holds resumeAtMs again.
        bool lostPlace = false;
    };

    struct Thresholds {
        double pauseAtMs = 0.0;
        double resumeAtMs = 0.0;
    };

    struct Result {
        double startedAtMs = -1.0; // when the picture first moved; -1: never
        int stalls = 0;          // pauses that ended before endMs
        int placesLost = 0;
        double stallMs = 0.0;    // their summed length
        double leastLeadMs = 0.0; // the least media ahead of the picture while it played
        std::vector<std::pair<double, double>> pauses; // each one's start and end (end: -1 while on)
    };

    // Deliveries in any order, until endMs.
    static Result play(std::vector<Delivery> deliveries, int tracks, Thresholds thresholds, double endMs);
};

} // namespace zephyrscope::bench
