#include "RunSummary.h"

#include "Protocol.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <numeric>

namespace zephyrscope::report {

namespace {

// Counters that the player keeps per entry: the stretch's figure is the highest value seen.
template <typename Field>
std::int64_t highest(const std::vector<LogSample>& samples, std::size_t begin, std::size_t end, Field field)
{
    std::int64_t value = 0;
    for (std::size_t i = begin; i < end; ++i)
        value = std::max<std::int64_t>(value, samples[i].network.*field);
    return value;
}

void updatePacketLoss(Figures& f)
{
    f.packetLossPercent.reset();
    if (f.receivedPackets + f.lostPackets > 0)
        f.packetLossPercent =
            100.0 * static_cast<double>(f.lostPackets) / static_cast<double>(f.receivedPackets + f.lostPackets);
}

// Where a transport stream's error counts grew, over the whole log: each tick
// against the tick before it of the same entry. An entry ends at its "ended"
// event; counts falling, or a tick with none, also start a new one.
std::vector<std::pair<std::size_t, TsErrorMark>> tsErrorMarksOf(const StatisticsLog& log)
{
    std::vector<bool> entryStarts(log.samples.size() + 1, false);
    for (const LogMediaBlock& block : log.media)
        if (block.entryEndSample)
            entryStarts[*block.entryEndSample] = true;
    std::vector<std::pair<std::size_t, TsErrorMark>> marks;
    std::optional<TsErrorCounts> previous;
    for (std::size_t i = 0; i < log.samples.size(); ++i) {
        const std::optional<TsErrorCounts>& counts = log.samples[i].tsErrors;
        if (entryStarts[i] || !counts)
            previous.reset();
        if (!counts)
            continue;
        TsErrorMark mark {log.samples[i].utc(), {}};
        for (const TsErrorKind& kind : kTsErrorKinds)
            if (previous && (*counts).*kind.count < (*previous).*kind.count)
                previous.reset();
        for (const TsErrorKind& kind : kTsErrorKinds) {
            const std::uint64_t before = previous ? (*previous).*kind.count : 0;
            if ((*counts).*kind.count > before)
                mark.added.*kind.count = (*counts).*kind.count - before;
        }
        if (mark.added.total() > 0)
            marks.emplace_back(i, mark);
        previous = counts;
    }
    return marks;
}

// An entry's totals are its last tick's counts; [begin, end) are its ticks.
void applyTsErrors(Figures& f, const std::vector<LogSample>& samples, std::size_t begin, std::size_t end,
                   const std::vector<std::pair<std::size_t, TsErrorMark>>& marks)
{
    for (std::size_t i = begin; i < end; ++i)
        if (samples[i].tsErrors)
            f.tsErrors = samples[i].tsErrors;
    for (const auto& [index, mark] : marks)
        if (index >= begin && index < end)
            f.tsErrorMarks.push_back(mark);
}

// The columns' figures over the samples in Playing, and the counters' highest.
void applyColumns(Figures& f, const std::vector<LogSample>& samples, std::size_t begin, std::size_t end)
{
    double bitRateSum = 0, frameRateSum = 0, iFramerateSum = 0, qualitySum = 0;
    std::map<std::string, int> protocols;
    for (std::size_t i = begin; i < end; ++i) {
        const LogSample& s = samples[i];
        if (s.network.protocol)
            ++protocols[std::string(s.network.protocol->column)];
        f.encodedFrameRate = std::max(f.encodedFrameRate, s.network.encodedFrameRate);
        if (!s.isPlaying())
            continue;
        const double bitRate = s.network.bitRate;
        bitRateSum += bitRate;
        f.bitRateMin = f.bitRateMin ? std::min(*f.bitRateMin, bitRate) : bitRate;
        f.bitRateMax = f.bitRateMax ? std::max(*f.bitRateMax, bitRate) : bitRate;
        frameRateSum += s.fps;
        iFramerateSum += s.iFramerate;
        qualitySum += s.network.receptionQuality;
    }
    if (f.playingSamples > 0) {
        const double n = static_cast<double>(f.playingSamples);
        f.bitRateMean = bitRateSum / n;
        f.frameRateMean = frameRateSum / n;
        f.iFramerateMean = iFramerateSum / n;
        f.qualityMean = qualitySum / n;
    }
    f.framesSkipped = highest(samples, begin, end, &NetworkFigures::framesSkipped);
    f.receivedPackets = highest(samples, begin, end, &NetworkFigures::receivedPackets);
    f.lostPackets = highest(samples, begin, end, &NetworkFigures::lostPackets);
    updatePacketLoss(f);
    // The protocol of most ticks; of a tie, the first by name.
    if (const auto most = std::ranges::max_element(protocols, {}, [](const auto& p) { return p.second; });
        most != protocols.end())
        f.protocol = most->first;
}

// Variant switches: BandWidth of an adaptive stream changing from one known
// value to another (0 is "not known yet", not a variant).
std::vector<VariantSwitch> switchesOf(const std::vector<LogSample>& samples, std::size_t begin, std::size_t end)
{
    std::vector<VariantSwitch> switches;
    std::int32_t lastBandwidth = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const LogSample& s = samples[i];
        if (!isAdaptive(s.network.protocol))
            continue;
        if (s.network.bandWidth > 0 && lastBandwidth > 0 && s.network.bandWidth != lastBandwidth)
            switches.push_back({s.utc(), lastBandwidth, s.network.bandWidth});
        if (s.network.bandWidth > 0)
            lastBandwidth = s.network.bandWidth;
    }
    return switches;
}

std::optional<LatencyFigures> latencyOf(const std::vector<LogSample>& samples, std::size_t begin, std::size_t end)
{
    std::vector<double> latencies;
    for (std::size_t i = begin; i < end; ++i)
        if (samples[i].network.liveLatencyMs)
            latencies.push_back(*samples[i].network.liveLatencyMs);
    if (latencies.empty())
        return std::nullopt;
    std::sort(latencies.begin(), latencies.end());
    return LatencyFigures {latencies.size(),
                           std::accumulate(latencies.begin(), latencies.end(), 0.0) / static_cast<double>(latencies.size()),
                           Percentile(latencies, 50.0), Percentile(latencies, 95.0), latencies.back()};
}

// The figure table's rows the report shows, over ticks [begin, end).
void applyTableFigures(Figures& f, const std::vector<LogSample>& samples, std::size_t begin, std::size_t end)
{
    f.tableFigures.clear();
    for (const Figure& figure : allFigures()) {
        if (!figure.reportLabel || figure.aggregation == Aggregation::None)
            continue;
        std::vector<double> values;
        for (std::size_t i = begin; i < end; ++i) {
            if (const auto v = FigureValue(figure, samples[i]))
                values.push_back(*v);
        }
        Figures::TableFigure row {&figure, std::nullopt};
        if (!values.empty()) {
            switch (figure.aggregation) {
            case Aggregation::Last:
                row.value = values.back();
                break;
            case Aggregation::Mean:
                row.value = std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
                break;
            case Aggregation::P95:
                std::sort(values.begin(), values.end());
                row.value = Percentile(values, 95.0);
                break;
            case Aggregation::Sum:
                row.value = std::accumulate(values.begin(), values.end(), 0.0);
                break;
            case Aggregation::None:
                break;
            }
        }
        f.tableFigures.push_back(row);
    }
}

// What the viewer got, from the JSON Lines log's events of clip (all of them when
// clip is empty): each black, frozen, silent and damaged stretch's length and place.
void applyContentStretches(Figures& f, const std::vector<LogEvent>& events, std::optional<std::size_t> clip)
{
    f.black = f.frozen = f.silent = f.damaged = {};
    for (const LogEvent& e : events) {
        if (clip && e.clip != *clip)
            continue;
        Figures::ContentStretches* to = e.kind == LogEvent::Kind::BlackEnded    ? &f.black
                                        : e.kind == LogEvent::Kind::FreezeEnded ? &f.frozen
                                        : e.kind == LogEvent::Kind::SilenceEnded ? &f.silent
                                        : e.kind == LogEvent::Kind::DamageEnded  ? &f.damaged
                                                                                 : nullptr;
        if (!to)
            continue;
        to->lengthsMs.push_back(e.durationMs);
        to->periods.push_back({e.utc - static_cast<double>(e.durationMs) / 1000.0, e.utc});
    }
}

// Figures of ticks [begin, end). A statistics log has only its columns: the
// table's rows beyond them, the JSON log's, are unknown there (an empty stretch).
Figures figuresOf(const StatisticsLog& log, const std::vector<double>& durations, std::size_t begin,
                  std::size_t end)
{
    Figures f;
    static_cast<StartupAndStalls&>(f) = StartupAndStalls::ofTicks(log.samples, durations, begin, end);
    f.samples = end - begin;
    applyColumns(f, log.samples, begin, end);
    f.switches = switchesOf(log.samples, begin, end);
    f.latency = latencyOf(log.samples, begin, end);
    applyTableFigures(f, log.samples, begin, log.fromJsonLog ? end : begin);
    return f;
}

// A JSON Lines log's events of clip (all of them when clip is empty) time its
// start-up and stalls, and give its content's stretches.
void applyEvents(Figures& f, const StatisticsLog& log, std::optional<std::size_t> clip)
{
    if (!log.fromJsonLog)
        return;
    f.timeByEvents(log.events, clip);
    applyContentStretches(f, log.events, clip);
}

ClipSummary clipOf(const StatisticsLog& log, const std::vector<double>& durations, std::size_t k,
                   const std::vector<std::pair<std::size_t, TsErrorMark>>& tsMarks)
{
    ClipSummary clip;
    clip.media = log.media[k];
    clip.firstSample = k == 0 ? 0 : log.media[k].firstSampleAfter;
    clip.endSample = k + 1 < log.media.size() ? log.media[k + 1].firstSampleAfter : log.samples.size();
    clip.figures = figuresOf(log, durations, clip.firstSample, clip.endSample);
    // The entry's ticks run from the end of the entry before it (its ticks
    // before its media opened) to its own end.
    const std::size_t entryBegin =
        k == 0 ? 0 : std::min(clip.firstSample, log.media[k - 1].entryEndSample.value_or(clip.firstSample));
    applyTsErrors(clip.figures, log.samples, entryBegin,
                  std::min(clip.endSample, clip.media.entryEndSample.value_or(clip.endSample)), tsMarks);
    applyEvents(clip.figures, log, k);
    clip.figures.session = ClipSession(log, clip.firstSample, clip.endSample, clip.figures, k);
    return clip;
}

// The run of several clips: per-entry counters start again with each clip, so
// the run's totals add the clips up.
void addUpClips(RunSummary& summary, const std::vector<std::pair<std::size_t, TsErrorMark>>& tsMarks)
{
    Figures& run = summary.run;
    run.framesSkipped = run.receivedPackets = run.lostPackets = 0;
    run.switches.clear();
    run.tsErrors.reset();
    for (const auto& [index, mark] : tsMarks)
        run.tsErrorMarks.push_back(mark);
    std::vector<const StartupAndStalls*> stretches;
    for (const ClipSummary& clip : summary.clips) {
        stretches.push_back(&clip.figures);
        run.switches.insert(run.switches.end(), clip.figures.switches.begin(), clip.figures.switches.end());
        // What the viewer got in each clip is the run's too (its report line and chart bands).
        for (const auto& [to, from] : {std::pair {&run.black, &clip.figures.black},
                                       std::pair {&run.frozen, &clip.figures.frozen},
                                       std::pair {&run.silent, &clip.figures.silent},
                                       std::pair {&run.damaged, &clip.figures.damaged}}) {
            to->lengthsMs.insert(to->lengthsMs.end(), from->lengthsMs.begin(), from->lengthsMs.end());
            to->periods.insert(to->periods.end(), from->periods.begin(), from->periods.end());
        }
        run.framesSkipped += clip.figures.framesSkipped;
        run.receivedPackets += clip.figures.receivedPackets;
        run.lostPackets += clip.figures.lostPackets;
        if (clip.figures.tsErrors) {
            if (!run.tsErrors)
                run.tsErrors.emplace();
            for (const TsErrorKind& kind : kTsErrorKinds)
                (*run.tsErrors).*kind.count += (*clip.figures.tsErrors).*kind.count;
        }
    }
    run.sumUpClips(stretches);
    updatePacketLoss(run);
}

OutageFigures outagesOf(const std::vector<LogOutage>& outages)
{
    OutageFigures figures;
    for (const LogOutage& outage : outages) {
        ++figures.count;
        figures.seconds += static_cast<double>(outage.durationMs) / 1000.0;
        figures.longestMs = std::max(figures.longestMs, outage.durationMs);
    }
    return figures;
}

} // namespace

