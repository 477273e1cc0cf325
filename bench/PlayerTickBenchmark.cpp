// Cost of one sample with the real player layer: the sampler's one snapshot of
// a CWMPPlayer4 that plays a clip, the IFramerate step, formatting the line and
// appending it to a real log file; and the same with every writer on. Between two timed ticks the GLib main loop
// runs for a while, as it does in the program, so the player's bus messages and
// statistics timer keep the figures live and the caches are not artificially warm.
//
// bench_player_tick [--clip=PATH] [Google Benchmark options]
// Without --clip, a 40-second 1280x720 30 fps clip is made first.
#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "JsonLog.h"
#include "LogFile.h"
#include "LogSink.h"
#include "MainLoopWait.h"
#include "MediaFactory.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "Sampler.h"
#include "SystemClock.h"
#include "TextDisplay.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

constexpr auto kMainLoopBetweenTicks = 10ms;

std::string g_clipPath;

class NullDisplay final : public TextDisplay {
public:
    void setText(const std::string& text) override { benchmark::DoNotOptimize(text.data()); }
};

// One player playing the clip, shared by the benchmarks of this run.
struct PlayingPlayer {
    std::optional<MediaFactory> media; // only when the clip is made here
    std::unique_ptr<CWMPPlayer4> player;
    EventRecorder events;
    bool playing = false;

    PlayingPlayer()
    {
        unsetenv("DISPLAY");
        std::string clip = g_clipPath;
        if (clip.empty()) {
            media.emplace();
            MediaFactory::Clip spec;
            spec.width = 1280;
            spec.height = 720;
            spec.fps = 30;
            spec.seconds = 40.0; // five benchmarks of 400 paced ticks, all while it plays
            spec.videoBitrateKbps = 3000;
            spec.pattern = "snow";
            clip = media->make("tick720p30.mkv", spec).string();
        }
        player = std::make_unique<CWMPPlayer4>();
        player->setFakeSinks(true);
        player->setEventSink(&events);
        player->putURL(clip);
        // A second of steady play, so the frame-rate window is full.
        playing = RunMainLoopUntil([this] { return events.has("play 3"); }, 20s);
        RunMainLoopFor(1s);
    }
};

PlayingPlayer& Shared()
{
    static PlayingPlayer shared;
    return shared;
}

// Runs the main loop between ticks; the timed part is the tick alone.
template <typename Tick>
void runPaced(benchmark::State& state, Tick tick)
{
    PlayingPlayer& p = Shared();
    if (!p.playing) {
        state.SkipWithError("the clip did not reach Playing");
        return;
    }
    int notPlaying = 0;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        RunMainLoopFor(kMainLoopBetweenTicks);
        if (p.player->playState() != kPlayStatePlaying)
            ++notPlaying;
        const auto start = std::chrono::steady_clock::now();
        tick();
        const auto end = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        micros.push_back(seconds * 1e6);
    }
    // The mean hides the occasional slow tick (a lock held by a streaming thread).
    std::sort(micros.begin(), micros.end());
    if (!micros.empty()) {
        state.counters["p50_us"] = micros[micros.size() / 2];
        state.counters["p99_us"] = micros[std::min(micros.size() - 1, micros.size() * 99 / 100)];
        state.counters["max_us"] = micros.back();
    }
    state.counters["not_playing"] = notPlaying;
}

void BM_TickWithRealPlayer(benchmark::State& state)
{
    const std::filesystem::path path = std::filesystem::temp_directory_path()
        / ("zephyrscope-bench-player-" + std::to_string(::getpid()) + ".dat");
    {
        SystemClock clock;
        LogFile log;
        log.create(path.string());
        NullDisplay fps;
        PlaybackValues values;
        values.m_playStartClock = clock.processClock();
        Sampler sampler(clock, *Shared().player, log, fps, values);
        runPaced(state, [&] { sampler.OnTimer(); });
    }
    std::filesystem::remove(path);
}

class CountingLog final : public LogSink {
public:
    void append(std::string_view text) override { bytes += text.size(); }
    std::size_t bytes = 0;
};

// The same tick with the line kept in memory: the reads and the formatting alone.
void BM_TickWithRealPlayerNoFile(benchmark::State& state)
{
    SystemClock clock;
    CountingLog log;
    NullDisplay fps;
    PlaybackValues values;
    values.m_playStartClock = clock.processClock();
    Sampler sampler(clock, *Shared().player, log, fps, values);
    runPaced(state, [&] { sampler.OnTimer(); });
}

// The tick with every writer on, as the run makes it: the log line to a file,
// the JSON Lines log's tick to another, and the metrics endpoint's copy.
void BM_TickEveryWriter(benchmark::State& state)
{
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string stem = "zephyrscope-bench-writers-" + std::to_string(::getpid());
    {
        SystemClock clock;
        LogFile log, jsonFile;
        log.create((dir / (stem + ".dat")).string());
        jsonFile.create((dir / (stem + ".jsonl")).string());
        NullDisplay fps;
        PlaybackValues values;
        values.m_playStartClock = clock.processClock();
        Player& player = *Shared().player;
        Sampler sampler(clock, player, log, fps, values);
        JsonLog json(clock, player, jsonFile);
        json.playStateChanged(kPlayStateTransitioning);
        json.playStateChanged(kPlayStatePlaying);
        MetricsFigures metrics;
        runPaced(state, [&] {
            sampler.OnTimer();
            json.tick(sampler.lastSample());
            metrics.recordSample(sampler.lastSample());
        });
    }
    std::filesystem::remove(dir / (stem + ".dat"));
    std::filesystem::remove(dir / (stem + ".jsonl"));
}

// One statistic read as the sampler makes it: a network object made, read once, released.
void BM_OneNetworkRead(benchmark::State& state)
{
    Player& player = *Shared().player;
    runPaced(state, [&] {
        auto network = player.network();
        benchmark::DoNotOptimize(network->frameRate());
    });
}

void BM_PlayStateRead(benchmark::State& state)
{
    Player& player = *Shared().player;
    runPaced(state, [&] { benchmark::DoNotOptimize(player.playState()); });
}

} // namespace

BENCHMARK(BM_TickWithRealPlayer)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TickEveryWriter)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TickWithRealPlayerNoFile)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OneNetworkRead)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlayStateRead)->UseManualTime()->Iterations(400)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv)
{
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--clip=", 0) == 0)
            g_clipPath = arg.substr(7);
        else
            rest.push_back(argv[i]);
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());
    if (benchmark::ReportUnrecognizedArguments(restCount, rest.data()))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
