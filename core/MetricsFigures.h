#pragma once

#include "SampleLine.h"
#include "TsErrorCounts.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// What the metrics endpoint serves: the values of the last sample tick and the
// run's own counters. The main dialog updates it (a copy of the sample per tick,
// an increment per event) and the endpoint formats it only when it is asked, so
// a tick does no formatting for it. Owned by whoever runs the endpoint; read and
// written on the UI thread only.
struct MetricsFigures {
    // False until the first tick has written its line; until then only the
    // run-level series are served.
    bool hasSample = false;
    SampleLine sample;
    // The current entry's URL as the player reports it, user and password still in it.
    std::string entryUrl;
    // Figures beyond the log's columns, read from the player after each written tick.
    double srtRoundTripMs = 0.0;           // served only while the entry is SRT
    std::int32_t srtReceiverLatencyMs = 0; // served only while the entry is SRT
    std::int32_t videoWidth = 0;           // pixels of the picture now shown, 0 for none
    std::int32_t videoHeight = 0;
    // An MPEG-TS entry's first-priority stream errors, served once a transport stream was seen.
    bool transportStream = false;
    TsErrorCounts transportErrors;
    double ristRoundTripMs = 0.0; // served only while the entry is RIST

    std::uint64_t samplesWritten = 0;
    std::uint64_t entriesOpened = 0;
    std::uint64_t entriesFailed = 0;
    std::uint64_t logWriteFailures = 0;
};

} // namespace zephyrscope
