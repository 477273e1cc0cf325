// A steady tick allocates nothing: the run's tick (the sampler's one snapshot
// of a real player, the log line, the JSON Lines log, the metrics) counted
// allocation by allocation on the thread that ticks, while GStreamer's own
// threads go on as they like. Its own executable: it replaces the process's
// allocation functions.
#include "CWMPPlayer4.h"
#include "MainLoopWait.h"
#include "MeasurementRun.h"
#include "MediaFactory.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "RunHost.h"
#include "RunTimer.h"
#include "SystemClock.h"
#include "TextDisplay.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <new>
#include <string>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

// Constant-initialised, so reading them never allocates.
thread_local bool t_counting = false;
thread_local std::uint64_t t_newCalls = 0;
thread_local std::uint64_t t_mallocCalls = 0;

} // namespace

// Every operator new ends in these two; the others forward to them.
void* operator new(std::size_t size)
{
    if (t_counting)
        ++t_newCalls;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size)
{
    return operator new(size);
}
// The pointers came from malloc, whatever the compiler infers from the names.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept
{
    std::free(p);
}
void operator delete[](void* p) noexcept
{
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept
{
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept
{
    std::free(p);
}
#pragma GCC diagnostic pop

// GLib and GStreamer allocate with malloc: counted too, where no sanitizer
// stands in for it.
#if !defined(__SANITIZE_ADDRESS__)
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);

void* malloc(std::size_t size) noexcept
{
    if (t_counting)
        ++t_mallocCalls;
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept
{
    if (t_counting)
        ++t_mallocCalls;
    return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept
{
    if (t_counting)
        ++t_mallocCalls;
    return __libc_realloc(p, size);
}
}
constexpr bool kMallocCounted = true;
#else
constexpr bool kMallocCounted = false;
#endif

namespace {

constexpr int kTicks = 1100;
constexpr int kFirstCountedTick = 100;

class IdleTimer final : public RunTimer {
public:
    void start(std::int32_t) override { m_active = true; }
    void stop() override { m_active = false; }
    bool isActive() const override { return m_active; }

private:
    bool m_active = false;
};

class SilentHost final : public RunHost {
public:
    void showMessage(const std::string& text) override { ADD_FAILURE() << text; }
    int runAutoShutdown() override { return 2; }
    void endRun() override {}
};

// Keeps the FPS text in a buffer of its own, as a widget would.
class FpsText final : public TextDisplay {
public:
    void setText(const std::string& text) override { m_text.assign(text); }

private:
    std::string m_text = std::string(64, ' ');
};

TEST(TickAllocations, SteadyTicksOfAPlayingEntryAllocateNothingWithEveryWriterOn)
{
    MediaFactory media;
    MediaFactory::Clip spec;
    // Longer than the ticks take, with the main loop's turns between them.
    spec.seconds = 40.0;
    spec.audio = true;
    const std::filesystem::path clip = media.make("steady.mkv", spec);

    SystemClock clock;
    FpsText fps;
    IdleTimer sampleTimer, reconnectTimer;
    SilentHost host;
    MetricsFigures metrics;
    CWMPPlayer4 player;
    player.setFakeSinks(true);
    MeasurementRun run(clock, fps, sampleTimer, reconnectTimer, host);
    run.setLogFileName((media.dir() / "steady.dat").string());
    run.setJsonLogName((media.dir() / "steady.jsonl").string());
    run.setMetricsFigures(&metrics);
    run.usePlayer(player);
    player.setEventSink(&run);
    run.begin();
    run.openLogs();
    run.start(clip.string(), true);
    ASSERT_TRUE(RunMainLoopUntil([&] { return player.playState() == kPlayStatePlaying; }, 20s));

    // The counters count: one of each, made where nothing can elide it.
    t_counting = true;
    std::string* const text = new std::string(100, 'x');
    void* volatile block = std::malloc(64);
    t_counting = false;
    std::free(block);
    delete text;
    ASSERT_EQ(t_newCalls, 2u);                            // the string and its buffer
    ASSERT_EQ(t_mallocCalls, kMallocCounted ? 3u : 0u); // the same two, and the block
    t_newCalls = t_mallocCalls = 0;

    int notPlaying = 0;
    for (int tick = 0; tick < kTicks; ++tick) {
        // The engine's timers and bus messages between ticks, as in the program.
        RunMainLoopFor(5ms);
        t_counting = tick >= kFirstCountedTick;
        run.tick();
        t_counting = false;
        if (player.playState() != kPlayStatePlaying && notPlaying++ == 0)
            std::cout << "tick " << tick << ": " << PlayStateName(player.playState()) << "\n";
    }
    player.setEventSink(nullptr);
    run.quit(0);

    EXPECT_EQ(notPlaying, 0);
    EXPECT_EQ(metrics.samplesWritten, static_cast<std::uint64_t>(kTicks));
    EXPECT_EQ(t_newCalls, 0u) << "operator new in ticks " << kFirstCountedTick << " to " << kTicks - 1;
    EXPECT_EQ(t_mallocCalls, 0u) << "malloc in ticks " << kFirstCountedTick << " to " << kTicks - 1;
    if (!kMallocCounted)
        std::cout << "malloc is the sanitizer's here: operator new alone was counted\n";
}

} // namespace
