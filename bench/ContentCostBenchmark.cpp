// What the content probes cost: a clip decoded as fast as it goes into fake
// sinks, with and without the probes that sum up its pictures and sound (black,
// frozen, silent, loudness, sync pattern), CPU of the whole process per second
// of media; the main loop's read of their figures, timed while the clip plays;
// and, with --long-seconds, a clip of moving bars and a tone that long, played
// the same way, which must give no stretch at all.
//
// bench_content_cost --clip CLIP [--rounds N] [--long-seconds S]
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
#include <cstring>
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

struct Play {
    double cpuSeconds = 0.0;
    double mediaSeconds = 0.0;
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
    if (probes) {
        ElementPtr video {gst_bin_get_by_name(GST_BIN(pipeline.get()), "vsink")};
        ElementPtr audio {gst_bin_get_by_name(GST_BIN(pipeline.get()), "asink")};
        ContentProbes::attach(video.get(), audio.get(), counters);
    }
    Play result;
    const double cpuBefore = processCpuSeconds();
    gst_element_set_state(pipeline.get(), GST_STATE_PLAYING);
    BusPtr bus {gst_element_get_bus(pipeline.get())};
    for (;;) {
        MessagePtr message {gst_bus_timed_pop_filtered(
            bus.get(), 5 * GST_MSECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR))};
        if (message) {
            if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR)
                std::fprintf(stderr, "Cannot play '%s': an element failed\n", path.c_str());
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
    counters->content().fill(result.figures);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    gst_init(&argc, &argv);
    std::string clip;
    int rounds = 3;
    int longSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--clip"))
            clip = argv[i + 1];
        else if (!std::strcmp(argv[i], "--rounds"))
            rounds = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--long-seconds"))
            longSeconds = std::atoi(argv[i + 1]);
    }
    if (clip.empty()) {
        std::fprintf(stderr, "usage: bench_content_cost --clip CLIP [--rounds N] [--long-seconds S]\n");
        return 64;
    }
    std::vector<double> without, with, fillMs;
    double media = 0.0;
    for (int r = 0; r < rounds; ++r) {
        // In turn, so a change in the machine's load falls on both alike.
        const Play plain = play(clip, false);
        const Play probed = play(clip, true);
        without.push_back(plain.cpuSeconds / plain.mediaSeconds);
        with.push_back(probed.cpuSeconds / probed.mediaSeconds);
        fillMs.insert(fillMs.end(), probed.fillMs.begin(), probed.fillMs.end());
        media = probed.mediaSeconds;
    }
    std::sort(without.begin(), without.end());
    std::sort(with.begin(), with.end());
    std::sort(fillMs.begin(), fillMs.end());
    const double a = without[without.size() / 2], b = with[with.size() / 2];
    std::printf("clip %s (%.1f s), %d rounds, medians\n", clip.c_str(), media, rounds);
    std::printf("  CPU per media second without the content probes: %.4f s\n", a);
    std::printf("  CPU per media second with them:                  %.4f s  (%+.1f %%)\n", b, (b / a - 1.0) * 100.0);
    if (!fillMs.empty())
        std::printf("  main loop's read of their figures: p50 %.3f ms, p99 %.3f ms, max %.3f ms (%zu reads)\n",
                    percentile(fillMs, 0.50), percentile(fillMs, 0.99), fillMs.back(), fillMs.size());

    if (longSeconds > 0) {
        testing::MediaFactory media;
        const int frames = longSeconds * 25, buffers = longSeconds * 100;
        const std::string path
            = media
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
