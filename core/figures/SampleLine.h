#pragma once

#include "Clock.h"
#include "NetworkFigures.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// The first line of every statistics log: eighteen column names, tab-separated.
inline constexpr char kLogHeader[] =
    "UTCTime\tTime\tBuf_Progress\tBufCount\tBufTime\tBit_Rate\tBandWidth\tMax_BandW\tFrame_Rate\tRncode_Fr\t"
    "Fr_Skipped\tReceived_Pkts\tLost_Pkts\tRecover_Pkts\tQuality\tProtocol\tIFramerate\tPlayerState\n";

// One sample: what the sampler works out at its tick, and the player's snapshot
// it was worked out from. Every writer (the log line, the JSON log, the metrics
// endpoint) takes this one value; the log's network columns are the snapshot's.
struct SampleLine {
    WallClockTime utcTime;
    double elapsed = 0.0; // seconds
    double fps = 0.0;     // the snapshot's frameRate in frames per second
    double iFramerate = 0.0;
    // The PlayerState column: the name of network.playState, or the text a log held.
    const char* stateName = "";
    NetworkFigures network;
};

// Formats one sample line, line feed included, into out (replacing its contents).
// Widths are minimums: wider values are printed in full.
void FormatSampleLine(const SampleLine& sample, std::string& out);

// Formats a frame rate as the FPS box and the Frame_Rate column show it ("%2.2f").
std::string FormatFps(double fps);

// Appends a number as printf's "%*lld" and "%*.*f" would: right-aligned in width.
void AppendInt(std::string& out, long long value, int width = 0);
void AppendFixed(std::string& out, double value, int precision, int width = 0);

} // namespace zephyrscope
