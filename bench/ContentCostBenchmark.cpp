// What the content probes cost: a clip decoded as fast as it goes into fake
// sinks, with and without the probes that sum up its pictures and sound (black,
// frozen, silent, loudness, sync pattern), CPU of the whole process per second
// of media; the main loop's read of their figures, timed while the clip plays;
// and, with --long-seconds, a clip of moving bars and a tone that long, played
// the same way, which must give no stretch at all.
//
// The machine is shared, so the comparison is made to stand load: CPU time of
// the process (not wall time), rounds in turn with the order swapped every
// round (without-with, then with-without), each round's added share taken from
// its own pair, and the median given with the lowest and highest. Beside it,
// the probes' own CPU, timed on their threads by probes just before and after
// them on the same pads: what they add without the rest of the process's noise.
//
// bench_content_cost --clip CLIP [--rounds N] [--long-seconds S]
#include "BenchOptions.h"
#include "ContentProbes.h"
#include "GstHandles.h"
#include "MediaFactory.h"
#include "Percentile.h"
#include "StreamCounters.h"

#include <gst/gst.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::gsthandles;

namespace {

double processCpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// The CPU one sink's content probe takes: a probe added before it notes its
// thread's CPU time, one added after it adds what went by. Pad probes run in
// the order they were added. Touched by that sink's streaming thread alone
// until the pipeline has stopped.
struct ProbeClock {
    double enteredAt = 0.0;
    double seconds = 0.0;
};

GstPadProbeReturn enterProbe(GstPad*, GstPadProbeInfo*, gpointer data)
{
    static_cast<ProbeClock*>(data)->enteredAt = threadCpuSeconds();
    return GST_PAD_PROBE_OK;
}

GstPadProbeReturn leaveProbe(GstPad*, GstPadProbeInfo*, gpointer data)
{
    auto* clock = static_cast<ProbeClock*>(data);
    clock->seconds += threadCpuSeconds() - clock->enteredAt;
    return GST_PAD_PROBE_OK;
}

void timeAround(GstElement* sink, ProbeClock& clock, bool before)
{
    PadPtr pad {gst_element_get_static_pad(sink, "sink")};
    gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, before ? enterProbe : leaveProbe, &clock, nullptr);
}

struct Play {
    double cpuSeconds = 0.0;
    double mediaSeconds = 0.0;
    double videoProbeSeconds = 0.0, audioProbeSeconds = 0.0;
    std::vector<double> fillMs; // the main loop's read of the figures, timed
    NetworkFigures figures;
};

// Plays path to its end into fake sinks that do not sync; probes: with the content probes.
Play play(const std::string& path, bool probes)
{
    const std::string launch = "filesrc location=\"" + path + "\" ! decodebin name=d"
                               " d. ! queue ! fakesink name=vsink sync=false"
                               " d. ! queue ! fakesink name=asink sync=false";
    GError* error = nullptr;
    ElementPtr pipeline {gst_parse_launch(launch.c_str(), &error)};
    if (!pipeline) {
        std::fprintf(stderr, "Cannot build pipeline for '%s': %s\n", path.c_str(), error ? error->message : "?");
        std::exit(1);
    }
    auto counters = std::make_shared<StreamCounters>();
    counters->content().configure(ContentSettings {});
    ProbeClock videoClock, audioClock;
    if (probes) {
        ElementPtr video {gst_bin_get_by_name(GST_BIN(pipeline.get()), "vsink")};
        ElementPtr audio {gst_bin_get_by_name(GST_BIN(pipeline.get()), "asink")};
        timeAround(video.get(), videoClock, true);
        timeAround(audio.get(), audioClock, true);
        ContentProbes::attach(video.get(), audio.get(), counters);
        timeAround(video.get(), videoClock, false);
        timeAround(audio.get(), audioClock, false);
    }
    Play result;
    const double cpuBefore = processCpuSeconds();
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    BusPtr bus {gst_element_get_bus(pipeline.get())};
    for (;;) {
        MessagePtr message {gst_bus_timed_pop_filtered(
            bus.get(), 5 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
        if (message) {
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
                std::fprintf(stderr, "Cannot play '%s': an element failed\n", path.c_str());
                std::exit(1);
            }
            break;
        }
        if (probes) {
            const auto start = std::chrono::steady_clock::now();
            NetworkFigures figures;
            counters->content().fill(figures);
            result.fillMs.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
        }
    }
    gint64 position = 0;
    gst_element_query_position(pipeline.get(), GST_FORMAT_TIME, &position);
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    result.cpuSeconds = processCpuSeconds() - cpuBefore;
    result.mediaSeconds = static_cast<double>(position) / GST_SECOND;
    result.videoProbeSeconds = videoClock.seconds;
    result.audioProbeSeconds = audioClock.seconds;
    counters->content().fill(result.figures);
    return result;
}

struct Spread {
    double median = 0.0, low = 0.0, high = 0.0;
};

Spread spreadOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
    return {median, values.front(), values.back()};
}

} // namespace

