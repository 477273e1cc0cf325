// zephyrscope_rtsp_server [--port N] [--mount /clip] [--drop-every N] [--seconds S]
//                         [--fps F] [--size WxH] [--picture ball|grey-ball|bars]
//                         [--file clip.mkv] [--timeout S]
//                         [--loss random|burst --loss-rate R [--burst-mean N] [--seed N]]
//                         [--outage-at S --outage-for S]
//
// The generated stream shows --picture: a white ball moving on black (the
// default; so dark that a black-picture measure finds it black throughout), the
// ball circling on mid-grey, or colour bars scrolling left; each moves in every
// frame, and the last two are neither black nor frozen.
// --file serves a clip instead.
//
// --loss drops packets at random (each with probability R) or in bursts (a
// Gilbert-Elliott chain losing R of them in bursts of N on average); an outage
// drops every packet from S seconds after the first for S seconds. Both after
// --drop-every, and counted as dropped.
//
// Prints "PORT <n>" once it listens. Ends on end of standard input, on SIGINT or
// SIGTERM, or after the timeout (default 120 s), and then prints
// "STATS sent=<packets> dropped=<packets> trailing=<packets>", where trailing
// counts the dropped packets after the last one delivered, which no receiver can
// count as lost. "STATS" lines also answer a "stats" line on standard input.

#include "RtspTestServer.h"

#include <glib-unix.h>
#include <gst/gst.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

using zephyrscope::tools::RtspTestServer;

namespace {

struct Run {
    GMainLoop* loop = nullptr;
    RtspTestServer* server = nullptr;
};

void printStats(const RtspTestServer& server)
{
    std::printf("STATS sent=%llu dropped=%llu trailing=%llu\n", static_cast<unsigned long long>(server.sentPackets()),
                static_cast<unsigned long long>(server.droppedPackets()),
                static_cast<unsigned long long>(server.trailingDroppedPackets()));
    std::fflush(stdout);
}

gboolean onStdin(GIOChannel* channel, GIOCondition condition, gpointer data)
{
    auto* run = static_cast<Run*>(data);
    if (condition & G_IO_IN) {
        gchar* line = nullptr;
        gsize length = 0;
        const GIOStatus status = g_io_channel_read_line(channel, &line, &length, nullptr, nullptr);
        if (status == G_IO_STATUS_NORMAL && line) {
            if (std::strncmp(line, "stats", 5) == 0)
                printStats(*run->server);
            g_free(line);
            return G_SOURCE_CONTINUE;
        }
        g_free(line);
        if (status == G_IO_STATUS_AGAIN)
            return G_SOURCE_CONTINUE;
    }
    g_main_loop_quit(run->loop);
    return G_SOURCE_REMOVE;
}

gboolean quitLoop(gpointer data)
{
    g_main_loop_quit(static_cast<Run*>(data)->loop);
    return G_SOURCE_REMOVE;
}

} // namespace

int main(int argc, char** argv)
{
    gst_init(&argc, &argv);
    RtspTestServer::Options options;
    int timeoutS = 120;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--port")
            options.port = std::atoi(value.c_str());
        else if (key == "--mount")
            options.mount = value;
        else if (key == "--drop-every")
            options.dropEvery = std::atoi(value.c_str());
        else if (key == "--seconds")
            options.seconds = std::atof(value.c_str());
        else if (key == "--fps")
            options.fps = std::atoi(value.c_str());
        else if (key == "--size")
            std::sscanf(value.c_str(), "%dx%d", &options.width, &options.height);
        else if (key == "--picture" && RtspTestServer::pictureNamed(value, options.picture)) {
            // named, and set
        }
        else if (key == "--file")
            options.file = value;
        else if (key == "--loss" && (value == "random" || value == "burst"))
            options.loss.kind = value == "random" ? zephyrscope::tools::impair::LossModel::Kind::Random
                                                  : zephyrscope::tools::impair::LossModel::Kind::GilbertElliott;
        else if (key == "--loss-rate")
            options.loss.rate = std::atof(value.c_str());
        else if (key == "--burst-mean")
            options.loss.meanBurst = std::atof(value.c_str());
        else if (key == "--seed")
            options.loss.seed = std::strtoull(value.c_str(), nullptr, 10);
        else if (key == "--outage-at")
            options.outage.startUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1e6);
        else if (key == "--outage-for")
            options.outage.durationUs = static_cast<std::int64_t>(std::atof(value.c_str()) * 1e6);
        else if (key == "--timeout")
            timeoutS = std::atoi(value.c_str());
        else {
            std::fprintf(stderr, "Cannot use option '%s %s': unknown, or a value out of its range\n", key.c_str(),
                         value.c_str());
            return 2;
        }
    }

    RtspTestServer server(options);
    const int port = server.start();
    if (port <= 0) {
        std::fprintf(stderr, "Cannot start RTSP server '127.0.0.1:%d': bind failed\n", options.port);
        return 1;
    }
    std::printf("PORT %d\n", port);
    std::fflush(stdout);

    Run run;
    run.loop = g_main_loop_new(nullptr, FALSE);
    run.server = &server;
    GIOChannel* input = g_io_channel_unix_new(STDIN_FILENO);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), onStdin, &run);
    g_timeout_add_seconds(static_cast<guint>(timeoutS > 0 ? timeoutS : 120), quitLoop, &run);
    g_unix_signal_add(SIGINT, quitLoop, &run);
    g_unix_signal_add(SIGTERM, quitLoop, &run);
    g_main_loop_run(run.loop);

    printStats(server);
    g_io_channel_unref(input);
    g_main_loop_unref(run.loop);
    return 0;
}
