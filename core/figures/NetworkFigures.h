#pragma once

#include "ContentStretch.h"
#include "SpliceFigures.h"
#include "TsErrorCounts.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zephyrscope {

struct Protocol;

// One snapshot of the player, taken once per tick (Player::snapshot): its state,
// the current entry's protocol and every figure. The log's network columns are
// read from it, and the JSON log, the metrics endpoint and the report show it
// as the figure table (FigureTable.h) says. Adding a figure: a field here, the
// place in the player that measures it, and its row in the table.
//
// Copying one into another that has held as many content stretches allocates
// nothing, so a tick that refills the same snapshot does not either.
struct NetworkFigures {
    // The player's state (PlayState.h) when the snapshot was taken.
    std::int32_t playState = 0;
    // The entry's protocol: its row of core's table (Protocol.h); null while
    // nothing is loaded.
    const Protocol* protocol = nullptr;
    std::int32_t bandWidth = 0, recoveredPackets = 0, receivedPackets = 0, lostPackets = 0;
    std::int32_t receptionQuality = 0, bufferingCount = 0, bufferingProgress = 0, bufferingTime = 0;
    // The entry's streams were parsed, not decoded (--transport-only): its frames
    // are access units on the stream's clock, and nothing is shown or heard.
    bool transportOnly = false;
    std::int32_t frameRate = 0, bitRate = 0, maxBandwidth = 0, encodedFrameRate = 0, framesSkipped = 0;
    // SRT only: srtsrc's smoothed round-trip time and the receiver latency both sides agreed on.
    double srtRoundTripMs = 0.0;
    std::int32_t srtReceiverLatencyMs = 0;
    // The picture now shown, which follows an adaptive stream's variant switches
    // (the media's image size stays the one at open); 0 before the first picture and for audio.
    std::int32_t videoWidth = 0, videoHeight = 0;
    // From the entry's open requested to its first picture shown; 0 until then and for audio.
    std::int32_t startupMs = 0;
    // Bytes received in this entry: what the bit rate is worked out from.
    std::uint64_t receivedBytes = 0;
    // Live latency: the wall-clock time the frame on screen was shown minus the
    // wall-clock time its source says it was captured, in ms, clock offset between
    // the two hosts included. Absent where the stream carries no wall clock.
    std::optional<double> liveLatencyMs;
    // HLS/DASH: the last media segment downloaded, from its request sent to its
    // last byte, and its bytes over that time (bit/s); absent before the first.
    std::optional<double> segmentDownloadMs;
    std::optional<double> segmentThroughputBps;
    // ... and its size, as its server sent it.
    std::optional<std::int64_t> segmentBytes;
    // RTP's interarrival jitter (RFC 3550) as the jitter buffers estimate it, ms; absent unless RTP.
    std::optional<double> rtpJitterMs;
    // When the entry's first frame reached the video sink: ms since 1970 UTC; 0 not yet.
    std::int64_t firstFrameWallMs = 0;
    // The entry's stalls (Playing to Buffering) so far, and the last one as the
    // picture saw it, ms since 1970 UTC: when the next frame was due after the
    // last one shown, and when the first new frame was shown (0 until then).
    std::int32_t stallsTimed = 0;
    std::int64_t stallSinceWallMs = 0, stallResumedWallMs = 0;
    // An MPEG-TS stream went through a demuxer, whatever carried it, and its
    // first- and second-priority transport stream errors.
    bool transportStream = false;
    TsErrorCounts transportErrors;
    // Raw UDP only (DatagramGapEstimator): the stretches with no datagram for over
    // ten times the usual spacing, their time summed (ms), and the payload TS
    // packets missing as estimated from the stream's rate over them, or the
    // continuity counters' count where larger. Absent for other protocols.
    std::optional<std::int64_t> dataGaps, dataGapMs, lostEstimate;
    // Raw UDP only: the largest PCR jitter against the kernel's arrival times
    // over the last 10 s (ms); absent until the arrivals settled.
    std::optional<double> pcrJitterMs;
    // RIST only: ristsrc's retransmission round-trip time; 0 before a retransmission.
    double ristRoundTripMs = 0.0;
    // WebRTC only: the streams' largest interarrival jitter, the round trip the
    // repairs took, NACKs and PLIs sent, and the jitter buffers' delay.
    double webrtcJitterMs = 0.0, webrtcRoundTripMs = 0.0;
    std::int64_t webrtcNackCount = 0, webrtcPliCount = 0;
    std::int32_t webrtcJitterBufferMs = 0;
    // What the viewer got, measured at the sinks on what was decoded: the
    // entry's black, frozen, silent and damaged stretches in the order found (the
    // first kMaxContentStretches of them), and the time in each (an open
    // stretch up to its last frame or block) and how many.
    static constexpr std::size_t kMaxContentStretches = 1000;
    std::vector<ContentStretch> contentStretches;
    double blackSeconds = 0.0, freezeSeconds = 0.0, silenceSeconds = 0.0;
    std::int32_t blackEvents = 0, freezeEvents = 0, silenceEvents = 0;
    // The frames shown marked as damaged (GST_BUFFER_FLAG_CORRUPTED: concealed
    // after a loss, up to the next key frame), the time from the first of each
    // run to the first undamaged frame after it (ms; an open run up to its last
    // frame), and the runs.
    std::int64_t damagedFrames = 0, damagedMs = 0;
    std::int32_t damageEvents = 0;
    // Sound reached the audio sink in this entry: without it nothing is silent
    // and there is no loudness.
    bool audioPlayed = false;
    // Loudness by EBU R128 (LUFS; the range in LU) and the true peak since the
    // entry began (dBTP); none without sound, or while below the gate.
    std::optional<double> loudnessMomentaryLufs, loudnessShortTermLufs, loudnessIntegratedLufs, loudnessRangeLu;
    std::optional<double> truePeakDbtp;
    // A sync test pattern's sound minus picture (ms); none where none is found.
    std::optional<double> avOffsetMs;
    // The entry's splice commands (SCTE-35 ad breaks) and whether a break is on.
    SpliceFigures splices;
};

} // namespace zephyrscope
