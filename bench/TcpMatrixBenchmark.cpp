// The impairment matrix's TCP cells: RTSP over TCP, live HLS and live DASH
// (each from the test server and packaged by ffmpeg) through a TCP relay that
// holds what a lossy, slow, late or broken path would, for every impairment.
// Prints one line per figure (measured, truth, verdict, how the truth was
// worked out) and the count of exact, within and wrong figures; with --json,
// writes every cell as one JSON object per line.
//
// bench_tcp_matrix [--source rtsp|hls|hls-ffmpeg|dash|dash-ffmpeg] [--impairment none|loss0.5|loss2|loss5|
//                  bursts|outage|delay|cap] [--seconds N] [--json FILE] [--work DIR]
// Exit status: 0 when every figure is exact or within, 1 when one is wrong, 2 on a failure to run.
#include "TcpMatrixCells.h"

#include <glib.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

using namespace zephyrscope::bench;

namespace {

std::string jsonText(const std::string& text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            continue;
        out += c;
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv)
try {
    const std::map<std::string, TcpMatrixCells::Source> sources {
        {"rtsp", TcpMatrixCells::Source::RtspTcp}, {"hls", TcpMatrixCells::Source::HlsServer},
        {"hls-ffmpeg", TcpMatrixCells::Source::HlsFfmpeg}, {"dash", TcpMatrixCells::Source::DashServer},
        {"dash-ffmpeg", TcpMatrixCells::Source::DashFfmpeg}};
    const std::map<std::string, TcpMatrixCells::Kind> kinds {
        {"none", TcpMatrixCells::Kind::None}, {"loss0.5", TcpMatrixCells::Kind::Loss05},
        {"loss2", TcpMatrixCells::Kind::Loss2}, {"loss5", TcpMatrixCells::Kind::Loss5},
        {"bursts", TcpMatrixCells::Kind::Bursts}, {"outage", TcpMatrixCells::Kind::Outage},
        {"delay", TcpMatrixCells::Kind::Delay}, {"cap", TcpMatrixCells::Kind::RateCap}};
    std::vector<TcpMatrixCells::Source> runSources = TcpMatrixCells::sources();
    std::vector<TcpMatrixCells::Kind> runKinds = TcpMatrixCells::kinds();
    int seconds = 16;
    std::string jsonPath;
    std::filesystem::path work = std::filesystem::temp_directory_path() / "zephyrscope-tcp-matrix";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i], value = argv[i + 1];
        if (key == "--source" && sources.count(value))
            runSources = {sources.at(value)};
        else if (key == "--impairment" && kinds.count(value))
            runKinds = {kinds.at(value)};
        else if (key == "--seconds")
            seconds = std::stoi(value);
        else if (key == "--json")
            jsonPath = value;
        else if (key == "--work")
            work = value;
        else
            throw std::runtime_error("Cannot use option '" + key + " " + value + "': unknown");
    }
    unsetenv("DISPLAY");
    std::filesystem::create_directories(work);
    std::ofstream json;
    if (!jsonPath.empty()) {
        json.open(jsonPath);
        if (!json)
            throw std::runtime_error("Cannot write '" + jsonPath + "': cannot open it");
    }
    TcpMatrixCells cells(work);
    int exact = 0, within = 0, wrong = 0, failed = 0;
    for (const TcpMatrixCells::Source source : runSources) {
        for (const TcpMatrixCells::Kind kind : runKinds) {
            const TcpMatrixCells::Cell cell = cells.run(source, kind, std::chrono::seconds(seconds));
            const std::string where = TcpMatrixCells::name(source) + " | " + TcpMatrixCells::name(kind);
            if (!cell.note.empty()) {
                ++failed;
                std::printf("%s | did not play: %s\n", where.c_str(), cell.note.c_str());
            }
            std::string figuresJson;
            for (const TcpMatrixCells::Figure& f : cell.figures) {
                const std::string verdict = f.verdict();
                exact += verdict == "exact";
                wrong += verdict == "wrong";
                within += verdict != "exact" && verdict != "wrong";
                std::printf("%s | %s | measured %.0f %s | truth %.0f | %s | %s\n", where.c_str(), f.name.c_str(),
                            f.measured, f.unit.c_str(), f.truth, verdict.c_str(), f.why.c_str());
                char numbers[160];
                std::snprintf(numbers, sizeof numbers, "\"measured\":%.1f,\"truth\":%.1f,\"tolerance\":%.1f,", f.measured,
                              f.truth, f.tolerance);
                figuresJson += std::string(figuresJson.empty() ? "" : ",") + "{\"figure\":" + jsonText(f.name) + ","
                    + numbers + "\"unit\":" + jsonText(f.unit) + ",\"verdict\":" + jsonText(verdict)
                    + ",\"truth_from\":" + jsonText(f.why) + "}";
            }
            std::fflush(stdout);
            if (json)
                json << "{\"protocol\":" << jsonText(TcpMatrixCells::name(source))
                     << ",\"impairment\":" << jsonText(TcpMatrixCells::name(kind)) << ",\"note\":" << jsonText(cell.note)
                     << ",\"figures\":[" << figuresJson << "]}\n";
        }
    }
    std::printf("figures: %d exact, %d within, %d wrong; cells that did not play: %d\n", exact, within, wrong, failed);
    return wrong > 0 || failed > 0 ? 1 : 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_tcp_matrix: %s\n", e.what());
    return 2;
}