double Percentile(const std::vector<double>& sorted, double p)
{
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::vector<double> SampleDurations(const std::vector<LogSample>& samples)
{
    std::vector<double> durations(samples.size(), kSamplePeriodSeconds);
    for (std::size_t i = 0; i + 1 < samples.size(); ++i) {
        const double gap = samples[i + 1].utc() - samples[i].utc();
        if (gap >= 0.0 && gap <= kMaxSampleGapSeconds)
            durations[i] = gap;
    }
    return durations;
}

RunSummary Summarize(const StatisticsLog& log)
{
    RunSummary summary;
    summary.headerValid = log.headerValid;
    summary.problems = log.problems;
    const auto durations = SampleDurations(log.samples);
    if (!log.samples.empty())
        summary.firstUtc = log.samples.front().utc();
    summary.run = figuresOf(log, durations, 0, log.samples.size());
    const auto tsMarks = tsErrorMarksOf(log);
    for (std::size_t k = 0; k < log.media.size(); ++k)
        summary.clips.push_back(clipOf(log, durations, k, tsMarks));
    if (summary.clips.empty()) {
        applyEvents(summary.run, log, std::nullopt);
        applyTsErrors(summary.run, log.samples, 0, log.samples.size(), tsMarks);
    } else {
        addUpClips(summary, tsMarks);
    }
    if (summary.clips.empty() && log.entryEnds.empty())
        summary.run.session = ClipSession(log, 0, log.samples.size(), summary.run, 0);
    else
        summary.run.session = RunSession(log, summary);
    if (log.monitored)
        summary.outages = outagesOf(log.outages);
    summary.splices = log.splices;
    return summary;
}

} // namespace zephyrscope::report
