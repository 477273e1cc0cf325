#include "TextReport.h"

#include "FigureByKey.h"
#include "Protocol.h"

#include <algorithm>
#include <cstdio>

namespace zephyrscope::report {

namespace {

template <typename... Args>
std::string format(const char* pattern, Args... args)
{
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof buffer, pattern, args...);
    return n < 0 ? std::string() : std::string(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

void row(std::string& out, const char* label, const std::string& value)
{
    out += format("  %-20s %s\n", label, value.c_str());
}

std::string orNone(const std::optional<double>& value, const char* pattern)
{
    return value ? format(pattern, *value) : std::string("-");
}

// The stretch in CTA-2066's terms (docs/QOE.md), and its score.
void session(std::string& out, const SessionMetrics& m, bool run)
{
    out += "  Session (CTA-2066)\n";
    const auto line = [&out](const char* label, const std::string& value) {
        out += format("    %-26s %s\n", label, value.c_str());
    };
    if (run)
        line("Sessions", format("%zu", m.sessions));
    line(run ? "Video Start Time (mean)" : "Video Start Time",
         m.videoStartSeconds ? format("%.3f s", *m.videoStartSeconds) : "- (no picture)");
    line("Video Start Failure", format("%d", m.videoStartFailures));
    line("Exit Before Video Start", format("%d", m.exitsBeforeVideoStart));
    line("Video Playback Failure", format("%d", m.playbackFailures));
    line("Rebuffering", format("count %d, duration %.3f s, ratio %.2f %%", m.rebufferingCount,
                               m.rebufferingSeconds, m.rebufferingRatio * 100.0));
    line("Bitrate switches", format("%d up, %d down", m.bitrateSwitchesUp, m.bitrateSwitchesDown));
    line("Average bitrate", m.averageBitRate ? format("%.1f kbit/s", *m.averageBitRate / 1000.0) : "-");
    line("Time black / frozen", format("%.3f s / %.3f s", m.blackSeconds, m.frozenSeconds));
    line("Time silent", m.silentSeconds ? format("%.3f s", *m.silentSeconds) : "- (no audio measured)");
    if (run)
        line("QoE score", format("%.1f of 100 (mean of the sessions)", m.score.score));
    else
        line("QoE score", format("%.1f of 100 (stalls %.2f, start %.2f MOS, picture %.2f)", m.score.score,
                                 m.score.stallMos, m.score.startMos, m.score.quality));
}

// "120, 1500 ms".
std::string msList(const std::vector<std::int64_t>& lengthsMs)
{
    std::string list;
    for (const std::int64_t ms : lengthsMs)
        list += (list.empty() ? "" : ", ") + format("%lld", static_cast<long long>(ms));
    return list + " ms";
}

void figures(std::string& out, const Figures& f, double firstUtc, bool run)
{
    row(out, "Samples", format("%zu (%zu in Playing)", f.samples, f.playingSamples));
    row(out, "Start-up time", f.startupSeconds ? format("%.2f s", *f.startupSeconds) : "never played");
    if (f.firstFrameMs)
        row(out, "First frame", format("%lld ms after the start", static_cast<long long>(*f.firstFrameMs)));
    row(out, "Playing time", format("%.2f s", f.playingSeconds));
    row(out, "Stalls", format("%d, %.2f s in all, rebuffer ratio %.1f %%", f.stalls, f.stallSeconds,
                              f.rebufferRatio * 100.0));
    if (!f.stallMs.empty())
        row(out, "Stall lengths", msList(f.stallMs));
    if (f.latency)
        row(out, "Live latency", format("mean %.0f ms, p50 %.0f, p95 %.0f, max %.0f (%zu samples)", f.latency->mean,
                                        f.latency->p50, f.latency->p95, f.latency->max, f.latency->samples));
    else
        row(out, "Live latency", "- (no wall clock in the stream, or not a JSON Lines log)");
    if (f.bitRateMean)
        row(out, "Bit rate", format("mean %.1f kbit/s, min %.1f, max %.1f", *f.bitRateMean / 1000.0,
                                    *f.bitRateMin / 1000.0, *f.bitRateMax / 1000.0));
    else
        row(out, "Bit rate", "-");
    row(out, "Frame rate", orNone(f.frameRateMean, "mean %.2f fps") + format(" (encoded %d fps)", f.encodedFrameRate));
    row(out, "IFramerate", orNone(f.iFramerateMean, "mean %.2f fps"));
    row(out, "Frames skipped", format("%lld", static_cast<long long>(f.framesSkipped)));
    row(out, "Packets", format("%lld received, %lld lost", static_cast<long long>(f.receivedPackets),
                               static_cast<long long>(f.lostPackets)) +
                            (f.packetLossPercent ? format(" (%.2f %% loss)", *f.packetLossPercent) : std::string()));
    row(out, "Reception quality", orNone(f.qualityMean, "mean %.1f %%"));
    row(out, "Protocol", f.protocol.empty() ? "-" : f.protocol);
    // Only a JSON Lines log has them: a log without says nothing rather than 0.
    if (f.tsErrors) {
        std::string counts;
        for (const TsErrorKind& kind : kTsErrorKinds) {
            // The second priority's kinds only where they were found.
            if (kind.priority == 2 && (*f.tsErrors).*kind.count == 0)
                continue;
            counts += (counts.empty() ? "" : ", ") + format("%s %llu", kind.name,
                                                            static_cast<unsigned long long>((*f.tsErrors).*kind.count));
        }
        row(out, "TS errors", counts);
    }
    session(out, f.session, run);
    for (const auto& [label, stretches] : {std::pair {"Black stretches", &f.black},
                                           std::pair {"Frozen stretches", &f.frozen},
                                           std::pair {"Silent stretches", &f.silent}}) {
        if (!stretches->lengthsMs.empty())
            row(out, label, format("%zu: ", stretches->lengthsMs.size()) + msList(stretches->lengthsMs));
    }
    for (const Figures::TableFigure& t : f.tableFigures) {
        // A JSON Lines log says whether an entry had sound: without, nothing was silent.
        static const Figure& timeSilent = FigureByKey("silence_s");
        // Whether any figure of the table had a value: the log was a JSON Lines log.
        if (!t.value && t.figure == &timeSilent && f.playingSamples > 0
            && std::ranges::any_of(f.tableFigures, [](const auto& other) { return other.value.has_value(); }))
            row(out, t.figure->reportLabel, "- (no sound track: not silent)");
        if (t.value)
            row(out, t.figure->reportLabel,
                format("%s %.*f %s", AggregationName(t.figure->aggregation),
                       t.figure->type == FigureType::Decimal ? t.figure->decimals : 0, *t.value,
                       std::string(t.figure->unit).c_str()));
    }
    if (!f.switches.empty() || isAdaptiveColumn(f.protocol)) {
        row(out, "Variant switches", format("%zu", f.switches.size()));
        for (const VariantSwitch& s : f.switches)
            out += format("    at %.3f (+%.1f s): %d -> %d bit/s\n", s.utc, s.utc - firstUtc, s.fromBandwidth,
                          s.toBandwidth);
    }
}

// The splices, where the log has any: each at its splice point (or when heard,
// where it has none), what it says and where it was signalled.
void splices(std::string& out, const std::vector<LogSplice>& list, double firstUtc)
{
    if (list.empty())
        return;
    row(out, "Splices", format("%zu", list.size()));
    for (const LogSplice& s : list) {
        const double utc = s.spliceUtc.value_or(s.utc);
        std::string what = s.command;
        if (s.outOfNetwork)
            what += *s.outOfNetwork ? " out" : " in";
        if (s.eventId)
            what += format(", event %u", *s.eventId);
        if (s.durationMs)
            what += format(", %.3f s", static_cast<double>(*s.durationMs) / 1000.0);
        out += format("    %s %.3f (+%.1f s): ", s.spliceUtc ? "at" : "heard at", utc, utc - firstUtc) + what
            + ", from " + s.source + format(" (clip %zu)\n", s.clip + 1);
    }
}

} // namespace

std::string FormatTextReport(const RunSummary& summary, const std::string& logName)
{
    std::string out;
    out += "Log " + logName + ": " + format("%zu clip(s), %zu sample(s), %zu line(s) not read\n",
                                             summary.clips.size(), summary.run.samples, summary.problems.size());
    out += "\nRun\n";
    figures(out, summary.run, summary.firstUtc, true);
    if (summary.outages)
        row(out, "Outages", format("%d, %.1f s in all, the longest %.1f s", summary.outages->count,
                                   summary.outages->seconds, static_cast<double>(summary.outages->longestMs) / 1000.0));
    splices(out, summary.splices, summary.firstUtc);
    for (std::size_t k = 0; k < summary.clips.size(); ++k) {
        const ClipSummary& clip = summary.clips[k];
        out += format("\nClip %zu: ", k + 1) + clip.media.name + "\n";
        row(out, "URL", clip.media.url);
        row(out, "Duration", clip.media.durationString + format(" (%.2f s)", clip.media.duration));
        row(out, "Picture size", format("%d x %d", clip.media.width, clip.media.height));
        figures(out, clip.figures, summary.firstUtc, false);
    }
    if (!summary.problems.empty()) {
        out += "\nLines not read\n";
        // A few examples say what is wrong; thousands of them would bury the summary.
        constexpr std::size_t kShown = 20;
        for (std::size_t k = 0; k < summary.problems.size() && k < kShown; ++k)
            out += format("  line %d: ", summary.problems[k].line) + summary.problems[k].message + "\n";
        if (summary.problems.size() > kShown)
            out += format("  ... and %zu more\n", summary.problems.size() - kShown);
    }
    return out;
}

} // namespace zephyrscope::report
