#pragma once

#include "FigureTable.h"
#include "SessionMetrics.h"
#include "StartupAndStalls.h"
#include "StatisticsLog.h"

#include <optional>
#include <string>
#include <vector>

namespace zephyrscope::report {

// A change of an adaptive stream's variant, seen as a change of its declared
// BandWidth between two samples of one clip.
struct VariantSwitch {
    double utc = 0.0;           // the first sample with the new bandwidth
    std::int32_t fromBandwidth = 0;
    std::int32_t toBandwidth = 0;
};

// A tick at which a transport stream's error counts grew, and by how much.
struct TsErrorMark {
    double utc = 0.0;
    TsErrorCounts added;
};

// Live latency over the samples that have it (ms).
struct LatencyFigures {
    std::size_t samples = 0;
    double mean = 0.0, p50 = 0.0, p95 = 0.0, max = 0.0;
};

// Figures of one stretch of samples: the whole run, or one clip. Its start-up,
// time played and stalls are StartupAndStalls'.
//
// Each sample stands for the time until the next sample, and a sample followed by
// a gap of more than kMaxSampleGapSeconds (sampling was stopped) or by nothing
// stands for one nominal period. Averages are over the samples in Playing.
struct Figures : StartupAndStalls {
    std::size_t samples = 0;
    std::optional<double> bitRateMean, bitRateMin, bitRateMax; // bit/s
    std::optional<double> frameRateMean;   // frames per second
    std::optional<double> iFramerateMean;
    std::int32_t encodedFrameRate = 0;
    std::int64_t framesSkipped = 0;
    std::int64_t receivedPackets = 0;
    std::int64_t lostPackets = 0;
    std::optional<double> packetLossPercent; // lost / (received + lost)
    std::optional<double> qualityMean;       // percent
    std::string protocol;                    // the most frequent one
    std::vector<VariantSwitch> switches;     // HLS, DASH and MSS only
    std::optional<LatencyFigures> latency; // none where no sample had a latency
    // A transport stream's first-priority errors: none unless a JSON Lines log
    // showed a transport stream in the stretch.
    std::optional<TsErrorCounts> tsErrors;
    std::vector<TsErrorMark> tsErrorMarks;
    // From a JSON Lines log: each figure-table row with a report label, summed up
    // as its row says over the stretch's ticks that have it (none: no tick had it).
    struct TableFigure {
        const Figure* figure = nullptr;
        std::optional<double> value;
    };
    std::vector<TableFigure> tableFigures;
    // The stretch as a viewing session: its standard metrics and score.
    SessionMetrics session;
    // From a JSON Lines log's events: what the viewer got, each stretch's
    // length (ms) and where it lay, black, frozen and silent, and of damaged picture.
    struct ContentStretches {
        std::vector<std::int64_t> lengthsMs;
        std::vector<Period> periods;
    };
    ContentStretches black, frozen, silent, damaged;
};

struct ClipSummary {
    LogMediaBlock media;
    Figures figures;
    // Samples [firstSample, endSample) of the log belong to this clip.
    std::size_t firstSample = 0;
    std::size_t endSample = 0;
};

// A --monitor run's outages: gaps from an entry's end or failure until an entry played again.
struct OutageFigures {
    int count = 0;
    double seconds = 0.0;
    std::int64_t longestMs = 0;
};

struct RunSummary {
    Figures run;
    // From a JSON Lines log that has outage events; none otherwise.
    std::optional<OutageFigures> outages;
    // The splices of a JSON Lines log, in log order: its ad breaks' starts and ends.
    std::vector<LogSplice> splices;
    std::vector<ClipSummary> clips;
    std::vector<LogProblem> problems;
    bool headerValid = false;
    double firstUtc = 0.0; // wall-clock time of the first sample
};

inline constexpr double kSamplePeriodSeconds = 0.5;
inline constexpr double kMaxSampleGapSeconds = 1.5;

// A clip is its media block and the samples up to the next block; the first clip
// also takes the samples before its block, which show it being opened.
RunSummary Summarize(const StatisticsLog& log);

// Nearest-rank percentile (0 < p <= 100) of sorted, non-empty values.
double Percentile(const std::vector<double>& sorted, double p);

// Seconds each sample stands for (see Figures).
std::vector<double> SampleDurations(const std::vector<LogSample>& samples);

} // namespace zephyrscope::report
