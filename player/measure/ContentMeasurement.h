#pragma once

// What the viewer of one entry got, from the summaries the sink probes
// (ContentProbes) make of each picture and block of sound: black, frozen,
// silent and damaged stretches, loudness, and a sync pattern's A/V offset. The streaming
// threads feed it under its mutexes (one per stream, so picture and sound do
// not wait on each other, and one for what the main loop reads); the main
// loop reads it into the entry's figures. Held by the entry's StreamCounters.
// Private to player/.

#include "BlackDetector.h"
#include "ContentSettings.h"
#include "ContentStretch.h"
#include "FreezeDetector.h"
#include "LoudnessMeter.h"
#include "LumaSample.h"
#include "NetworkFigures.h"
#include "SilenceDetector.h"
#include "SoundSamples.h"
#include "SyncPatternOffset.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace zephyrscope {

class ContentMeasurement {
public:
    // Main loop, before the entry's pipeline runs.
    void configure(const ContentSettings& settings);

    // Video streaming thread: one picture's luma samples (8-bit, blackCode and
    // whiteCode its black and white), shown over [runningUs, runningUs +
    // durationUs) of the running time, at wallUs (us since 1970) for runningUs;
    // damaged: marked as such by the decoder (DecoderDamage).
    void pictureShown(std::span<const std::uint8_t> luma, int blackCode, int whiteCode, std::int64_t runningUs,
                      std::int64_t durationUs, std::int64_t wallUs, bool damaged = false);
    // The pictures ended or jumped (end of stream, seek): open stretches end.
    void picturesEnded();

    // Audio streaming thread: the sound's layout (libebur128's channel kinds),
    // then its samples, interleaved, starting at runningUs (shown at wallUs).
    void soundFormat(unsigned rate, std::span<const LoudnessMeter::Channel> channels);
    void soundPlayed(const SoundSamples& samples, std::int64_t runningUs, std::int64_t wallUs);
    void soundEnded();

    // Main loop.
    void fill(NetworkFigures& figures) const;

private:
    struct Kind {
        std::int64_t closedUs = 0; // of the stretches ended
        std::int32_t count = 0;
        bool open = false;
        std::int64_t openUs = 0;    // how far the open one has reached
        std::size_t openIndex = 0;  // its place in m_stretches, when kept
        bool openKept = false;
        // The last frame or block seen: the running time to wall-clock mapping.
        std::int64_t lastRunningUs = 0, lastWallUs = 0;
    };
    // Records a change of kind's tracker; the stretch lock is taken here.
    void record(ContentKind kind, StretchTracker::Change change, const StretchTracker& stretch,
                std::int64_t runningUs, std::int64_t wallUs);

    ContentSettings m_settings;

    std::mutex m_videoMutex;
    LumaSample m_luma;
    BlackDetector m_black {ContentSettings {}};
    FreezeDetector m_freeze {ContentSettings {}};
    StretchTracker m_damage {0}; // one damaged frame is a stretch

    std::mutex m_audioMutex;
    std::int64_t m_loudnessReadUs = -1; // running time of the last reading taken
    SilenceDetector m_silence {ContentSettings {}};
    LoudnessMeter m_loudness;
    unsigned m_rate = 0, m_channels = 0;

    mutable std::mutex m_syncMutex;
    SyncPatternOffset m_sync;

    mutable std::mutex m_stretchMutex;
    std::vector<ContentStretch> m_stretches;
    std::array<Kind, 4> m_kinds {};
    std::int64_t m_damagedFrames = 0;
    bool m_audioPlayed = false;
    LoudnessMeter::Reading m_loudnessRead; // as of the last quarter second of sound
};

} // namespace zephyrscope
