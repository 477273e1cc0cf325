// zephyrscope_http_server [--root DIR] [--make-clips] [--timeout S]
//
// Serves DIR (default: the current folder) on 127.0.0.1 and a free port, with the
// query options of HttpTestServer (rate=, stallAfter=, stallMs=, dieAfter=,
// status=). --make-clips first writes clip25.mkv (3 s, 320x240, 25 fps, titled),
// clip30.mkv (30 fps), clip25av.mkv (with audio) and a two-entry list.m3u into DIR.
// Prints "PORT <n>", then serves until standard input ends, SIGINT/SIGTERM, or
// the timeout (default 600 s).

#include "HttpTestServer.h"
#include "MediaFactory.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

using zephyrscope::testing::HttpTestServer;
using zephyrscope::testing::MediaFactory;

namespace {

void makeClips(const std::filesystem::path& root)
{
    MediaFactory factory;
    MediaFactory::Clip clip;
    clip.title = "Zephyr Test Clip";
    std::filesystem::copy_file(factory.make("clip25.mkv", clip), root / "clip25.mkv",
                               std::filesystem::copy_options::overwrite_existing);
    clip.title.clear();
    clip.fps = 30;
    std::filesystem::copy_file(factory.make("clip30.mkv", clip), root / "clip30.mkv",
                               std::filesystem::copy_options::overwrite_existing);
    clip.fps = 25;
    clip.audio = true;
    std::filesystem::copy_file(factory.make("clip25av.mkv", clip), root / "clip25av.mkv",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(root / "list.m3u") << "#EXTM3U\nclip25.mkv\nclip30.mkv\n";
}

} // namespace

int main(int argc, char** argv)
{
    std::filesystem::path root = std::filesystem::current_path();
    bool clips = false;
    int timeoutS = 600;
    for (int i = 1; i < argc; ++i) {
        const std::string key = argv[i];
        if (key == "--make-clips") {
            clips = true;
        } else if (key == "--root" && i + 1 < argc) {
            root = argv[++i];
        } else if (key == "--timeout" && i + 1 < argc) {
            timeoutS = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "Cannot use option '%s': unknown or missing its value\n", key.c_str());
            return 2;
        }
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked here (before any thread starts) and noticed below with sigtimedwait.
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        std::filesystem::create_directories(root);
        if (clips)
            makeClips(root);
        HttpTestServer server(root);
        server.start();
        std::printf("PORT %d\n", server.port());
        std::fflush(stdout);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS > 0 ? timeoutS : 600);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd input {STDIN_FILENO, POLLIN, 0};
            if (poll(&input, 1, 100) > 0) {
                char buffer[256];
                if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0)
                    break; // end of input
            }
            const timespec now {0, 0};
            if (sigtimedwait(&stopSignals, nullptr, &now) > 0)
                break;
        }
        server.stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
