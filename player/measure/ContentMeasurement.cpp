#include "ContentMeasurement.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace zephyrscope {

namespace {

// Blocks of sound the silence and the sync pattern are judged by: a stretch's
// ends are found to this.
constexpr unsigned kBlocksPerSecond = 100;
constexpr std::int64_t kUsPerSecond = 1000000;
constexpr std::int64_t kLoudnessReadUs = 250000;

std::size_t indexOf(ContentKind kind)
{
    return static_cast<std::size_t>(kind);
}

double dbfs(float peak)
{
    return peak > 0.0f ? 20.0 * std::log10(static_cast<double>(peak)) : -std::numeric_limits<double>::infinity();
}

} // namespace

void ContentMeasurement::configure(const ContentSettings& settings)
{
    std::scoped_lock lock(m_videoMutex, m_audioMutex);
    m_settings = settings;
    m_black = BlackDetector(settings);
    m_freeze = FreezeDetector(settings);
    m_silence = SilenceDetector(settings);
}

void ContentMeasurement::record(ContentKind kind, StretchTracker::Change change, const StretchTracker& stretch,
                                std::int64_t runningUs, std::int64_t wallUs)
{
    std::lock_guard lock(m_stretchMutex);
    Kind& k = m_kinds[indexOf(kind)];
    k.lastRunningUs = runningUs;
    k.lastWallUs = wallUs;
    // Running time and wall clock advance together while the sinks play.
    const auto wallMsOf = [&](std::int64_t us) { return (wallUs + (us - runningUs)) / 1000; };
    if (change == StretchTracker::Change::Started) {
        ++k.count;
        k.open = true;
        k.openKept = m_stretches.size() < NetworkFigures::kMaxContentStretches;
        if (k.openKept) {
            k.openIndex = m_stretches.size();
            ContentStretch s;
            s.kind = kind;
            s.startWallMs = wallMsOf(stretch.startUs());
            s.foundAfterMs = (stretch.endUs() - stretch.startUs()) / 1000;
            s.startMediaUs = stretch.startUs();
            s.endMediaUs = stretch.endUs();
            m_stretches.push_back(s);
        }
    } else if (change == StretchTracker::Change::Ended && k.open) {
        k.open = false;
        k.closedUs += stretch.endUs() - stretch.startUs();
        if (k.openKept) {
            ContentStretch& s = m_stretches[k.openIndex];
            s.endMediaUs = stretch.endUs();
            s.endWallMs = s.startWallMs + (s.endMediaUs - s.startMediaUs) / 1000;
        }
    }
    if (k.open) {
        k.openUs = stretch.endUs() - stretch.startUs();
        if (k.openKept)
            m_stretches[k.openIndex].endMediaUs = stretch.endUs();
    }
}

void ContentMeasurement::pictureShown(std::span<const std::uint8_t> luma, int blackCode, int whiteCode,
                                      std::int64_t runningUs, std::int64_t durationUs, std::int64_t wallUs,
                                      bool damaged)
{
    std::lock_guard lock(m_videoMutex);
    const PictureSummary picture = m_luma.summarize(luma, blackCode, whiteCode, m_settings.blackLumaRatio);
    const bool black = m_black.black(picture);
    const StretchTracker::Change blackChange = m_black.observe(picture, runningUs, durationUs);
    const StretchTracker::Change freezeChange = m_freeze.observe(picture, black, runningUs, durationUs);
    record(ContentKind::Black, blackChange, m_black.stretch(), runningUs, wallUs);
    record(ContentKind::Freeze, freezeChange, m_freeze.stretch(), runningUs, wallUs);
    record(ContentKind::Damage, m_damage.observe(damaged, runningUs, durationUs), m_damage, runningUs, wallUs);
    if (damaged) {
        std::lock_guard stretchLock(m_stretchMutex);
        ++m_damagedFrames;
    }
    std::lock_guard syncLock(m_syncMutex);
    m_sync.observePicture(picture.meanLevel, runningUs);
}

void ContentMeasurement::picturesEnded()
{
    std::lock_guard lock(m_videoMutex);
    m_luma.reset();
    for (auto [kind, change, tracker] :
         {std::tuple {ContentKind::Black, m_black.finish(), &m_black.stretch()},
          std::tuple {ContentKind::Freeze, m_freeze.finish(), &m_freeze.stretch()},
          std::tuple {ContentKind::Damage, m_damage.finish(), &std::as_const(m_damage)}}) {
        std::int64_t runningUs = 0, wallUs = 0;
        {
            std::lock_guard stretchLock(m_stretchMutex);
            runningUs = m_kinds[indexOf(kind)].lastRunningUs;
            wallUs = m_kinds[indexOf(kind)].lastWallUs;
        }
        record(kind, change, *tracker, runningUs, wallUs);
    }
}

