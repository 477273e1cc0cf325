#!/usr/bin/env bash
# Runs every benchmark under bench/ and prints its figures (docs/PERFORMANCE.md
# explains each). Takes about 35 minutes: the growth run needs ten minutes of
# play, so it starts first, in the background, and parts 1 to 6 run one after
# another meanwhile; the peers (about 10 minutes), the many probes (about 4),
# the CPU accounting (about 9) and the UDP receivers (about 4) run after it,
# alone.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
program="$build/zephyrscope"
work=$(mktemp -d "${TMPDIR:-/tmp}/zephyrscope-bench-XXXXXX")
growth_pid=""
# The growth readings, in minutes; shorter ones give a quick trial of the script.
growth_minutes=${ZEPHYRSCOPE_BENCH_GROWTH_MINUTES:-1,5,10}

cleanup() {
    if [[ -n "$growth_pid" ]] && kill -0 "$growth_pid" 2>/dev/null; then
        # The growth run's program is its child; end both, by their ids.
        kill $(pgrep -P "$growth_pid") "$growth_pid" 2>/dev/null || true
        wait "$growth_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

started=$(date +%s)
section() { printf '\n== %s (%ds)\n' "$1" $(( $(date +%s) - started )); }

echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)," \
     "$(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo) memory"
echo "Load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "Started $(date -u '+%Y-%m-%d %H:%M:%S UTC'), work folder $work"

# The growth run's clip: 5 s, 320x240, 25 fps H.264, repeated by an M3U.
gst-launch-1.0 -q videotestsrc num-buffers=125 pattern=ball \
    ! video/x-raw,width=320,height=240,framerate=25/1 \
    ! x264enc speed-preset=ultrafast key-int-max=25 bitrate=300 ! h264parse \
    ! matroskamux ! filesink location="$work/loop5s.mkv"
"$build/bench/bench_growth" --program "$program" --clip "$work/loop5s.mkv" --work "$work/growth" \
    --minutes "$growth_minutes" >"$work/growth.txt" 2>&1 &
growth_pid=$!
echo "Growth run started in the background (readings at minutes $growth_minutes of a looping playlist)"

section "1. Per-tick cost, core alone (fake player)"
"$build/bench/bench_sampler" --benchmark_counters_tabular=true 2>&1

# The clip of the timing, footprint and per-tick runs: 60 s, 1280x720, 30 fps
# H.264 (noise, so the encoder fills its 3 Mbit/s and decoding costs what a real
# 3 Mbit/s clip costs) with 48 kHz stereo Vorbis.
gst-launch-1.0 -q matroskamux name=mux ! filesink location="$work/clip720p30.mkv" \
    videotestsrc num-buffers=1800 pattern=snow \
    ! video/x-raw,width=1280,height=720,framerate=30/1 \
    ! x264enc speed-preset=ultrafast key-int-max=30 bitrate=3000 ! h264parse ! mux. \
    audiotestsrc num-buffers=6000 samplesperbuffer=480 ! audio/x-raw,rate=48000,channels=2 \
    ! audioconvert ! vorbisenc ! mux.

section "1. Per-tick cost, real player layer (CWMPPlayer4 playing the 720p30 clip)"
"$build/bench/bench_player_tick" --clip="$work/clip720p30.mkv" --benchmark_counters_tabular=true 2>&1

section "1b. Content probes (black, frozen, silent, loudness, sync): CPU with and without, and 10 minutes that must find nothing"
"$build/bench/bench_content_cost" --clip "$work/clip720p30.mkv" --rounds 5 --long-seconds 600 2>&1

section "2-3. Two unattended runs of the program (tick timing, footprint), each followed by the engine alone"
"$build/bench/bench_program_run" --program "$program" --clip "$work/clip720p30.mkv" --work "$work/run"

section "4. Accuracy against ground truth"
"$build/bench/bench_accuracy" --work "$work/accuracy"

# Runs before the growth wait, while the growth run still plays, so make bench
# takes no longer; numbered 6 so that 1 to 5 keep their numbers in the docs.
section "6. Metrics endpoint: the sample tick with it off, on, and under 100 requests/s (docs/MONITORING.md)"
"$build/bench/bench_metrics" --clip "$work/clip720p30.mkv" --work "$work/metrics" --seconds 30 --period-ms 100

section "7. The JSON Lines log's cost: the program without and with --json-log, in turn"
"$build/bench/bench_program_run" --program "$program" --clip "$work/clip720p30.mkv" --work "$work/json" \
    --json-log-rounds 3

section "5. Growth (started in the background at 0 s)"
wait "$growth_pid" || { cat "$work/growth.txt"; exit 1; }
growth_pid=""
cat "$work/growth.txt"

