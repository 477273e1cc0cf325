// Cost of one sample: the fifteen player reads, the IFramerate step, formatting
// the line and appending it to the log; and the same with the JSON Lines log's
// object written too. cpu_pct_at_2Hz is the share of one core a tick every
// 500 ms takes.
#include "FakeClock.h"
#include "FakePlayer.h"
#include "JsonLog.h"
#include "LogFile.h"
#include "LogSink.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "Protocol.h"
#include "SampleLine.h"
#include "Sampler.h"
#include "TextDisplay.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

using namespace zephyrscope;
using namespace zephyrscope::testing;

namespace {

class NullDisplay final : public TextDisplay {
public:
    void setText(const std::string& text) override { benchmark::DoNotOptimize(text.data()); }
};

class CountingLog final : public LogSink {
public:
    void append(std::string_view text) override { bytes += text.size(); }
    std::size_t bytes = 0;
};

void preparePlayingPlayer(FakePlayer& player)
{
    player.keepJournal = false;
    player.state = kPlayStatePlaying;
    player.net.frameRate = 2500;
    player.net.encodedFrameRate = 25;
    player.net.bitRate = 512000;
    player.net.bandWidth = 500000;
    player.net.bufferingTime = 5000;
    player.net.bufferingProgress = 100;
    player.net.receivedPackets = 123456;
    player.net.receptionQuality = 100;
    player.net.protocol = protocolNamed("RTSPU");
}

// Seconds per tick turned into the percent of one core that two ticks a second take.
benchmark::Counter cpuPercentAt2Hz()
{
    return benchmark::Counter(0.005, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Advances the fake clock by one 500 ms period per tick, so IFramerate runs its
// usual path. With a JSON Lines log, each tick writes its object there too.
void runTicks(benchmark::State& state, LogSink& log, LogSink* jsonLog = nullptr)
{
    FakeClock clock;
    FakePlayer player;
    preparePlayingPlayer(player);
    player.net.liveLatencyMs = 2043.5;
    player.net.rtpJitterMs = 1.25;
    NullDisplay fps;
    PlaybackValues values;
    Sampler sampler(clock, player, log, fps, values);
    std::unique_ptr<JsonLog> json;
    if (jsonLog) {
        json = std::make_unique<JsonLog>(clock, player, *jsonLog);
        json->playStateChanged(kPlayStateTransitioning);
        json->playStateChanged(kPlayStatePlaying);
    }
    for (auto _ : state) {
        clock.advance(500);
        sampler.OnTimer();
        if (json)
            json->tick(sampler.lastSample());
    }
    state.counters["cpu_pct_at_2Hz"] = cpuPercentAt2Hz();
}

void BM_FormatSampleLine(benchmark::State& state)
{
    SampleLine s;
    s.utcTime = {1765080000, 123};
    s.elapsed = 12.5;
    s.fps = 25.0;
    s.iFramerate = 25.0;
    s.network.protocol = protocolNamed("RTSPU");
    s.stateName = "Playing";
    std::string line;
    for (auto _ : state) {
        FormatSampleLine(s, line);
        benchmark::DoNotOptimize(line.data());
    }
}

void BM_TickWithFakePlayer(benchmark::State& state)
{
    CountingLog log;
    runTicks(state, log);
}

// state.range(0): 1 to write the JSON Lines log beside the log.
void BM_TickWithFileAppend(benchmark::State& state)
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("zephyrscope-bench-" + std::to_string(::getpid()) + ".dat");
    const std::filesystem::path jsonPath = std::filesystem::path(path).replace_extension(".jsonl");
    {
        LogFile log;
        log.create(path.string());
        LogFile json;
        if (state.range(0))
            json.create(jsonPath.string(), {});
        runTicks(state, log, state.range(0) ? &json : nullptr);
        state.counters["log_MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
        if (state.range(0))
            state.counters["json_log_MB"] = static_cast<double>(std::filesystem::file_size(jsonPath)) / 1e6;
    }
    std::filesystem::remove(path);
    std::filesystem::remove(jsonPath);
}

} // namespace

BENCHMARK(BM_FormatSampleLine);
BENCHMARK(BM_TickWithFakePlayer);
BENCHMARK(BM_TickWithFileAppend)->ArgName("json_log")->Arg(0)->Arg(1);

BENCHMARK_MAIN();
