// Cost of one sample: the fifteen player reads, the IFramerate step, formatting
// the line and appending it to the log.
#include "FakeClock.h"
#include "FakePlayer.h"
#include "LogFile.h"
#include "LogSink.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "SampleLine.h"
#include "Sampler.h"
#include "TextDisplay.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
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
    player.net.sourceProtocol = "RTSPU";
}

// Advances the fake clock by one 500 ms period per tick, so IFramerate runs its usual path.
void runTicks(benchmark::State& state, LogSink& log)
{
    FakeClock clock;
    FakePlayer player;
    preparePlayingPlayer(player);
    NullDisplay fps;
    PlaybackValues values;
    Sampler sampler(clock, player, log, fps, values);
    for (auto _ : state) {
        clock.advance(500);
        sampler.OnTimer();
    }
}

void BM_FormatSampleLine(benchmark::State& state)
{
    SampleLine s;
    s.utcTime = {1765080000, 123};
    s.elapsed = 12.5;
    s.fps = 25.0;
    s.iFramerate = 25.0;
    s.protocol = "RTSPU";
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

void BM_TickWithFileAppend(benchmark::State& state)
{
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("zephyrscope-bench-" + std::to_string(::getpid()) + ".dat");
    {
        LogFile log;
        log.create(path.string());
        runTicks(state, log);
        state.counters["log_MB"] = static_cast<double>(std::filesystem::file_size(path)) / 1e6;
    }
    std::filesystem::remove(path);
}

} // namespace

BENCHMARK(BM_FormatSampleLine);
BENCHMARK(BM_TickWithFakePlayer);
BENCHMARK(BM_TickWithFileAppend);

BENCHMARK_MAIN();
