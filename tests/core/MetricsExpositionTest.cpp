#include "MetricsExposition.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "Protocol.h"

#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>

using namespace zephyrscope;

namespace {

MetricsFigures playingFigures()
{
    MetricsFigures f;
    f.hasSample = true;
    f.entryUrl = "rtsp://viewer:se\"cr@t@127.0.0.1:8554/clip";
    f.samplesWritten = 21;
    f.entriesOpened = 1;
    f.sample.network.videoWidth = 640;
    f.sample.network.videoHeight = 360;
    f.sample.network.startupMs = 1250;
    f.sample.network.receivedBytes = 3000000000; // beyond 32 bits: the counter must not wrap
    SampleLine& s = f.sample;
    s.utcTime = {1765080000, 5};
    s.network.bufferingProgress = 100;
    s.network.bufferingCount = 2;
    s.network.bufferingTime = 5000;
    s.network.bitRate = 298000;
    s.network.bandWidth = 300000;
    s.network.maxBandwidth = 1000004;
    s.fps = 24.96;
    s.network.encodedFrameRate = 25;
    s.network.receivedPackets = 765;
    s.network.lostPackets = 15;
    s.network.receptionQuality = 95;
    s.network.protocol = protocolNamed("RTSPU");
    s.iFramerate = 25.0;
    s.network.playState = kPlayStatePlaying;
    s.stateName = PlayStateName(kPlayStatePlaying);
    return f;
}

std::string format(const MetricsFigures& f)
{
    std::string out = "left over";
    FormatMetricsExposition(f, out);
    return out;
}

bool hasLine(const std::string& text, const std::string& line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

} // namespace

TEST(MetricsExposition, BeforeTheFirstSampleOnlyTheRunLevelSeries)
{
    MetricsFigures f;
    // One entry failed while opening, one stopped while opening, one lost after its picture.
    f.outcomes.playStateChanged(kPlayStateTransitioning, 0);
    f.outcomes.failed(0);
    f.outcomes.playStateChanged(kPlayStateTransitioning, 0);
    f.outcomes.playStateChanged(kPlayStateStopped, 0);
    f.outcomes.playStateChanged(kPlayStateTransitioning, 0);
    f.outcomes.failed(1700000000123);
    f.entriesFailed = 2;
    f.logWriteFailures = 1;
    const std::string text = format(f);
    EXPECT_TRUE(hasLine(text, "zephyrscope_video_start_failures_total 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_exits_before_video_start_total 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_video_playback_failures_total 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_build_info{version=\"2.0\"} 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_samples_written_total 0")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_entries_opened_total 0")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_entries_failed_total 2")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_log_write_failures_total 1")) << text;
    EXPECT_EQ(text.find("zephyrscope_player_state"), std::string::npos) << text;
    EXPECT_EQ(text.find("zephyrscope_last_sample_timestamp_seconds"), std::string::npos) << text;
    EXPECT_EQ(text.find("packets"), std::string::npos) << text;
}

TEST(MetricsExposition, SampleValuesInBaseUnitsWithEntryLabelsAndOneSeriesPerState)
{
    const std::string text = format(playingFigures());
    // User and password (a quote and an @ among them) are gone from the URL.
    const std::string labels = "{url=\"rtsp://127.0.0.1:8554/clip\",protocol=\"RTSPU\"}";
    for (const std::string& line : {
             "zephyrscope_buffering_progress_ratio" + labels + " 1",
             "zephyrscope_buffering_time_seconds" + labels + " 5",
             "zephyrscope_received_bytes_total" + labels + " 3000000000",
             "zephyrscope_bandwidth_bytes_per_second" + labels + " 37500",
             "zephyrscope_max_bandwidth_bytes_per_second" + labels + " 125000.5",
             "zephyrscope_frame_rate_frames_per_second" + labels + " 24.96",
             "zephyrscope_encoded_frame_rate_frames_per_second" + labels + " 25",
             "zephyrscope_interval_frame_rate_frames_per_second" + labels + " 25",
             "zephyrscope_reception_quality_ratio" + labels + " 0.95",
             "zephyrscope_received_packets_total" + labels + " 765",
             "zephyrscope_lost_packets_total" + labels + " 15",
             "zephyrscope_recovered_packets_total" + labels + " 0",
             "zephyrscope_skipped_frames_total" + labels + " 0",
             "zephyrscope_buffering_events_total" + labels + " 2",
             "zephyrscope_video_width_pixels" + labels + " 640",
             "zephyrscope_video_height_pixels" + labels + " 360",
             "zephyrscope_startup_seconds" + labels + " 1.25",
             std::string("zephyrscope_player_state{state=\"Playing\"} 1"),
             std::string("zephyrscope_player_state{state=\"Buffering\"} 0"),
             std::string("zephyrscope_player_state{state=\"Reconnecting\"} 0"),
             std::string("zephyrscope_player_state_code 3"),
             std::string("zephyrscope_last_sample_timestamp_seconds 1765080000.005"),
             std::string("zephyrscope_samples_written_total 21"),
             std::string("# TYPE zephyrscope_lost_packets_total counter"),
             std::string("# TYPE zephyrscope_received_bytes_total counter"),
             std::string("# TYPE zephyrscope_player_state gauge"),
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\nin:\n" << text;

    // Every series follows its own family's HELP and TYPE, each family once;
    // the state family has exactly one series set to 1.
    std::istringstream lines(text);
    std::set<std::string> families;
    std::string current;
    int stateSeries = 0, statesOn = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("# HELP ", 0) == 0) {
            current = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_TRUE(families.insert(current).second) << current;
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            EXPECT_EQ(line.substr(7, current.size() + 1), current + " ");
            continue;
        }
        const std::string name = line.substr(0, line.find_first_of("{ "));
        EXPECT_EQ(name, current) << line;
        if (name == "zephyrscope_player_state") {
            ++stateSeries;
            statesOn += line.back() == '1';
        }
    }
    EXPECT_EQ(stateSeries, kPlayStateReconnecting + 1);
    EXPECT_EQ(statesOn, 1);
    // The SRT figures are not served for other protocols, not even as 0.
    EXPECT_EQ(text.find("zephyrscope_srt_"), std::string::npos) << text;
    // Nor latency for a stream without a wall clock, nor segment figures without segments.
    EXPECT_EQ(text.find("zephyrscope_live_latency"), std::string::npos) << text;
    EXPECT_EQ(text.find("zephyrscope_segment_"), std::string::npos) << text;
    // Families come in the order scrapers have always seen: gauges, then counters.
    EXPECT_LT(text.find("zephyrscope_interval_frame_rate_frames_per_second"),
              text.find("zephyrscope_reception_quality_ratio"));
    EXPECT_LT(text.find("zephyrscope_startup_seconds"), text.find("zephyrscope_received_packets_total"));
    EXPECT_LT(text.find("zephyrscope_buffering_events_total"), text.find("zephyrscope_received_bytes_total"));
}

TEST(MetricsExposition, LiveLatencyIsServedInSecondsWhereMeasured)
{
    MetricsFigures f = playingFigures();
    f.sample.network.liveLatencyMs = 2060.5;
    const std::string text = format(f);
    EXPECT_TRUE(hasLine(text, "# TYPE zephyrscope_live_latency_seconds gauge")) << text;
    const std::size_t at = text.find("zephyrscope_live_latency_seconds{");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("} ", at) + 2, 7), "2.0605\n");
}

