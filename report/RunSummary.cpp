#include "RunSummary.h"

#include "Protocol.h"
#include "SessionTally.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <utility>
#include <numeric>

namespace zephyrscope::report {

namespace {

void resetStalls(Figures& f)
{
    f.stalls = 0;
    f.stallSeconds = 0.0;
    f.stallPeriods.clear();
    f.stallMs.clear();
}

void updateRebufferRatio(Figures& f)
{
    f.rebufferRatio = f.playingSeconds + f.stallSeconds > 0 ? f.stallSeconds / (f.playingSeconds + f.stallSeconds)
                                                            : 0.0;
}

// Counters that the player keeps per entry: the stretch's figure is the highest value seen.
template <typename Field>
std::int64_t highest(const std::vector<LogSample>& samples, std::size_t begin, std::size_t end, Field field)
{
    std::int64_t value = 0;
    for (std::size_t i = begin; i < end; ++i)
        value = std::max<std::int64_t>(value, samples[i].network.*field);
    return value;
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

Figures figuresOf(const std::vector<LogSample>& samples, const std::vector<double>& durations, std::size_t begin,
                  std::size_t end)
{
    Figures f;
    f.samples = end - begin;
    double bitRateSum = 0, frameRateSum = 0, iFramerateSum = 0, qualitySum = 0;
    bool started = false;
    bool inStall = false;
    std::map<std::string, int> protocols;
    for (std::size_t i = begin; i < end; ++i) {
        const LogSample& s = samples[i];
        if (s.network.protocol)
            ++protocols[std::string(s.network.protocol->column)];
        f.encodedFrameRate = std::max(f.encodedFrameRate, s.network.encodedFrameRate);
        if (s.isPlaying()) {
            if (!started)
                f.startupSeconds = s.utc() - samples[begin].utc();
            started = true;
            inStall = false;
            ++f.playingSamples;
            f.playingSeconds += durations[i];
            const double bitRate = s.network.bitRate;
            bitRateSum += bitRate;
            f.bitRateMin = f.bitRateMin ? std::min(*f.bitRateMin, bitRate) : bitRate;
            f.bitRateMax = f.bitRateMax ? std::max(*f.bitRateMax, bitRate) : bitRate;
            frameRateSum += s.fps;
            iFramerateSum += s.iFramerate;
            qualitySum += s.network.receptionQuality;
        } else if (started && s.isStalled()) {
            if (!inStall) {
                ++f.stalls;
                f.stallPeriods.push_back({s.utc(), s.utc()});
            }
            inStall = true;
            f.stallSeconds += durations[i];
            f.stallPeriods.back().end = s.utc() + durations[i];
        } else {
            inStall = false;
        }
    }
    // Variant switches: BandWidth of an adaptive stream changing from one known
    // value to another (0 is "not known yet", not a variant).
    std::int32_t lastBandwidth = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const LogSample& s = samples[i];
        if (!isAdaptive(s.network.protocol))
            continue;
        if (s.network.bandWidth > 0 && lastBandwidth > 0 && s.network.bandWidth != lastBandwidth)
            f.switches.push_back({s.utc(), lastBandwidth, s.network.bandWidth});
        if (s.network.bandWidth > 0)
            lastBandwidth = s.network.bandWidth;
    }
    if (f.playingSamples > 0) {
        const double n = static_cast<double>(f.playingSamples);
        f.bitRateMean = bitRateSum / n;
        f.frameRateMean = frameRateSum / n;
        f.iFramerateMean = iFramerateSum / n;
        f.qualityMean = qualitySum / n;
    }
    updateRebufferRatio(f);
    f.framesSkipped = highest(samples, begin, end, &NetworkFigures::framesSkipped);
    f.receivedPackets = highest(samples, begin, end, &NetworkFigures::receivedPackets);
    f.lostPackets = highest(samples, begin, end, &NetworkFigures::lostPackets);
    if (f.receivedPackets + f.lostPackets > 0)
        f.packetLossPercent = 100.0 * static_cast<double>(f.lostPackets) /
                              static_cast<double>(f.receivedPackets + f.lostPackets);
    std::vector<double> latencies;
    for (std::size_t i = begin; i < end; ++i)
        if (samples[i].network.liveLatencyMs)
            latencies.push_back(*samples[i].network.liveLatencyMs);
    if (!latencies.empty()) {
        std::sort(latencies.begin(), latencies.end());
        LatencyFigures l;
        l.samples = latencies.size();
        l.mean = std::accumulate(latencies.begin(), latencies.end(), 0.0) / static_cast<double>(l.samples);
        l.p50 = Percentile(latencies, 50.0);
        l.p95 = Percentile(latencies, 95.0);
        l.max = latencies.back();
        f.latency = l;
    }
    int most = 0;
    for (const auto& [name, count] : protocols)
        if (count > most) {
            most = count;
            f.protocol = name;
        }
    return f;
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

// Start-up and stalls as the JSON Lines log's events time them, for the events of
// clip (all of them when clip is empty).
void applyEvents(Figures& f, const std::vector<LogEvent>& events, std::optional<std::size_t> clip)
{
    resetStalls(f);
    f.black = f.frozen = f.silent = {};
    bool firstFrameSeen = false;
    for (const LogEvent& e : events) {
        if (clip && e.clip != *clip)
            continue;
        if (e.kind == LogEvent::Kind::BlackEnded || e.kind == LogEvent::Kind::FreezeEnded
            || e.kind == LogEvent::Kind::SilenceEnded) {
            Figures::ContentStretches& to = e.kind == LogEvent::Kind::BlackEnded    ? f.black
                                            : e.kind == LogEvent::Kind::FreezeEnded ? f.frozen
                                                                                    : f.silent;
            to.lengthsMs.push_back(e.durationMs);
            to.periods.push_back({e.utc - static_cast<double>(e.durationMs) / 1000.0, e.utc});
            continue;
        }
        if (e.kind == LogEvent::Kind::FirstFrame && !firstFrameSeen) {
            firstFrameSeen = true;
            f.firstFrameMs = e.durationMs;
            f.startupSeconds = static_cast<double>(e.durationMs) / 1000.0;
        } else if (e.kind == LogEvent::Kind::StallEnded) {
            const double seconds = static_cast<double>(e.durationMs) / 1000.0;
            ++f.stalls;
            f.stallMs.push_back(e.durationMs);
            f.stallSeconds += seconds;
            f.stallPeriods.push_back({e.utc - seconds, e.utc});
        }
    }
    updateRebufferRatio(f);
}

// A clip as a session: the figures above in standard terms, what the ticks say
// of the picture and bit rate played, the entry's end and the content's stretches.
SessionMetrics clipSession(const StatisticsLog& log, const std::vector<LogSample>& samples, std::size_t begin,
                           std::size_t end, const Figures& f, std::size_t clip)
{
    SessionMetrics m;
    m.sessions = 1;
    SessionTally tally;
    for (std::size_t i = begin; i < end; ++i)
        tally.tick(samples[i], samples[i].network);
    const bool started = f.firstFrameMs.has_value() || f.playingSamples > 0;
    if (started)
        m.videoStartSeconds = f.startupSeconds;
    const auto ended = std::find_if(log.entryEnds.begin(), log.entryEnds.end(),
                                    [clip](const LogEntryEnd& e) { return e.clip == clip; });
    if (ended != log.entryEnds.end()) {
        const bool failed = ended->how == LogEntryEnd::How::Failed;
        m.videoStartFailures = failed && !started;
        m.exitsBeforeVideoStart = !failed && !started;
        m.playbackFailures = failed && started;
    } else if (!log.fromJsonLog) {
        // A statistics log says no reasons: an entry that never played failed to.
        m.videoStartFailures = !started;
    }
    m.rebufferingCount = f.stalls;
    m.rebufferingSeconds = f.stallSeconds;
    m.rebufferingRatio = f.rebufferRatio;
    for (const VariantSwitch& s : f.switches)
        (s.toBandwidth > s.fromBandwidth ? m.bitrateSwitchesUp : m.bitrateSwitchesDown) += 1;
    m.averageBitRate = tally.averageBitRate();
    m.playingSeconds = tally.playingSeconds();
    bool audio = false;
    for (std::size_t i = begin; i < end; ++i)
        audio = audio || samples[i].audioMeasured;
    double silent = 0.0;
    for (const LogEvent& e : log.events) {
        if (e.clip != clip)
            continue;
        const double seconds = static_cast<double>(e.durationMs) / 1000.0;
        if (e.kind == LogEvent::Kind::BlackEnded)
            m.blackSeconds += seconds;
        else if (e.kind == LogEvent::Kind::FreezeEnded)
            m.frozenSeconds += seconds;
        else if (e.kind == LogEvent::Kind::SilenceEnded) {
            silent += seconds;
            audio = true;
        }
    }
    if (audio)
        m.silentSeconds = silent;
    m.inputs.started = started;
    m.inputs.startupSeconds = f.startupSeconds.value_or(0.0);
    m.inputs.stalls = f.stalls;
    m.inputs.stallSeconds = f.stallSeconds;
    m.inputs.resolutionRatio = tally.resolutionRatio();
    m.inputs.bitRateRatio = tally.bitRateRatio();
    m.score = ScoreSession(m.inputs);
    return m;
}

// The run: the clips' sessions added up, and the entries that ended before their
// media opened, each a session that never started.
SessionMetrics runSession(const StatisticsLog& log, const RunSummary& summary)
{
    SessionMetrics m;
    double startSum = 0.0, scoreSum = 0.0, bitSeconds = 0.0;
    int started = 0;
    for (const ClipSummary& clip : summary.clips) {
        const SessionMetrics& c = clip.figures.session;
        ++m.sessions;
        if (c.videoStartSeconds) {
            startSum += *c.videoStartSeconds;
            ++started;
        }
        m.videoStartFailures += c.videoStartFailures;
        m.exitsBeforeVideoStart += c.exitsBeforeVideoStart;
        m.playbackFailures += c.playbackFailures;
        m.bitrateSwitchesUp += c.bitrateSwitchesUp;
        m.bitrateSwitchesDown += c.bitrateSwitchesDown;
        if (c.averageBitRate) {
            bitSeconds += *c.averageBitRate * c.playingSeconds;
            m.playingSeconds += c.playingSeconds;
        }
        m.blackSeconds += c.blackSeconds;
        m.frozenSeconds += c.frozenSeconds;
        if (c.silentSeconds)
            m.silentSeconds = m.silentSeconds.value_or(0.0) + *c.silentSeconds;
        scoreSum += c.score.score;
    }
    for (const LogEntryEnd& e : log.entryEnds) {
        if (e.clip)
            continue;
        ++m.sessions;
        (e.how == LogEntryEnd::How::Failed ? m.videoStartFailures : m.exitsBeforeVideoStart) += 1;
    }
    if (started > 0)
        m.videoStartSeconds = startSum / started;
    if (m.playingSeconds > 0.0)
        m.averageBitRate = bitSeconds / m.playingSeconds;
    m.rebufferingCount = summary.run.stalls;
    m.rebufferingSeconds = summary.run.stallSeconds;
    m.rebufferingRatio = summary.run.rebufferRatio;
    if (m.sessions > 0)
        m.score.score = scoreSum / static_cast<double>(m.sessions);
    return m;
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
    summary.run = figuresOf(log.samples, durations, 0, log.samples.size());
    // A statistics log has only its columns: the rows beyond them, the JSON
    // log's, are unknown there (an empty stretch).
    const std::size_t tableEnd = log.fromJsonLog ? log.samples.size() : 0;
    applyTableFigures(summary.run, log.samples, 0, tableEnd);
    const auto tsMarks = tsErrorMarksOf(log);

    for (std::size_t k = 0; k < log.media.size(); ++k) {
        ClipSummary clip;
        clip.media = log.media[k];
        clip.firstSample = k == 0 ? 0 : log.media[k].firstSampleAfter;
        clip.endSample = k + 1 < log.media.size() ? log.media[k + 1].firstSampleAfter : log.samples.size();
        clip.figures = figuresOf(log.samples, durations, clip.firstSample, clip.endSample);
        // The entry's ticks run from the end of the entry before it (its ticks
        // before its media opened) to its own end.
        const std::size_t entryBegin =
            k == 0 ? 0 : std::min(clip.firstSample, log.media[k - 1].entryEndSample.value_or(clip.firstSample));
        applyTsErrors(clip.figures, log.samples, entryBegin,
                      std::min(clip.endSample, clip.media.entryEndSample.value_or(clip.endSample)), tsMarks);
        applyTableFigures(clip.figures, log.samples, clip.firstSample,
                          log.fromJsonLog ? clip.endSample : clip.firstSample);
        if (log.fromJsonLog)
            applyEvents(clip.figures, log.events, k);
        clip.figures.session =
            clipSession(log, log.samples, clip.firstSample, clip.endSample, clip.figures, k);
        summary.clips.push_back(std::move(clip));
    }
    if (log.fromJsonLog && summary.clips.empty())
        applyEvents(summary.run, log.events, std::nullopt);
    if (summary.clips.empty())
        applyTsErrors(summary.run, log.samples, 0, log.samples.size(), tsMarks);

    // Per-entry counters start again with each clip, so the run's totals add the clips up.
    if (!summary.clips.empty()) {
        Figures& run = summary.run;
        // Buffering while the next clip opens is that clip's start-up, not a stall.
        run.framesSkipped = run.receivedPackets = run.lostPackets = 0;
        resetStalls(run);
        run.switches.clear();
        run.tsErrors.reset();
        for (const auto& [index, mark] : tsMarks)
            run.tsErrorMarks.push_back(mark);
        if (log.fromJsonLog) {
            run.firstFrameMs = summary.clips.front().figures.firstFrameMs;
            if (run.firstFrameMs)
                run.startupSeconds = static_cast<double>(*run.firstFrameMs) / 1000.0;
        }
        for (const ClipSummary& clip : summary.clips) {
            run.stallMs.insert(run.stallMs.end(), clip.figures.stallMs.begin(), clip.figures.stallMs.end());
            run.switches.insert(run.switches.end(), clip.figures.switches.begin(), clip.figures.switches.end());
            run.stallPeriods.insert(run.stallPeriods.end(), clip.figures.stallPeriods.begin(),
                                    clip.figures.stallPeriods.end());
            // What the viewer got in each clip is the run's too (its report line and chart bands).
            for (const auto& [to, from] : {std::pair {&run.black, &clip.figures.black},
                                           std::pair {&run.frozen, &clip.figures.frozen},
                                           std::pair {&run.silent, &clip.figures.silent}}) {
                to->lengthsMs.insert(to->lengthsMs.end(), from->lengthsMs.begin(), from->lengthsMs.end());
                to->periods.insert(to->periods.end(), from->periods.begin(), from->periods.end());
            }
            run.stalls += clip.figures.stalls;
            run.stallSeconds += clip.figures.stallSeconds;
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
        updateRebufferRatio(run);
        run.packetLossPercent.reset();
        if (run.receivedPackets + run.lostPackets > 0)
            run.packetLossPercent = 100.0 * static_cast<double>(run.lostPackets) /
                                    static_cast<double>(run.receivedPackets + run.lostPackets);
    }
    if (summary.clips.empty() && log.entryEnds.empty())
        summary.run.session = clipSession(log, log.samples, 0, log.samples.size(), summary.run, 0);
    else
        summary.run.session = runSession(log, summary);
    if (log.monitored) {
        OutageFigures outages;
        for (const LogOutage& outage : log.outages) {
            ++outages.count;
            outages.seconds += static_cast<double>(outage.durationMs) / 1000.0;
            outages.longestMs = std::max(outages.longestMs, outage.durationMs);
        }
        summary.outages = outages;
    }
    return summary;
}

} // namespace zephyrscope::report
