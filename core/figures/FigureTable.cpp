#include "FigureTable.h"

#include "PlayState.h"
#include "Protocol.h"

#include <iterator>
#include <type_traits>

namespace zephyrscope {

namespace {

constexpr double kMsPerSecond = 1000.0;
// Divisions, not multiplications by 0.01: 95 / 100 prints as 0.95, 95 * 0.01 does not.
constexpr double kPercentPerRatio = 100.0;
// Prometheus' base unit is the byte; the log's columns are in bits.
constexpr double kBitsPerByte = 8.0;

template <typename T>
struct IsOptional : std::false_type {};
template <typename T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <typename T>
std::optional<double> asValue(const T& v)
{
    if constexpr (IsOptional<T>::value)
        return v ? std::optional<double>(static_cast<double>(*v)) : std::nullopt;
    else
        return static_cast<double>(v);
}

template <typename T>
void assign(T& member, double v)
{
    if constexpr (IsOptional<T>::value)
        member = static_cast<typename T::value_type>(v);
    else
        member = static_cast<T>(v);
}

// A value the sampler works out, read and written as it is.
template <auto Member>
constexpr FigureAccess sampled()
{
    return {[](const SampleLine& s) { return asValue(s.*Member); },
            [](SampleLine& s, double v) { assign(s.*Member, v); }};
}

// A figure of the player's snapshot.
template <auto Member>
constexpr FigureAccess network()
{
    return {[](const SampleLine& s) { return asValue(s.network.*Member); },
            [](SampleLine& s, double v) { assign(s.network.*Member, v); }};
}

bool adaptive(const Protocol& p)
{
    return p.adaptive;
}
template <ProtocolId Id>
bool only(const Protocol& p)
{
    return p.id == Id;
}

constexpr FigureAccess kWallMs {
    [](const SampleLine& s) {
        return std::optional<double>(static_cast<double>(WallClockMs(s.utcTime)));
    },
    [](SampleLine& s, double v) {
        const auto ms = static_cast<std::int64_t>(v);
        s.utcTime.seconds = ms / 1000;
        s.utcTime.milliseconds = static_cast<std::int32_t>(ms % 1000);
    }};

// The TSV writes the milliseconds unpadded ("12.5" for 5 ms); here they are the fraction they stand for.
constexpr FigureAccess kUtcTime {[](const SampleLine& s) {
    return std::optional<double>(static_cast<double>(s.utcTime.seconds) + s.utcTime.milliseconds / 1000.0);
}};

constexpr TextAccess kProtocolText {[](const SampleLine& s) { return columnOf(s.network.protocol); },
                                    [](SampleLine& s, std::string_view v) { s.network.protocol = protocolNamed(v); }};

// The state names are pointers into the core's table, as the TSV reader's are.
constexpr TextAccess kStateText {[](const SampleLine& s) { return std::string_view(s.stateName ? s.stateName : ""); },
                                 [](SampleLine& s, std::string_view v) {
                                     s.stateName = PlayStateName(-1);
                                     for (std::int32_t state = 0; state <= kPlayStateReconnecting; ++state)
                                         if (v == PlayStateName(state))
                                             s.stateName = PlayStateName(state);
                                 }};

// SRT's own delay, which is not end to end: the receiver's buffer plus the way here.
constexpr FigureAccess kSrtTransportLatency {[](const SampleLine& s) {
    const NetworkFigures& f = s.network;
    return std::optional<double>(f.srtReceiverLatencyMs + f.srtRoundTripMs / 2.0);
}};

// The declared bandwidth of an adaptive stream is that of the variant playing
// now; 0 is "not known yet", not a variant.
constexpr FigureAccess kVariantBandwidth {[](const SampleLine& s) {
    const NetworkFigures& f = s.network;
    return f.bandWidth > 0 ? std::optional<double>(f.bandWidth) : std::nullopt;
}};

// Once the entry has shown a picture: a 0 before would read as a measured value.
constexpr FigureAccess kStartup {[](const SampleLine& s) {
    const NetworkFigures& f = s.network;
    return f.startupMs > 0 ? std::optional<double>(f.startupMs) : std::nullopt;
}};

// A stream without sound is not silent: it has no silence figures at all (null
// in the JSON log, which so says whether the entry had sound).
constexpr FigureAccess kSilenceSeconds {[](const SampleLine& s) {
    const NetworkFigures& f = s.network;
    return f.audioPlayed ? std::optional<double>(f.silenceSeconds) : std::nullopt;
},
                                        [](SampleLine& s, double v) {
                                            s.network.silenceSeconds = v;
                                            s.network.audioPlayed = true;
                                        }};
constexpr FigureAccess kSilenceEvents {[](const SampleLine& s) {
    const NetworkFigures& f = s.network;
    return f.audioPlayed ? std::optional<double>(f.silenceEvents) : std::nullopt;
}};

using enum FigureType;
using enum MetricType;

// Each row names only the fields it fills; the others keep their defaults,
// which GCC's -Wextra would report for every row.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
const Figure kFigures[] = {
    // The TSV's columns, by their header names.
    {.name = "sample time", .unit = "ms since 1970 UTC", .value = kWallMs, .jsonKey = "wall_ms", .column = true},
    {.name = "sample time", .unit = "s since 1970 UTC", .type = Decimal, .decimals = 3, .value = kUtcTime,
     .jsonKey = "UTCTime", .column = true},
    {.name = "time since the sampling began", .unit = "s", .type = Decimal, .decimals = 4,
     .value = sampled<&SampleLine::elapsed>(), .jsonKey = "Time", .column = true},
    {.name = "buffering progress", .unit = "%", .value = network<&NetworkFigures::bufferingProgress>(),
     .jsonKey = "Buf_Progress", .column = true, .metricName = "zephyrscope_buffering_progress_ratio",
     .metricType = Gauge, .metricHelp = "Buffering progress of the current entry (Buf_Progress / 100).",
     .metricDivisor = kPercentPerRatio, .metricOrder = 100},
    {.name = "times buffered", .unit = "count", .value = network<&NetworkFigures::bufferingCount>(), .jsonKey = "BufCount",
     .column = true, .metricName = "zephyrscope_buffering_events_total", .metricType = Counter,
     .metricHelp = "Times this entry buffered (BufCount).", .metricOrder = 440},
    {.name = "buffering time", .unit = "ms", .value = network<&NetworkFigures::bufferingTime>(), .jsonKey = "BufTime",
     .column = true, .metricName = "zephyrscope_buffering_time_seconds", .metricType = Gauge,
     .metricHelp = "Buffering time of the current entry (BufTime).", .metricDivisor = kMsPerSecond,
     .metricOrder = 110},
    {.name = "bit rate over the last second", .unit = "bit/s", .value = network<&NetworkFigures::bitRate>(),
     .jsonKey = "Bit_Rate", .column = true},
    {.name = "encoded rate", .unit = "bit/s", .value = network<&NetworkFigures::bandWidth>(), .jsonKey = "BandWidth",
     .column = true, .metricName = "zephyrscope_bandwidth_bytes_per_second", .metricType = Gauge,
     .metricHelp = "The entry's encoded rate (BandWidth / 8).", .metricDivisor = kBitsPerByte, .metricOrder = 120},
    {.name = "bandwidth limit", .unit = "bit/s", .value = network<&NetworkFigures::maxBandwidth>(), .jsonKey = "Max_BandW",
     .column = true, .metricName = "zephyrscope_max_bandwidth_bytes_per_second", .metricType = Gauge,
     .metricHelp = "The bandwidth limit, 0 for none (Max_BandW / 8).", .metricDivisor = kBitsPerByte,
     .metricOrder = 130},
    {.name = "frames shown per second", .unit = "fps", .type = Decimal, .decimals = 2,
     .value = sampled<&SampleLine::fps>(), .jsonKey = "Frame_Rate", .column = true,
     .metricName = "zephyrscope_frame_rate_frames_per_second", .metricType = Gauge,
     .metricHelp = "Frames shown per second (Frame_Rate).", .metricOrder = 140},
    {.name = "encoded frame rate", .unit = "fps", .value = network<&NetworkFigures::encodedFrameRate>(),
     .jsonKey = "Rncode_Fr", .column = true, .metricName = "zephyrscope_encoded_frame_rate_frames_per_second",
     .metricType = Gauge, .metricHelp = "The entry's own frame rate (Rncode_Fr).", .metricOrder = 150},
    {.name = "frames skipped", .unit = "count", .value = network<&NetworkFigures::framesSkipped>(), .jsonKey = "Fr_Skipped",
     .column = true, .metricName = "zephyrscope_skipped_frames_total", .metricType = Counter,
     .metricHelp = "Frames skipped in this entry (Fr_Skipped).", .metricOrder = 430},
    {.name = "packets received", .unit = "count", .value = network<&NetworkFigures::receivedPackets>(),
     .jsonKey = "Received_Pkts", .column = true, .metricName = "zephyrscope_received_packets_total",
     .metricType = Counter, .metricHelp = "Packets received in this entry (Received_Pkts).", .metricOrder = 400},
    {.name = "packets lost", .unit = "count", .value = network<&NetworkFigures::lostPackets>(), .jsonKey = "Lost_Pkts",
     .column = true, .metricName = "zephyrscope_lost_packets_total", .metricType = Counter,
     .metricHelp = "Packets lost in this entry (Lost_Pkts).", .metricOrder = 410},
    {.name = "packets recovered", .unit = "count", .value = network<&NetworkFigures::recoveredPackets>(),
     .jsonKey = "Recover_Pkts", .column = true, .metricName = "zephyrscope_recovered_packets_total",
     .metricType = Counter, .metricHelp = "Packets recovered in this entry (Recover_Pkts).", .metricOrder = 420},
    {.name = "reception quality", .unit = "%", .value = network<&NetworkFigures::receptionQuality>(),
     .jsonKey = "Quality", .column = true, .metricName = "zephyrscope_reception_quality_ratio",
     .metricType = Gauge, .metricHelp = "Packets received over the last 30 s (Quality / 100).",
     .metricDivisor = kPercentPerRatio, .metricOrder = 170},
    {.name = "protocol", .type = Text, .text = kProtocolText, .jsonKey = "Protocol", .column = true},
    {.name = "frame rate over the last interval", .unit = "fps", .type = Decimal, .decimals = 2,
     .value = sampled<&SampleLine::iFramerate>(), .jsonKey = "IFramerate", .column = true,
     .metricName = "zephyrscope_interval_frame_rate_frames_per_second", .metricType = Gauge,
     .metricHelp = "Frame rate over the last sample interval (IFramerate).", .metricOrder = 160},
    {.name = "player state", .type = Text, .text = kStateText, .jsonKey = "PlayerState", .column = true},

    // The figures the TSV has no column for.
    {.name = "live latency", .unit = "ms", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::liveLatencyMs>(), .jsonKey = "latency_ms",
     .metricName = "zephyrscope_live_latency_seconds", .metricType = Gauge,
     .metricHelp = "Wall-clock time the frame on screen was shown minus the time its source captured it.",
     .metricDivisor = kMsPerSecond, .metricOrder = 210},
    {.name = "SRT round-trip time", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = network<&NetworkFigures::srtRoundTripMs>(), .protocols = only<ProtocolId::Srt>, .jsonKey = "srt_rtt_ms",
     .metricName = "zephyrscope_srt_rtt_seconds", .metricType = Gauge,
     .metricHelp = "SRT round-trip time, as the receiver smooths it.", .metricDivisor = kMsPerSecond,
     .metricOrder = 240},
    {.name = "SRT receiver latency", .unit = "ms", .nullable = true,
     .value = network<&NetworkFigures::srtReceiverLatencyMs>(), .protocols = only<ProtocolId::Srt>,
     .jsonKey = "srt_receiver_latency_ms", .metricName = "zephyrscope_srt_receiver_latency_seconds",
     .metricType = Gauge, .metricHelp = "SRT receiver latency negotiated with the sender.",
     .metricDivisor = kMsPerSecond, .metricOrder = 250},
    {.name = "SRT transport latency", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = kSrtTransportLatency, .protocols = only<ProtocolId::Srt>, .jsonKey = "srt_transport_latency_ms"},
    {.name = "RTP interarrival jitter", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = network<&NetworkFigures::rtpJitterMs>(), .jsonKey = "rtp_jitter_ms"},
    {.name = "variant bandwidth", .unit = "bit/s", .nullable = true, .value = kVariantBandwidth,
     .protocols = adaptive, .jsonKey = "variant_bandwidth"},
    {.name = "last segment's download time", .unit = "ms", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::segmentDownloadMs>(), .jsonKey = "segment_download_ms",
     .metricName = "zephyrscope_segment_download_seconds", .metricType = Gauge,
     .metricHelp = "Time the last media segment took, from its request to its last byte.",
     .metricDivisor = kMsPerSecond, .metricOrder = 220},
    {.name = "last segment's throughput", .unit = "bit/s", .type = Decimal, .decimals = 0, .nullable = true,
     .value = network<&NetworkFigures::segmentThroughputBps>(), .jsonKey = "segment_throughput_bps",
     .metricName = "zephyrscope_segment_throughput_bits_per_second", .metricType = Gauge,
     .metricHelp = "Bits of the last media segment over the time it took.", .metricOrder = 230},
    // Nothing is shown of an entry played for its transport alone.
    {.name = "width of the picture shown", .unit = "px", .nullable = true, .decodedOnly = true,
     .value = network<&NetworkFigures::videoWidth>(),
     .jsonKey = "video_width", .metricName = "zephyrscope_video_width_pixels", .metricType = Gauge,
     .metricHelp = "Width of the picture now shown, 0 before the first picture and for audio.", .metricOrder = 180},
    {.name = "height of the picture shown", .unit = "px", .nullable = true, .decodedOnly = true,
     .value = network<&NetworkFigures::videoHeight>(),
     .jsonKey = "video_height", .metricName = "zephyrscope_video_height_pixels", .metricType = Gauge,
     .metricHelp = "Height of the picture now shown, 0 before the first picture and for audio.",
     .metricOrder = 190},
    {.name = "last segment's size", .unit = "bytes", .nullable = true,
     .value = network<&NetworkFigures::segmentBytes>(), .jsonKey = "segment_bytes",
     .metricName = "zephyrscope_segment_size_bytes", .metricType = Gauge,
     .metricHelp = "Bytes of the last media segment downloaded whole, as its server sent them.", .metricOrder = 235,
     .reportLabel = "Segment size", .aggregation = Aggregation::Mean},
    {.name = "start-up time", .unit = "ms", .nullable = true, .value = kStartup,
     .metricName = "zephyrscope_startup_seconds", .metricType = Gauge,
     .metricHelp = "From the entry's open asked for to its first picture shown.", .metricDivisor = kMsPerSecond,
     .metricOrder = 200},
    {.name = "RIST retransmission round-trip time", .unit = "ms", .nullable = true,
     .value = network<&NetworkFigures::ristRoundTripMs>(),
     .protocols = only<ProtocolId::Rist>, .metricName = "zephyrscope_rist_rtt_seconds", .metricType = Gauge,
     .metricHelp = "RIST retransmission round-trip time, 0 before the first retransmission.",
     .metricDivisor = kMsPerSecond, .metricOrder = 260},
    {.name = "bytes received", .unit = "bytes", .value = network<&NetworkFigures::receivedBytes>(),
     .metricName = "zephyrscope_received_bytes_total", .metricType = Counter,
     .metricHelp = "Bytes received in this entry.", .metricOrder = 450},

    // What the viewer got, measured at the sinks on what was decoded. The
    // stretches themselves are the JSON log's events; these are their totals.
    {.name = "time in black", .unit = "s", .type = Decimal, .decimals = 3,
     .value = network<&NetworkFigures::blackSeconds>(), .jsonKey = "black_s",
     .metricName = "zephyrscope_black_seconds_total", .metricType = Counter,
     .metricHelp = "Time the picture was black in this entry.", .metricOrder = 460, .reportLabel = "Time black",
     .aggregation = Aggregation::Last},
    {.name = "black stretches", .unit = "count", .value = network<&NetworkFigures::blackEvents>(),
     .metricName = "zephyrscope_black_events_total", .metricType = Counter,
     .metricHelp = "Black stretches in this entry.", .metricOrder = 461},
    {.name = "time frozen", .unit = "s", .type = Decimal, .decimals = 3,
     .value = network<&NetworkFigures::freezeSeconds>(), .jsonKey = "freeze_s",
     .metricName = "zephyrscope_freeze_seconds_total", .metricType = Counter,
     .metricHelp = "Time the picture stood still while frames came, black excluded.", .metricOrder = 462,
     .reportLabel = "Time frozen", .aggregation = Aggregation::Last},
    {.name = "frozen stretches", .unit = "count", .value = network<&NetworkFigures::freezeEvents>(),
     .metricName = "zephyrscope_freeze_events_total", .metricType = Counter,
     .metricHelp = "Frozen stretches in this entry.", .metricOrder = 463},
    {.name = "time silent", .unit = "s", .type = Decimal, .decimals = 3, .nullable = true, .value = kSilenceSeconds,
     .jsonKey = "silence_s", .metricName = "zephyrscope_silence_seconds_total", .metricType = Counter,
     .metricHelp = "Time the sound was silent in this entry; no series without sound.", .metricOrder = 464,
     .reportLabel = "Time silent", .aggregation = Aggregation::Last},
    {.name = "silent stretches", .unit = "count", .nullable = true, .value = kSilenceEvents,
     .metricName = "zephyrscope_silence_events_total", .metricType = Counter,
     .metricHelp = "Silent stretches in this entry; no series without sound.", .metricOrder = 465},
    {.name = "momentary loudness", .unit = "LUFS", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::loudnessMomentaryLufs>(), .jsonKey = "loudness_momentary_lufs",
     .metricName = "zephyrscope_loudness_lufs", .metricType = Gauge,
     .metricHelp = "Loudness by EBU R128 over its window (momentary 400 ms, short-term 3 s, integrated).",
     .metricOrder = 330, .metricLabel = "window=\"momentary\""},
    {.name = "short-term loudness", .unit = "LUFS", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::loudnessShortTermLufs>(), .jsonKey = "loudness_shortterm_lufs",
     .metricName = "zephyrscope_loudness_lufs", .metricType = Gauge,
     .metricHelp = "Loudness by EBU R128 over its window (momentary 400 ms, short-term 3 s, integrated).",
     .metricOrder = 331, .metricLabel = "window=\"shortterm\""},
    {.name = "integrated loudness", .unit = "LUFS", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::loudnessIntegratedLufs>(), .jsonKey = "loudness_integrated_lufs",
     .metricName = "zephyrscope_loudness_lufs", .metricType = Gauge,
     .metricHelp = "Loudness by EBU R128 over its window (momentary 400 ms, short-term 3 s, integrated).",
     .metricOrder = 332, .metricLabel = "window=\"integrated\"", .reportLabel = "Integrated loudness (LUFS)",
     .aggregation = Aggregation::Last},
    {.name = "loudness range", .unit = "LU", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::loudnessRangeLu>(), .jsonKey = "loudness_range_lu",
     .reportLabel = "Loudness range (LU)", .aggregation = Aggregation::Last},
    {.name = "true peak", .unit = "dBTP", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::truePeakDbtp>(), .jsonKey = "true_peak_dbtp",
     .metricName = "zephyrscope_true_peak_dbtp", .metricType = Gauge,
     .metricHelp = "Largest true peak of the entry's sound so far (dB true peak).", .metricOrder = 340,
     .reportLabel = "True peak (dBTP)", .aggregation = Aggregation::Last},
    {.name = "A/V offset of the sync pattern", .unit = "ms", .type = Decimal, .decimals = 1, .nullable = true,
     .value = network<&NetworkFigures::avOffsetMs>(), .jsonKey = "av_offset_ms",
     .metricName = "zephyrscope_av_offset_seconds", .metricType = Gauge,
     .metricHelp = "Sound minus picture of a sync test pattern (positive: the sound is late).",
     .metricDivisor = kMsPerSecond, .metricOrder = 350, .reportLabel = "A/V offset (ms)",
     .aggregation = Aggregation::Mean},
    // Raw UDP: what the continuity counters, four bits per PID, cannot count (DatagramGapEstimator).
    {.name = "data gaps", .unit = "count", .nullable = true, .value = network<&NetworkFigures::dataGaps>(),
     .jsonKey = "data_gaps", .metricName = "zephyrscope_data_gaps_total", .metricType = Counter,
     .metricHelp = "Raw UDP: stretches with no datagram for over ten times the usual spacing.", .metricOrder = 411,
     .reportLabel = "Data gaps", .aggregation = Aggregation::Last},
    {.name = "time in data gaps", .unit = "ms", .nullable = true, .value = network<&NetworkFigures::dataGapMs>(),
     .jsonKey = "data_gap_ms", .metricName = "zephyrscope_data_gap_seconds_total", .metricType = Counter,
     .metricHelp = "Raw UDP: time in those gaps.", .metricDivisor = kMsPerSecond, .metricOrder = 412,
     .reportLabel = "Time in data gaps", .aggregation = Aggregation::Last},
    {.name = "TS packets lost, estimated", .unit = "count", .nullable = true,
     .value = network<&NetworkFigures::lostEstimate>(), .jsonKey = "lost_estimate",
     .metricName = "zephyrscope_lost_packets_estimate_total", .metricType = Counter,
     .metricHelp = "Raw UDP: payload TS packets lost, an estimate from the rate over the gaps, at least Lost_Pkts.",
     .metricOrder = 413, .reportLabel = "Loss estimate (pkts)", .aggregation = Aggregation::Last},
    {.name = "PCR jitter", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = network<&NetworkFigures::pcrJitterMs>(), .jsonKey = "pcr_jitter_ms",
     .metricName = "zephyrscope_pcr_jitter_seconds", .metricType = Gauge,
     .metricHelp = "Raw UDP: largest PCR jitter against the kernel's arrival times over the last 10 s.",
     .metricDivisor = kMsPerSecond, .metricOrder = 414, .reportLabel = "PCR jitter (ms)",
     .aggregation = Aggregation::P95},
    // Pictures the decoder had to repair, shown marked damaged; nothing is decoded for the transport alone.
    {.name = "damaged frames", .unit = "count", .nullable = true, .decodedOnly = true,
     .value = network<&NetworkFigures::damagedFrames>(), .jsonKey = "damaged_frames",
     .metricName = "zephyrscope_damaged_frames_total", .metricType = Counter, .metricHelp = "Frames shown damaged.",
     .metricOrder = 466, .reportLabel = "Damaged frames", .aggregation = Aggregation::Last},
    {.name = "time damaged", .unit = "ms", .nullable = true, .decodedOnly = true,
     .value = network<&NetworkFigures::damagedMs>(), .jsonKey = "damaged_ms",
     .metricName = "zephyrscope_damaged_seconds_total", .metricType = Counter,
     .metricHelp = "Time the picture shown was damaged in this entry.", .metricDivisor = kMsPerSecond,
     .metricOrder = 467, .reportLabel = "Time damaged", .aggregation = Aggregation::Last},

    // webrtcbin's receiver figures; only WebRTC has them, so a 0 elsewhere would read as measured.
    {.name = "WebRTC interarrival jitter", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = network<&NetworkFigures::webrtcJitterMs>(), .protocols = only<ProtocolId::WebRtc>, .jsonKey = "jitter_ms",
     .jsonGroup = "webrtc", .metricName = "zephyrscope_webrtc_jitter_seconds", .metricType = Gauge,
     .metricHelp = "Largest RTP interarrival jitter of the WebRTC streams, as the receiver estimates it.",
     .metricDivisor = kMsPerSecond, .metricOrder = 280},
    {.name = "WebRTC repair round trip", .unit = "ms", .type = Decimal, .decimals = 3, .nullable = true,
     .value = network<&NetworkFigures::webrtcRoundTripMs>(), .protocols = only<ProtocolId::WebRtc>, .jsonKey = "rtt_ms",
     .jsonGroup = "webrtc", .metricName = "zephyrscope_webrtc_rtt_seconds", .metricType = Gauge,
     .metricHelp = "Round trip of the WebRTC repairs, NACK to retransmission; 0 before the first.",
     .metricDivisor = kMsPerSecond, .metricOrder = 290},
    {.name = "WebRTC jitter buffer delay", .unit = "ms", .nullable = true,
     .value = network<&NetworkFigures::webrtcJitterBufferMs>(), .protocols = only<ProtocolId::WebRtc>,
     .jsonKey = "jitter_buffer_ms", .jsonGroup = "webrtc",
     .metricName = "zephyrscope_webrtc_jitter_buffer_delay_seconds", .metricType = Gauge,
     .metricHelp = "Delay of the WebRTC jitter buffers.", .metricDivisor = kMsPerSecond, .metricOrder = 300},
    {.name = "WebRTC NACKs sent", .unit = "count", .nullable = true,
     .value = network<&NetworkFigures::webrtcNackCount>(), .protocols = only<ProtocolId::WebRtc>,
     .jsonKey = "nacks_sent", .jsonGroup = "webrtc", .metricName = "zephyrscope_webrtc_nacks_sent_total",
     .metricType = Counter, .metricHelp = "Packets asked for again by NACK in this entry.", .metricOrder = 310},
    {.name = "WebRTC PLIs sent", .unit = "count", .nullable = true,
     .value = network<&NetworkFigures::webrtcPliCount>(), .protocols = only<ProtocolId::WebRtc>, .jsonKey = "plis_sent",
     .jsonGroup = "webrtc", .metricName = "zephyrscope_webrtc_plis_sent_total", .metricType = Counter,
     .metricHelp = "Picture loss indications sent in this entry.", .metricOrder = 320},
};
#pragma GCC diagnostic pop

} // namespace

std::span<const Figure> allFigures()
{
    return kFigures;
}

const char* AggregationName(Aggregation aggregation)
{
    // In Aggregation's order; None has no name.
    constexpr const char* kNames[] = {"", "last", "mean", "p95", "sum"};
    const auto index = static_cast<std::size_t>(aggregation);
    return index < std::size(kNames) ? kNames[index] : "";
}

std::optional<double> FigureValue(const Figure& figure, const SampleLine& sample)
{
    if (!figure.value.get)
        return std::nullopt;
    const Protocol* protocol = sample.network.protocol;
    if (figure.protocols && (!protocol || !figure.protocols(*protocol)))
        return std::nullopt;
    if (figure.decodedOnly && sample.network.transportOnly)
        return std::nullopt;
    return figure.value.get(sample);
}

} // namespace zephyrscope