TEST(MetricsExposition, SegmentDownloadTimeAndThroughputAreServedOnceASegmentCame)
{
    MetricsFigures f = playingFigures();
    f.sample.network.segmentDownloadMs = 703.0;
    f.sample.network.segmentThroughputBps = 318750.0;
    f.sample.network.segmentBytes = 28012;
    const std::string text = format(f);
    EXPECT_TRUE(hasLine(text, "# TYPE zephyrscope_segment_download_seconds gauge")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_segment_size_bytes{url=\"rtsp://127.0.0.1:8554/clip\",protocol=\"RTSPU\"} 28012"))
        << text;
    EXPECT_TRUE(hasLine(text, "# TYPE zephyrscope_segment_throughput_bits_per_second gauge")) << text;
    const std::size_t download = text.find("zephyrscope_segment_download_seconds{");
    const std::size_t throughput = text.find("zephyrscope_segment_throughput_bits_per_second{");
    ASSERT_NE(download, std::string::npos) << text;
    ASSERT_NE(throughput, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("} ", download) + 2, 6), "0.703\n");
    EXPECT_EQ(text.substr(text.find("} ", throughput) + 2, 7), "318750\n");
}

TEST(MetricsExposition, SrtEntryServesItsRoundTripTimeAndReceiverLatencyInSeconds)
{
    MetricsFigures f = playingFigures();
    f.entryUrl = "srt://127.0.0.1:9000?latency=250";
    f.sample.network.protocol = protocolNamed("SRT");
    f.sample.network.srtRoundTripMs = 0.125;
    f.sample.network.srtReceiverLatencyMs = 250;
    f.sample.network.videoWidth = 0; // audio only
    f.sample.network.videoHeight = 0;
    f.sample.network.startupMs = 0; // no picture, so no start-up time
    const std::string text = format(f);
    const std::string labels = "{url=\"srt://127.0.0.1:9000?latency=250\",protocol=\"SRT\"}";
    for (const std::string& line : {
             "zephyrscope_srt_rtt_seconds" + labels + " 0.000125",
             "zephyrscope_srt_receiver_latency_seconds" + labels + " 0.25",
             "zephyrscope_video_width_pixels" + labels + " 0",
             "zephyrscope_video_height_pixels" + labels + " 0",
             std::string("# TYPE zephyrscope_srt_rtt_seconds gauge"),
             std::string("# TYPE zephyrscope_srt_receiver_latency_seconds gauge"),
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\nin:\n" << text;
    EXPECT_EQ(text.find("zephyrscope_startup_seconds"), std::string::npos) << text;
}

TEST(MetricsExposition, TransportStreamEntryServesItsStreamErrorsByKindAndRistItsRoundTrip)
{
    MetricsFigures f = playingFigures();
    EXPECT_EQ(format(f).find("zephyrscope_ts_errors_total"), std::string::npos) << "no transport stream, no series";
    f.entryUrl = "rist://127.0.0.1:5004";
    f.sample.network.protocol = protocolNamed("RIST");
    f.sample.network.transportStream = true;
    f.sample.network.transportErrors = TsErrorCounts {.syncLoss = 1, .syncByte = 3, .pat = 4, .continuity = 2, .pmt = 0, .pid = 1};
    f.sample.network.ristRoundTripMs = 1.5;
    const std::string text = format(f);
    const std::string entry = "{url=\"rist://127.0.0.1:5004\",protocol=\"RIST\"";
    for (const std::string& line : {
             std::string("# TYPE zephyrscope_ts_errors_total counter"),
             "zephyrscope_ts_errors_total" + entry + ",error=\"sync_loss\"} 1",
             "zephyrscope_ts_errors_total" + entry + ",error=\"sync_byte\"} 3",
             "zephyrscope_ts_errors_total" + entry + ",error=\"pat\"} 4",
             "zephyrscope_ts_errors_total" + entry + ",error=\"continuity_count\"} 2",
             "zephyrscope_ts_errors_total" + entry + ",error=\"pmt\"} 0",
             "zephyrscope_ts_errors_total" + entry + ",error=\"pid\"} 1",
             "zephyrscope_rist_rtt_seconds" + entry + "} 0.0015",
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\nin:\n" << text;
}

TEST(MetricsExposition, WatchedEntryServesItsSpliceCommandsByCommandAndWhetherABreakIsOn)
{
    MetricsFigures f = playingFigures();
    EXPECT_EQ(format(f).find("zephyrscope_splices_total"), std::string::npos) << "not watched, no series";
    f.sample.network.splices.watched = true;
    f.sample.network.splices.counts[static_cast<std::size_t>(SpliceCommandType::SpliceInsert)] = 2;
    f.sample.network.splices.errors = 1;
    f.sample.network.splices.adBreak = true;
    const std::string text = format(f);
    const std::string entry = "{url=\"rtsp://127.0.0.1:8554/clip\",protocol=\"RTSPU\"";
    for (const std::string& line : {
             std::string("# TYPE zephyrscope_splices_total counter"),
             "zephyrscope_splices_total" + entry + ",command=\"splice_null\"} 0",
             "zephyrscope_splices_total" + entry + ",command=\"splice_insert\"} 2",
             "zephyrscope_splices_total" + entry + ",command=\"private_command\"} 0",
             "zephyrscope_splice_errors_total" + entry + "} 1",
             "zephyrscope_ad_break" + entry + "} 1",
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\nin:\n" << text;
}

TEST(MetricsExposition, WebRtcEntryServesItsReceiverFiguresInBaseUnits)
{
    MetricsFigures f = playingFigures();
    f.entryUrl = "whep+http://127.0.0.1:8080/whep/live";
    f.sample.network.protocol = protocolNamed("WebRTC");
    f.sample.network.webrtcJitterMs = 2.5;
    f.sample.network.webrtcRoundTripMs = 12.25;
    f.sample.network.webrtcJitterBufferMs = 500;
    f.sample.network.webrtcNackCount = 27;
    f.sample.network.webrtcPliCount = 3;
    const std::string text = format(f);
    const std::string labels = "{url=\"whep+http://127.0.0.1:8080/whep/live\",protocol=\"WebRTC\"}";
    for (const std::string& line : {
             "zephyrscope_webrtc_jitter_seconds" + labels + " 0.0025",
             "zephyrscope_webrtc_rtt_seconds" + labels + " 0.01225",
             "zephyrscope_webrtc_jitter_buffer_delay_seconds" + labels + " 0.5",
             "zephyrscope_webrtc_nacks_sent_total" + labels + " 27",
             "zephyrscope_webrtc_plis_sent_total" + labels + " 3",
             std::string("# TYPE zephyrscope_webrtc_jitter_seconds gauge"),
             std::string("# TYPE zephyrscope_webrtc_nacks_sent_total counter"),
             std::string("# TYPE zephyrscope_webrtc_plis_sent_total counter"),
         })
        EXPECT_TRUE(hasLine(text, line)) << line << "\nin:\n" << text;
    f.sample.network.protocol = protocolNamed("RTSPU");
    EXPECT_EQ(format(f).find("zephyrscope_webrtc_"), std::string::npos) << "WebRTC only";
}

TEST(MetricsExposition, LabelValuesAreEscaped)
{
    MetricsFigures f = playingFigures();
    f.entryUrl = "/media/a \"b\"\\c\n.mkv";
    f.sample.network.protocol = protocolNamed("File");
    EXPECT_TRUE(hasLine(format(f),
                        "zephyrscope_lost_packets_total{url=\"/media/a \\\"b\\\"\\\\c\\n.mkv\",protocol=\"File\"} 15"));
}

// A transport-only entry decoded no picture: no size series, while its frame
// rate, skipped frames and packet counts are served as for any entry.
TEST(MetricsExposition, TransportOnlyEntryServesNoPictureSize)
{
    MetricsFigures f = playingFigures();
    f.sample.network.transportOnly = true;
    const std::string text = format(f);
    EXPECT_EQ(text.find("zephyrscope_video_width_pixels"), std::string::npos) << text;
    EXPECT_EQ(text.find("zephyrscope_video_height_pixels"), std::string::npos) << text;
    EXPECT_NE(text.find("zephyrscope_frame_rate_frames_per_second{"), std::string::npos) << text;
    EXPECT_NE(text.find("zephyrscope_skipped_frames_total{"), std::string::npos) << text;
    EXPECT_NE(text.find("zephyrscope_lost_packets_total{"), std::string::npos) << text;
}

// Loudness is one family with a series per window; the time in black, frozen
// and silent is counted in seconds with its fraction; a stream without sound
// has no silence series, and no loudness.
TEST(MetricsExposition, ContentFiguresLoudnessByWindowAndSilenceOnlyWithSound)
{
    MetricsFigures f = playingFigures();
    f.sample.network.blackSeconds = 2.04;
    f.sample.network.blackEvents = 1;
    std::string text = format(f);
    const std::string labels = text.substr(text.find("zephyrscope_black_seconds_total{") + 31);
    EXPECT_EQ(labels.substr(labels.find("} ") + 2, 5), "2.04\n") << text;
    EXPECT_EQ(text.find("zephyrscope_silence_seconds_total"), std::string::npos) << text;
    EXPECT_EQ(text.find("zephyrscope_loudness_lufs"), std::string::npos) << text;

    f.sample.network.audioPlayed = true;
    f.sample.network.loudnessMomentaryLufs = -22.5;
    f.sample.network.loudnessShortTermLufs = -23.1;
    f.sample.network.loudnessIntegratedLufs = -23.0;
    f.sample.network.avOffsetMs = 200.0;
    text = format(f);
    EXPECT_NE(text.find("zephyrscope_silence_events_total{"), std::string::npos) << text;
    std::size_t families = 0;
    for (std::size_t at = 0; (at = text.find("# TYPE zephyrscope_loudness_lufs gauge", at)) != std::string::npos; ++at)
        ++families;
    EXPECT_EQ(families, 1u) << text;
    for (const char* window : {"momentary\"} -22.5", "shortterm\"} -23.1", "integrated\"} -23"})
        EXPECT_NE(text.find(std::string(",window=\"") + window + "\n"), std::string::npos) << window << "\n" << text;
    const std::size_t at = text.find("zephyrscope_av_offset_seconds{");
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_EQ(text.substr(text.find("} ", at) + 2, 4), "0.2\n");
}

TEST(MetricsExposition, AChannelLabelsEverySeriesFirstAndTheOutagesAreServedWhenMonitoring)
{
    MetricsFigures f = playingFigures();
    f.channel = "studio-1";
    f.up = true;
    std::string text = format(f);
    EXPECT_TRUE(hasLine(text, "zephyrscope_up{channel=\"studio-1\"} 1")) << text;
    EXPECT_EQ(text.find("zephyrscope_outages_total"), std::string::npos) << "served under --monitor only";
    EXPECT_TRUE(hasLine(text, "zephyrscope_build_info{channel=\"studio-1\",version=\"2.0\"} 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_player_state{channel=\"studio-1\",state=\"Playing\"} 1")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_lost_packets_total{channel=\"studio-1\",protocol=\"RTSPU\"} 15")) << text;
    std::istringstream lines(text);
    int series = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        ++series;
        EXPECT_EQ(line.find("{channel=\"studio-1\""), line.find('{')) << line;
        EXPECT_NE(line.find('{'), std::string::npos) << line;
        EXPECT_EQ(line.find("url="), std::string::npos) << "a named channel's labels hold no URL: " << line;
    }
    EXPECT_GT(series, 20);

    f.monitor = true;
    f.up = false;
    f.outages = 3;
    f.outageSeconds = 12.5;
    text = format(f);
    EXPECT_TRUE(hasLine(text, "zephyrscope_up{channel=\"studio-1\"} 0")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_outages_total{channel=\"studio-1\"} 3")) << text;
    EXPECT_TRUE(hasLine(text, "zephyrscope_outage_seconds_total{channel=\"studio-1\"} 12.5")) << text;
    EXPECT_TRUE(hasLine(text, "# TYPE zephyrscope_outage_seconds_total counter")) << text;
    f.channel.clear();
    EXPECT_TRUE(hasLine(format(f), "zephyrscope_outages_total 3"));
}
