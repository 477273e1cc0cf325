#pragma once

#include "Clock.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// The first line of every statistics log: eighteen column names, tab-separated.
inline constexpr char kLogHeader[] =
    "UTCTime\tTime\tBuf_Progress\tBufCount\tBufTime\tBit_Rate\tBandWidth\tMax_BandW\tFrame_Rate\tRncode_Fr\t"
    "Fr_Skipped\tReceived_Pkts\tLost_Pkts\tRecover_Pkts\tQuality\tProtocol\tIFramerate\tPlayerState\n";

// The values of one sample, in the order of the log's columns.
struct SampleLine {
    WallClockTime utcTime;
    double elapsed = 0.0; // seconds
    std::int32_t bufferingProgress = 0;
    std::int32_t bufferingCount = 0;
    std::int32_t bufferingTime = 0;
    std::int32_t bitRate = 0;
    std::int32_t bandWidth = 0;
    std::int32_t maxBandwidth = 0;
    double fps = 0.0;
    std::int32_t encodedFrameRate = 0;
    std::int32_t framesSkipped = 0;
    std::int32_t receivedPackets = 0;
    std::int32_t lostPackets = 0;
    std::int32_t recoveredPackets = 0;
    std::int32_t receptionQuality = 0;
    std::string protocol;
    double iFramerate = 0.0;
    const char* stateName = "";
    std::int32_t playState = 0; // the number stateName names; not a column of its own
};

// Formats one sample line, line feed included, into out (replacing its contents).
// Widths are minimums: wider values are printed in full.
void FormatSampleLine(const SampleLine& sample, std::string& out);

// Formats a frame rate as the FPS box and the Frame_Rate column show it ("%2.2f").
std::string FormatFps(double fps);

} // namespace zephyrscope
