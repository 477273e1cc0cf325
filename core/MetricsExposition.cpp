#include "MetricsExposition.h"

#include "RedactedUrl.h"

#include "MetricsFigures.h"
#include "PlayState.h"
#include "ProgramUsage.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace zephyrscope {

namespace {

// Divisions, not multiplications by 0.01: 95 / 100 prints as 0.95, 95 * 0.01 does not.
constexpr double kPercentPerRatio = 100.0;
constexpr double kMsPerSecond = 1000.0;
// Prometheus' base unit is the byte; the log's columns are in bits.
constexpr double kBitsPerByte = 8.0;
constexpr std::int32_t kPlayStateCount = kPlayStateReconnecting + 1;
constexpr std::string_view kSrtProtocol = "SRT";
constexpr std::string_view kRistProtocol = "RIST";
constexpr std::string_view kWebRtcProtocol = "WebRTC";

void appendNumber(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    // Shortest fixed notation that reads back the same: "300000", not "3e+05".
    // Room for the largest double: 309 digits, sign, point and decimals.
    char buffer[330];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    out.append(buffer, result.ptr);
}

void appendNumber(std::string& out, std::uint64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendFamily(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One family of one series: HELP, TYPE and "name{labels} value".
template <typename Value>
void appendSeries(std::string& out, const char* name, const char* type, const char* help, std::string_view labels,
                  Value value)
{
    appendFamily(out, name, type, help);
    out += name;
    out += labels;
    out += ' ';
    appendNumber(out, value);
    out += '\n';
}

std::string_view versionNumber()
{
    const std::string_view version(kProgramVersion);
    return version.substr(version.rfind(' ') + 1);
}

// One family, a series per kind of error, each labelled with the entry's labels and its kind.
void appendTransportErrors(std::string& out, const std::string& labels, const TsErrorCounts& errors)
{
    constexpr const char* kName = "zephyrscope_ts_errors_total";
    appendFamily(out, kName, "counter", "First-priority MPEG-TS errors in this entry, by kind.");
    const std::string entry = labels.substr(0, labels.size() - 1); // without its closing brace
    for (const TsErrorKind& kind : kTsErrorKinds) {
        out += kName;
        out += entry;
        out += ",error=\"";
        out += kind.name;
        out += "\"} ";
        appendNumber(out, errors.*kind.count);
        out += '\n';
    }
}

// webrtcbin's receiver figures; only WebRTC has them, so a 0 elsewhere would read as measured.
void appendWebRtcSeries(std::string& out, const std::string& labels, const NetworkFigures& n)
{
    appendSeries(out, "zephyrscope_webrtc_jitter_seconds", "gauge",
                 "Largest RTP interarrival jitter of the WebRTC streams, as the receiver estimates it.", labels,
                 n.webrtcJitterMs / kMsPerSecond);
    appendSeries(out, "zephyrscope_webrtc_rtt_seconds", "gauge",
                 "Round trip of the WebRTC repairs, NACK to retransmission; 0 before the first.", labels,
                 n.webrtcRoundTripMs / kMsPerSecond);
    appendSeries(out, "zephyrscope_webrtc_jitter_buffer_delay_seconds", "gauge",
                 "Delay of the WebRTC jitter buffers.", labels, n.webrtcJitterBufferMs / kMsPerSecond);
    appendSeries(out, "zephyrscope_webrtc_nacks_sent_total", "counter",
                 "Packets asked for again by NACK in this entry.", labels,
                 static_cast<std::uint64_t>(n.webrtcNackCount < 0 ? 0 : n.webrtcNackCount));
    appendSeries(out, "zephyrscope_webrtc_plis_sent_total", "counter",
                 "Picture loss indications sent in this entry.", labels,
                 static_cast<std::uint64_t>(n.webrtcPliCount < 0 ? 0 : n.webrtcPliCount));
}

void appendEntrySeries(std::string& out, const MetricsFigures& f)
{
    const SampleLine& s = f.sample;
    std::string labels = "{url=\"" + EscapeLabelValue(UrlWithoutUserInfo(f.entryUrl)) + "\",protocol=\""
                         + EscapeLabelValue(s.protocol) + "\"}";

    struct Gauge {
        const char* name;
        const char* help;
        double value;
    };
    const Gauge gauges[] = {
        {"zephyrscope_buffering_progress_ratio", "Buffering progress of the current entry (Buf_Progress / 100).",
         s.bufferingProgress / kPercentPerRatio},
        {"zephyrscope_buffering_time_seconds", "Buffering time of the current entry (BufTime).",
         s.bufferingTime / kMsPerSecond},
        {"zephyrscope_bandwidth_bytes_per_second", "The entry's encoded rate (BandWidth / 8).",
         s.bandWidth / kBitsPerByte},
        {"zephyrscope_max_bandwidth_bytes_per_second", "The bandwidth limit, 0 for none (Max_BandW / 8).",
         s.maxBandwidth / kBitsPerByte},
        {"zephyrscope_frame_rate_frames_per_second", "Frames shown per second (Frame_Rate).", s.fps},
        {"zephyrscope_encoded_frame_rate_frames_per_second", "The entry's own frame rate (Rncode_Fr).",
         double(s.encodedFrameRate)},
        {"zephyrscope_interval_frame_rate_frames_per_second",
         "Frame rate over the last sample interval (IFramerate).", s.iFramerate},
        {"zephyrscope_reception_quality_ratio", "Packets received over the last 30 s (Quality / 100).",
         s.receptionQuality / kPercentPerRatio},
    };
    for (const Gauge& g : gauges)
        appendSeries(out, g.name, "gauge", g.help, labels, g.value);
    appendSeries(out, "zephyrscope_video_width_pixels", "gauge",
                 "Width of the picture now shown, 0 before the first picture and for audio.", labels,
                 double(f.network.videoWidth));
    appendSeries(out, "zephyrscope_video_height_pixels", "gauge",
                 "Height of the picture now shown, 0 before the first picture and for audio.", labels,
                 double(f.network.videoHeight));
    // Once the entry has shown a picture: a 0 before would read as a measured value.
    if (f.network.startupMs > 0)
        appendSeries(out, "zephyrscope_startup_seconds", "gauge",
                     "From the entry's open asked for to its first picture shown.", labels,
                     f.network.startupMs / kMsPerSecond);
    // Served only where the stream carries a wall clock: a 0 would read as measured.
    if (f.network.liveLatencyMs)
        appendSeries(out, "zephyrscope_live_latency_seconds", "gauge",
                     "Wall-clock time the frame on screen was shown minus the time its source captured it.", labels,
                     *f.network.liveLatencyMs / kMsPerSecond);
    // HLS/DASH, once a segment has come whole.
    if (f.network.segmentDownloadMs)
        appendSeries(out, "zephyrscope_segment_download_seconds", "gauge",
                     "Time the last media segment took, from its request to its last byte.", labels,
                     *f.network.segmentDownloadMs / kMsPerSecond);
    if (f.network.segmentThroughputBps)
        appendSeries(out, "zephyrscope_segment_throughput_bits_per_second", "gauge",
                     "Bits of the last media segment over the time it took.", labels, *f.network.segmentThroughputBps);
    // Only SRT has them: a 0 for other protocols would read as a measured value.
    if (s.protocol == kSrtProtocol) {
        appendSeries(out, "zephyrscope_srt_rtt_seconds", "gauge", "SRT round-trip time, as the receiver smooths it.",
                     labels, f.network.srtRoundTripMs / kMsPerSecond);
        appendSeries(out, "zephyrscope_srt_receiver_latency_seconds", "gauge",
                     "SRT receiver latency negotiated with the sender.", labels,
                     f.network.srtReceiverLatencyMs / kMsPerSecond);
    }
    if (s.protocol == kRistProtocol)
        appendSeries(out, "zephyrscope_rist_rtt_seconds", "gauge",
                     "RIST retransmission round-trip time, 0 before the first retransmission.", labels,
                     f.network.ristRoundTripMs / kMsPerSecond);
    if (f.network.transportStream)
        appendTransportErrors(out, labels, f.network.transportErrors);
    if (s.protocol == kWebRtcProtocol)
        appendWebRtcSeries(out, labels, f.network);

    struct Counter {
        const char* name;
        const char* help;
        std::int32_t value;
    };
    const Counter counters[] = {
        {"zephyrscope_received_packets_total", "Packets received in this entry (Received_Pkts).", s.receivedPackets},
        {"zephyrscope_lost_packets_total", "Packets lost in this entry (Lost_Pkts).", s.lostPackets},
        {"zephyrscope_recovered_packets_total", "Packets recovered in this entry (Recover_Pkts).",
         s.recoveredPackets},
        {"zephyrscope_skipped_frames_total", "Frames skipped in this entry (Fr_Skipped).", s.framesSkipped},
        {"zephyrscope_buffering_events_total", "Times this entry buffered (BufCount).", s.bufferingCount},
    };
    // The player's counts are per entry and never negative; a negative one would
    // be a fault of the player, and a counter cannot show it.
    for (const Counter& c : counters)
        appendSeries(out, c.name, "counter", c.help, labels,
                     static_cast<std::uint64_t>(c.value < 0 ? 0 : c.value));
    // The counter Bit_Rate is worked out from: rate() of it is the throughput.
    appendSeries(out, "zephyrscope_received_bytes_total", "counter", "Bytes received in this entry.", labels,
                 f.network.receivedBytes);

    appendFamily(out, "zephyrscope_player_state", "gauge", "1 for the player's current state, 0 for the others.");
    for (std::int32_t state = 0; state < kPlayStateCount; ++state) {
        out += "zephyrscope_player_state{state=\"";
        out += PlayStateName(state);
        out += state == s.playState ? "\"} 1\n" : "\"} 0\n";
    }
    appendSeries(out, "zephyrscope_player_state_code", "gauge",
                 "The player's current state as a number (3 Playing, 6 Buffering, 10 Ready, ...).", "",
                 double(s.playState));
    appendSeries(out, "zephyrscope_last_sample_timestamp_seconds", "gauge",
                 "When the last sample was taken, in seconds since 1970 UTC.", "",
                 double(s.utcTime.seconds) + s.utcTime.milliseconds / kMsPerSecond);
}

} // namespace

void FormatMetricsExposition(const MetricsFigures& f, std::string& out)
{
    out.clear();
    appendSeries(out, "zephyrscope_build_info", "gauge", "The program's version, as a label; always 1.",
                 "{version=\"" + EscapeLabelValue(versionNumber()) + "\"}", double(1));
    appendSeries(out, "zephyrscope_samples_written_total", "counter", "Sample lines written to the log in this run.",
                 "", f.samplesWritten);
    appendSeries(out, "zephyrscope_entries_opened_total", "counter", "Entries opened in this run.", "",
                 f.entriesOpened);
    appendSeries(out, "zephyrscope_entries_failed_total", "counter", "Entries that could not be played in this run.",
                 "", f.entriesFailed);
    appendSeries(out, "zephyrscope_log_write_failures_total", "counter", "Writes to the log that failed in this run.",
                 "", f.logWriteFailures);
    if (f.hasSample)
        appendEntrySeries(out, f);
}

std::string EscapeLabelValue(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace zephyrscope