void ContentMeasurement::soundFormat(unsigned rate, std::span<const LoudnessMeter::Channel> channels)
{
    std::lock_guard lock(m_audioMutex);
    m_rate = rate;
    m_channels = static_cast<unsigned>(channels.size());
    m_loudness.start(rate, channels);
}

void ContentMeasurement::soundPlayed(const SoundSamples& samples, std::int64_t runningUs, std::int64_t wallUs)
{
    std::lock_guard lock(m_audioMutex);
    if (m_rate == 0 || m_channels == 0)
        return;
    const std::size_t frames = samples.frames;
    const std::size_t blockFrames = std::max<std::size_t>(1, m_rate / kBlocksPerSecond);
    for (std::size_t first = 0; first < frames; first += blockFrames) {
        const std::size_t count = std::min(blockFrames, frames - first);
        float peak = 0.0f;
        samples.read([&](const auto* data, float toFloat) {
            const auto* end = data + (first + count) * m_channels;
            for (const auto* v = data + first * m_channels; v != end; ++v)
                peak = std::max(peak, std::fabs(static_cast<float>(*v) * toFloat));
        });
        const std::int64_t t = runningUs + static_cast<std::int64_t>(first) * kUsPerSecond / m_rate;
        const std::int64_t d = static_cast<std::int64_t>(count) * kUsPerSecond / m_rate;
        const double level = dbfs(peak);
        const StretchTracker::Change change = m_silence.observe(level, t, d);
        record(ContentKind::Silence, change, m_silence.stretch(), t, wallUs + (t - runningUs));
        std::lock_guard syncLock(m_syncMutex);
        m_sync.observeSound(level, t);
    }
    m_loudness.add(samples);
    // Read here every quarter of a second rather than on the main loop's
    // ticks: the short-term window alone is 3 s of samples to sum, and the
    // main loop would wait for this thread's lock to do it.
    if (m_loudnessReadUs >= 0 && runningUs >= m_loudnessReadUs && runningUs - m_loudnessReadUs < kLoudnessReadUs)
        return;
    m_loudnessReadUs = runningUs;
    const LoudnessMeter::Reading reading = m_loudness.read();
    std::lock_guard stretchLock(m_stretchMutex);
    m_audioPlayed = true;
    m_loudnessRead = reading;
}

void ContentMeasurement::soundEnded()
{
    std::lock_guard lock(m_audioMutex);
    const StretchTracker::Change change = m_silence.finish();
    // The last of the sound counts in what the main loop reads.
    const LoudnessMeter::Reading reading = m_loudness.read();
    {
        std::lock_guard stretchLock(m_stretchMutex);
        if (m_audioPlayed)
            m_loudnessRead = reading;
    }
    m_loudnessReadUs = -1;
    std::int64_t runningUs = 0, wallUs = 0;
    {
        std::lock_guard stretchLock(m_stretchMutex);
        runningUs = m_kinds[indexOf(ContentKind::Silence)].lastRunningUs;
        wallUs = m_kinds[indexOf(ContentKind::Silence)].lastWallUs;
    }
    record(ContentKind::Silence, change, m_silence.stretch(), runningUs, wallUs);
}

void ContentMeasurement::fill(NetworkFigures& figures) const
{
    {
        std::lock_guard lock(m_stretchMutex);
        figures.contentStretches = m_stretches;
        const auto seconds = [](const Kind& k) {
            return static_cast<double>(k.closedUs + (k.open ? k.openUs : 0)) / kUsPerSecond;
        };
        const Kind& black = m_kinds[indexOf(ContentKind::Black)];
        const Kind& freeze = m_kinds[indexOf(ContentKind::Freeze)];
        const Kind& silence = m_kinds[indexOf(ContentKind::Silence)];
        figures.blackSeconds = seconds(black);
        figures.freezeSeconds = seconds(freeze);
        figures.silenceSeconds = seconds(silence);
        figures.blackEvents = black.count;
        figures.freezeEvents = freeze.count;
        figures.silenceEvents = silence.count;
        const Kind& damage = m_kinds[indexOf(ContentKind::Damage)];
        figures.damagedFrames = m_damagedFrames;
        figures.damagedMs = (damage.closedUs + (damage.open ? damage.openUs : 0)) / 1000;
        figures.damageEvents = damage.count;
        figures.audioPlayed = m_audioPlayed;
        figures.loudnessMomentaryLufs = m_loudnessRead.momentaryLufs;
        figures.loudnessShortTermLufs = m_loudnessRead.shortTermLufs;
        figures.loudnessIntegratedLufs = m_loudnessRead.integratedLufs;
        figures.loudnessRangeLu = m_loudnessRead.rangeLu;
        figures.truePeakDbtp = m_loudnessRead.truePeakDbtp;
    }
    std::lock_guard lock(m_syncMutex);
    figures.avOffsetMs = m_sync.offsetMs();
}

} // namespace zephyrscope
