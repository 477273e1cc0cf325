#include "SessionMetrics.h"

#include "RunSummary.h"
#include "SessionTally.h"

#include <algorithm>
#include <numeric>

namespace zephyrscope::report {

namespace {

constexpr double kMsPerSecond = 1000.0;

double secondsOf(const std::vector<std::int64_t>& lengthsMs)
{
    return std::accumulate(lengthsMs.begin(), lengthsMs.end(), 0.0,
                           [](double seconds, std::int64_t ms) { return seconds + static_cast<double>(ms) / kMsPerSecond; });
}

// How the clip's entry ended, in standard terms.
void countEnd(SessionMetrics& m, const StatisticsLog& log, std::size_t clip, bool started)
{
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
}

} // namespace

SessionMetrics ClipSession(const StatisticsLog& log, std::size_t begin, std::size_t end, const Figures& f,
                           std::size_t clip)
{
    SessionMetrics m;
    m.sessions = 1;
    // What was played against the best the stream showed, as the metrics endpoint tallies it.
    SessionTally tally;
    for (std::size_t i = begin; i < end; ++i)
        tally.tick(log.samples[i], log.samples[i].network);
    const bool started = f.started();
    if (started)
        m.videoStartSeconds = f.startupSeconds;
    countEnd(m, log, clip, started);
    m.rebufferingCount = f.stalls;
    m.rebufferingSeconds = f.stallSeconds;
    m.rebufferingRatio = f.rebufferRatio;
    for (const VariantSwitch& s : f.switches)
        (s.toBandwidth > s.fromBandwidth ? m.bitrateSwitchesUp : m.bitrateSwitchesDown) += 1;
    m.averageBitRate = tally.averageBitRate();
    m.playingSeconds = tally.playingSeconds();
    m.blackSeconds = secondsOf(f.black.lengthsMs);
    m.frozenSeconds = secondsOf(f.frozen.lengthsMs);
    bool audio = !f.silent.lengthsMs.empty();
    for (std::size_t i = begin; i < end; ++i)
        audio = audio || log.samples[i].audioMeasured;
    if (audio)
        m.silentSeconds = secondsOf(f.silent.lengthsMs);
    m.inputs.started = started;
    m.inputs.startupSeconds = f.startupSeconds.value_or(0.0);
    m.inputs.stalls = f.stalls;
    m.inputs.stallSeconds = f.stallSeconds;
    m.inputs.damageStretches = static_cast<int>(f.damaged.lengthsMs.size());
    m.inputs.damagedSeconds = secondsOf(f.damaged.lengthsMs);
    m.inputs.resolutionRatio = tally.resolutionRatio();
    m.inputs.bitRateRatio = tally.bitRateRatio();
    m.score = ScoreSession(m.inputs);
    return m;
}

SessionMetrics RunSession(const StatisticsLog& log, const RunSummary& summary)
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

} // namespace zephyrscope::report