int main(int argc, char** argv)
{
    gst_init(&argc, &argv);
    std::string clip;
    int rounds = 5;
    int longSeconds = 0;
    try {
        bench::BenchOptions()
            .path("--clip", clip)
            .number("--rounds", rounds, 1)
            .number("--long-seconds", longSeconds, 0)
            .parse(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 64;
    }
    if (clip.empty()) {
        std::fprintf(stderr, "usage: bench_content_cost --clip CLIP [--rounds N] [--long-seconds S]\n");
        return 64;
    }
    std::printf("load average at start: %s\n", loadAverage().c_str());
    // Once untimed: the first play of a process loads and sets up what later ones find ready.
    play(clip, true);
    std::vector<double> without, with, added, probeShare, videoMs, audioMs, fillMs;
    double media = 0.0;
    for (int r = 0; r < rounds; ++r) {
        // In turn, the order swapped every round, so that a change in the
        // machine's load, or whichever comes second, falls on both alike.
        Play plain, probed;
        if (r % 2 == 0) {
            plain = play(clip, false);
            probed = play(clip, true);
        } else {
            probed = play(clip, true);
            plain = play(clip, false);
        }
        const double a = plain.cpuSeconds / plain.mediaSeconds, b = probed.cpuSeconds / probed.mediaSeconds;
        const double own = (probed.videoProbeSeconds + probed.audioProbeSeconds) / probed.mediaSeconds;
        without.push_back(a);
        with.push_back(b);
        added.push_back((b / a - 1.0) * 100.0);
        probeShare.push_back(own / a * 100.0);
        videoMs.push_back(probed.videoProbeSeconds / probed.mediaSeconds * 1000.0);
        audioMs.push_back(probed.audioProbeSeconds / probed.mediaSeconds * 1000.0);
        fillMs.insert(fillMs.end(), probed.fillMs.begin(), probed.fillMs.end());
        media = probed.mediaSeconds;
        std::printf("  round %d (%s): without %.4f s, with %.4f s CPU per media second (%+.1f %%); "
                    "the probes' own %.2f ms (video %.2f, audio %.2f) per media second\n",
                    r + 1, r % 2 == 0 ? "without first" : "with first", a, b, added.back(), own * 1000.0,
                    videoMs.back(), audioMs.back());
        std::fflush(stdout);
    }
    const Spread a = spreadOf(without), b = spreadOf(with), d = spreadOf(added), own = spreadOf(probeShare);
    const Spread v = spreadOf(videoMs), s = spreadOf(audioMs);
    std::printf("clip %s (%.1f s), %d rounds: median [lowest, highest]\n", clip.c_str(), media, rounds);
    std::printf("  CPU per media second without the content probes: %.4f s [%.4f, %.4f]\n", a.median, a.low, a.high);
    std::printf("  CPU per media second with them:                  %.4f s [%.4f, %.4f]\n", b.median, b.low, b.high);
    std::printf("  added, each round against its own pair:          %+.1f %% [%+.1f, %+.1f]\n", d.median, d.low,
                d.high);
    std::printf("  the probes' own CPU, against the CPU without:    %.1f %% [%.1f, %.1f]"
                " (video %.2f ms [%.2f, %.2f], audio %.2f ms [%.2f, %.2f] per media second)\n",
                own.median, own.low, own.high, v.median, v.low, v.high, s.median, s.low, s.high);
    if (!fillMs.empty())
        std::printf("  main loop's read of their figures: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu reads)\n",
                    percentile(fillMs, 0.50), percentile(fillMs, 0.99), *std::max_element(fillMs.begin(), fillMs.end()),
                    fillMs.size());
    std::printf("load average at the end: %s\n", loadAverage().c_str());

    if (longSeconds > 0) {
        testing::MediaFactory mediaFactory;
        const int frames = longSeconds * 25, buffers = longSeconds * 100;
        const std::string path
            = mediaFactory
                  .makeLaunched("long.mkv",
                                "videotestsrc pattern=smpte75 horizontal-speed=4 num-buffers=" + std::to_string(frames)
                                    + " ! video/x-raw,width=320,height=240,framerate=25/1 ! x264enc "
                                      "speed-preset=ultrafast ! h264parse ! matroskamux name=m ! filesink "
                                      "location={file} audiotestsrc wave=sine freq=440 volume=0.5 num-buffers="
                                    + std::to_string(buffers)
                                    + " samplesperbuffer=480 ! audio/x-raw,rate=48000,channels=2 ! audioconvert ! "
                                      "vorbisenc ! m.")
                  .string();
        const Play run = play(path, true);
        std::printf("%d s of moving bars and a tone (%.1f s played): %zu stretches (black %d, frozen %d, silent %d)"
                    ", integrated loudness %.2f LUFS\n",
                    longSeconds, run.mediaSeconds, run.figures.contentStretches.size(), run.figures.blackEvents,
                    run.figures.freezeEvents, run.figures.silenceEvents,
                    run.figures.loudnessIntegratedLufs.value_or(0.0));
        return run.figures.contentStretches.empty() ? 0 : 1;
    }
    return 0;
}