# The peer and many-probe runs come after the growth run, so nothing else plays
# beside them. Their clip: 20 s, 1280x720, 30 fps 4:2:0 H.264 at 3 Mbit/s (noise)
# with AAC, as MP4; the RTSP server streams its video from a Matroska copy. Both
# are kept in the build folder, as making them takes a while.
clips="$build/bench-clips"
mkdir -p "$clips"
if [[ ! -s "$clips/clip720p30.mp4" ]]; then
    gst-launch-1.0 -q -e mp4mux name=mux ! filesink location="$clips/clip720p30.mp4.part" \
        videotestsrc num-buffers=600 pattern=snow \
        ! video/x-raw,format=I420,width=1280,height=720,framerate=30/1 \
        ! x264enc speed-preset=veryfast key-int-max=60 bitrate=3000 ! video/x-h264,profile=high \
        ! h264parse ! mux. \
        audiotestsrc num-buffers=2000 samplesperbuffer=480 ! audio/x-raw,rate=48000,channels=2 \
        ! audioconvert ! voaacenc bitrate=128000 ! aacparse ! mux.
    mv "$clips/clip720p30.mp4.part" "$clips/clip720p30.mp4"
fi
if [[ ! -s "$clips/clip720p30.mkv" ]]; then
    gst-launch-1.0 -q filesrc location="$clips/clip720p30.mp4" ! qtdemux ! h264parse \
        ! matroskamux ! filesink location="$clips/clip720p30.mkv.part"
    mv "$clips/clip720p30.mkv.part" "$clips/clip720p30.mkv"
fi

section "7. Peers: CPU and peak RSS beside the engine alone, gst-play-1.0, mpv and ffmpeg (median of ${ZEPHYRSCOPE_BENCH_PEER_ROUNDS:-5})"
"$build/bench/bench_peers" --program "$program" --clip "$clips/clip720p30.mp4" --work "$work/peers" \
    --rounds "${ZEPHYRSCOPE_BENCH_PEER_ROUNDS:-5}"

section "8. Many probes at once on live RTSP streams of the clip (N = 1, 2, 4, 8, 16)"
"$build/bench/bench_many_probes" --program "$program" --server "$build/tools/rtsp-test-server/zephyrscope_rtsp_server" \
    --clip "$clips/clip720p30.mkv" --work "$work/probes" --counts 1,2,4,8,16

section "9. Where the CPU of one played clip goes: the program and ffmpeg, part by part (median of ${ZEPHYRSCOPE_BENCH_ACCOUNT_ROUNDS:-3})"
"$build/bench/bench_cpu_account" --program "$program" --clip "$clips/clip720p30.mp4" --work "$work/account" \
    --rounds "${ZEPHYRSCOPE_BENCH_ACCOUNT_ROUNDS:-3}" --perf-rounds 1

# 1080p50 beside the 720p30 clip: 20 s, 4:2:0 H.264 at 6 Mbit/s (noise), as
# Matroska for the RTSP server; kept in the build folder like the others.
if [[ ! -s "$clips/clip1080p50.mkv" ]]; then
    gst-launch-1.0 -q -e videotestsrc num-buffers=1000 pattern=snow \
        ! video/x-raw,format=I420,width=1920,height=1080,framerate=50/1 \
        ! x264enc speed-preset=veryfast key-int-max=100 bitrate=6000 ! video/x-h264,profile=high \
        ! h264parse ! matroskamux ! filesink location="$clips/clip1080p50.mkv.part"
    mv "$clips/clip1080p50.mkv.part" "$clips/clip1080p50.mkv"
fi

# The same 1080p50 clip as a transport stream, for the UDP receivers.
if [[ ! -s "$clips/clip1080p50.ts" ]]; then
    gst-launch-1.0 -q filesrc location="$clips/clip1080p50.mkv" ! matroskademux ! h264parse \
        ! mpegtsmux ! filesink location="$clips/clip1080p50.ts.part"
    mv "$clips/clip1080p50.ts.part" "$clips/clip1080p50.ts"
fi

section "10. Channels per core: probes of the transport alone (--transport-only) against decoding probes, 720p30 and 1080p50 over RTSP, and 1080p50 MPEG-TS over UDP"
for clip in clip720p30 clip1080p50; do
    for mode in decoding transport-only; do
        "$build/bench/bench_many_probes" --program "$program" \
            --server "$build/tools/rtsp-test-server/zephyrscope_rtsp_server" --clip "$clips/$clip.mkv" \
            --work "$work/channels-$clip-$mode" --counts "${ZEPHYRSCOPE_BENCH_CHANNELS_COUNTS:-8}" --mode "$mode"
    done
done
# The 1080p50 transport stream over UDP, one ffmpeg sender a probe: the
# broadcast probe's case, where the transport stream analysis runs.
"$build/bench/bench_many_probes" --program "$program" --source udp --clip "$clips/clip1080p50.ts" \
    --work "$work/channels-clip1080p50-udp" --counts "${ZEPHYRSCOPE_BENCH_CHANNELS_COUNTS:-8}" --mode transport-only

section "11. A transport-only probe beside ffmpeg and a bare GStreamer pipeline, one live 1080p50 MPEG-TS over UDP (median of ${ZEPHYRSCOPE_BENCH_TRANSPORT_ROUNDS:-3})"
"$build/bench/bench_transport_peers" --program "$program" --clip "$clips/clip1080p50.ts" \
    --work "$work/transport-peers" --rounds "${ZEPHYRSCOPE_BENCH_TRANSPORT_ROUNDS:-3}"

printf '\nmake bench: %d s in all; load average at the end: %s\n' $(( $(date +%s) - started )) \
    "$(cut -d' ' -f1-3 /proc/loadavg)"
