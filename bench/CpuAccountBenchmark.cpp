// Where the CPU of one played clip goes, for the program and for ffmpeg, split
// into the same parts, with the parts that can run alone run alone.
//
// bench_cpu_account --program PATH --clip CLIP --work DIR [--rounds N] [--perf-rounds N]
//
// Every round runs each part once, in turn (so a change in the machine's load
// falls on all alike); the figures are medians of the rounds. CPU is user +
// system from wait4's rusage; context switches are its voluntary + involuntary
// counts. The parts:
//   program --version      process start and dynamic linking of the program's libraries, nothing else
//   program, missing file  the above, then Qt, the dialog, the player and the log, no media, the countdown
//   program                a whole unattended run on the clip (fake sinks, offscreen), countdown included
//   bench: exit            this benchmark started as a child that returns at once (it links GStreamer only)
//   bench: gst-init        ... that calls gst_init (the registry is read and checked)
//   bench: libav           ... and makes avdec_h264 (loading the libav plugin registers every codec)
//   bench: playbin3-ready  ... and prerolls playbin3 as the program builds it, then ends (set-up)
//   bench: pipeline-ready  ... the same with a hand-built pipeline of the same elements
//   bench: playbin3        ... and plays the clip to its end (the engine alone, in-process)
//   bench: pipeline        ... the hand-built pipeline played to the end
//   ffmpeg -version        ffmpeg's process start and dynamic linking
//   ffmpeg open            ffmpeg -t 0: probing, opening the decoders and the null output
//   ffmpeg                 ffmpeg -re -f null, default decoder threads (bench_peers' command)
//   ffmpeg 1 thread        the same with -threads 1, as the program decodes up to 1080p30
// For the whole runs, /proc is read every 100 ms, so their CPU splits by time:
// start to 4 s, 4 s to 18 s (steady playing), 18 s to 22 s (the clip's end), 22 s
// to the exit (the program's countdown and tear-down). Those slices add up to the
// whole; the first is then split by the parts run alone. With --perf-rounds, the
// whole program and ffmpeg runs are then recorded with perf (cpu-clock, 997 Hz)
// and their samples printed by library and by thread.
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "EngineSinks.h"
#include "Percentile.h"

#include <gst/gst.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using namespace zephyrscope::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double kSliceEdgesS[] = {4.0, 18.0, 22.0}; // the whole runs' time slices

// ---- the parts that run inside this benchmark, as a child of itself ----

void oneDecoderThread(GstElement*, GstElement* element, gpointer)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    if (factory && std::string(GST_OBJECT_NAME(factory)) == "avdec_h264")
        g_object_set(element, "max-threads", 1, nullptr);
}

struct ObjectUnref {
    void operator()(gpointer object) const { gst_object_unref(object); }
};
struct MessageUnref {
    void operator()(GstMessage* message) const { gst_message_unref(message); }
};
using ElementPtr = std::unique_ptr<GstElement, ObjectUnref>;
using BusPtr = std::unique_ptr<GstBus, ObjectUnref>;
using MessagePtr = std::unique_ptr<GstMessage, MessageUnref>;

ElementPtr owned(GstElement* element)
{
    return ElementPtr(element ? GST_ELEMENT(gst_object_ref_sink(element)) : nullptr);
}

ElementPtr launched(const std::string& description)
{
    GError* error = nullptr;
    ElementPtr element = owned(gst_parse_launch(description.c_str(), &error));
    if (!element || error) {
        const std::string reason = error ? error->message : "no element";
        g_clear_error(&error);
        throw std::runtime_error("Cannot build pipeline '" + description + "': " + reason);
    }
    return element;
}

ElementPtr playbin3Like(const std::string& clip)
{
    ElementPtr playbin = owned(gst_element_factory_make("playbin3", nullptr));
    if (!playbin)
        throw std::runtime_error("Cannot create element 'playbin3': the playback plugin is missing");
    const ElementPtr video = launched(kEngineVideoSink), audio = launched(kEngineAudioSink);
    const std::string uri = "file://" + clip;
    // The program's flags before fake sinks: video, audio, native both, buffering, deinterlace.
    g_object_set(playbin.get(), "uri", uri.c_str(), "video-sink", video.get(), "audio-sink", audio.get(), "flags",
                 (1 << 0) | (1 << 1) | (1 << 5) | (1 << 6) | (1 << 8) | (1 << 9), nullptr);
    g_signal_connect(playbin.get(), "element-setup", G_CALLBACK(oneDecoderThread), nullptr);
    return playbin;
}

ElementPtr handBuilt(const std::string& clip)
{
    return launched("filesrc location=\"" + clip + "\" ! qtdemux name=d "
                    "d.video_0 ! queue ! h264parse ! avdec_h264 max-threads=1 ! " + kEngineVideoSink
                    + " d.audio_0 ! queue ! aacparse ! avdec_aac ! " + kEngineAudioSink);
}

// Runs the pipeline to preroll (ready) or to the end; throws on an error.
void run(const ElementPtr& pipeline, bool toEnd, const std::string& clip)
{
    gst_element_set_state(pipeline.get(), toEnd ? GST_STATE_PLAYING : GST_STATE_PAUSED);
    const BusPtr bus(gst_element_get_bus(pipeline.get()));
    const auto wanted = static_cast<GstMessageType>(GST_MESSAGE_ERROR
                                                    | (toEnd ? GST_MESSAGE_EOS : GST_MESSAGE_ASYNC_DONE));
    const MessagePtr message(gst_bus_timed_pop_filtered(bus.get(), 120 * GST_SECOND, wanted));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    if (!message)
        throw std::runtime_error("Cannot play '" + clip + "': nothing came in 120 s");
    if (GST_MESSAGE_TYPE(message.get()) == GST_MESSAGE_ERROR) {
        GError* error = nullptr;
        gst_message_parse_error(message.get(), &error, nullptr);
        const std::string reason = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("Cannot play '" + clip + "': " + reason);
    }
}

int runPart(const std::string& part, const std::string& clip)
{
    if (part == "exit")
        return 0;
    gst_init(nullptr, nullptr);
    if (part == "gst-init")
        return 0;
    if (!owned(gst_element_factory_make("avdec_h264", nullptr)))
        throw std::runtime_error("Cannot create element 'avdec_h264': the libav plugin is missing");
    if (part == "libav")
        return 0;
    if (part == "playbin3-ready" || part == "playbin3")
        run(playbin3Like(clip), part == "playbin3", clip);
    else if (part == "pipeline-ready" || part == "pipeline")
        run(handBuilt(clip), part == "pipeline", clip);
    else
        throw std::runtime_error("Cannot run part '" + part + "': unknown");
    return 0;
}

// ---- the parent: rounds, slices, medians, the table ----

struct Part {
    std::string name;
    std::vector<std::string> argv; // CLIP and LOG are replaced per run
    std::vector<std::string> environment;
    bool whole = false; // a whole run of the clip: split by time slices
    int exitStatus = 0; // the status it ends with when all went as meant
};

struct Run {
    double cpu = 0.0, wall = 0.0, switches = 0.0;
    std::vector<double> slices; // whole runs: CPU in each time slice, adding up to cpu
};

std::vector<Part> parts(const std::string& program, const std::string& self)
{
    const std::vector<std::string> headless {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY",
                                             "QT_QPA_PLATFORM"};
    const std::vector<std::string> ffmpeg {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error"};
    auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    std::vector<Part> all {
        {"program --version", {program, "--version"}, headless},
        // Ends with the status of an entry that could not be opened.
        {"program, missing file", {program, "-platform", "offscreen", "MISSING", "LOG"}, headless, false, 3},
        {"program", {program, "-platform", "offscreen", "CLIP", "LOG"}, headless, true},
        {"ffmpeg -version", {"ffmpeg", "-version"}, {}},
        {"ffmpeg open", with(ffmpeg, {"-i", "CLIP", "-t", "0", "-f", "null", "-"}), {}},
        {"ffmpeg", with(ffmpeg, {"-re", "-i", "CLIP", "-f", "null", "-"}), {}, true},
        {"ffmpeg 1 thread", with(ffmpeg, {"-re", "-threads", "1", "-i", "CLIP", "-f", "null", "-"}), {}, true},
    };
    for (const char* part : {"exit", "gst-init", "libav", "playbin3-ready", "pipeline-ready", "playbin3", "pipeline"}) {
        const std::string name = part;
        all.push_back({"bench: " + name, {self, "--part", name, "--clip", "CLIP"}, {"DISPLAY"},
                       name == "playbin3" || name == "pipeline"});
    }
    return all;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::vector<std::string> argvFor(const Part& part, const std::string& clip, const fs::path& work, const std::string& tag)
{
    std::vector<std::string> argv;
    for (const auto& a : part.argv) {
        std::string word = replaced(a, "MISSING", (work / "no-such-clip.mp4").string());
        word = replaced(replaced(word, "CLIP", clip), "LOG", (work / (tag + ".dat")).string());
        argv.push_back(word);
    }
    return argv;
}

Run runOnce(const Part& part, const std::string& clip, const fs::path& work, const std::string& tag)
{
    fs::remove(work / (tag + ".dat"));
    const fs::path output = work / (tag + ".out");
    ChildProcess child(argvFor(part, clip, work, tag), part.environment, work, output);
    std::vector<double> atEdge(std::size(kSliceEdgesS), -1.0);
    const auto watch = [&](const ProcessSnapshot& s) {
        for (std::size_t i = 0; i < atEdge.size(); ++i) {
            if (atEdge[i] < 0 && s.wallSeconds >= kSliceEdgesS[i] && s.cpuSeconds > 0)
                atEdge[i] = s.cpuSeconds;
        }
    };
    if (!child.wait(240s, 100ms, watch) || child.exitStatus() != part.exitStatus)
        throw std::runtime_error("Cannot run part '" + part.name + "': status " + std::to_string(child.exitStatus())
                                 + ", see " + output.string());
    const rusage& u = child.usage();
    Run run;
    run.cpu = child.usageCpuSeconds();
    run.wall = child.elapsedSeconds();
    run.switches = static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
    if (part.whole) {
        double before = 0.0;
        for (double cpu : atEdge) {
            const double at = cpu < 0 ? run.cpu : std::min(cpu, run.cpu); // a run that ended before an edge
            run.slices.push_back(at - before);
            before = at;
        }
        run.slices.push_back(run.cpu - before);
    }
    return run;
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

struct Figures {
    double cpu = 0.0, wall = 0.0, switches = 0.0;
    std::vector<double> slices;
    std::string rounds;
};

Figures medians(const std::vector<Run>& runs)
{
    Figures f;
    std::vector<double> cpu, wall, switches;
    for (const Run& r : runs) {
        cpu.push_back(r.cpu);
        wall.push_back(r.wall);
        switches.push_back(r.switches);
        char text[32];
        std::snprintf(text, sizeof text, "%s%.3f", f.rounds.empty() ? "" : " ", r.cpu);
        f.rounds += text;
    }
    f.cpu = median(cpu);
    f.wall = median(wall);
    f.switches = median(switches);
    for (std::size_t i = 0; !runs.empty() && i < runs.front().slices.size(); ++i) {
        std::vector<double> slice;
        for (const Run& r : runs)
            slice.push_back(r.slices[i]);
        f.slices.push_back(median(slice));
    }
    return f;
}

std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string a, b, c;
    in >> a >> b >> c;
    return a + " " + b + " " + c;
}

// The library group a perf DSO belongs to, so the two tools' splits line up.
std::string groupOf(const std::string& dso)
{
    static const std::vector<std::pair<std::string, std::string>> groups {
        {"libavcodec", "libavcodec (decoding)"},
        {"[kernel", "kernel (syscalls, futex, poll, faults, switches)"},
        {"ld-linux", "dynamic linker"},
        {"libc.so", "libc (memcpy, malloc, futex calls)"},
        {"libgstreamer-", "GStreamer core and base"},
        {"libgstbase-", "GStreamer core and base"},
        {"libgst", "GStreamer plugins and their libraries"},
        {"libglib-", "GLib and GObject"},
        {"libgobject-", "GLib and GObject"},
        {"libQt6", "Qt, fonts, the program"},
        {"libfontconfig", "Qt, fonts, the program"},
        {"libfreetype", "Qt, fonts, the program"},
        {"libharfbuzz", "Qt, fonts, the program"},
        {"libicu", "Qt, fonts, the program"},
        {"zephyrscope", "Qt, fonts, the program"},
        {"libav", "other libav* (util, format, filter, swresample)"},
        {"libsw", "other libav* (util, format, filter, swresample)"},
        {"ffmpeg", "ffmpeg's own loop"},
    };
    for (const auto& [prefix, group] : groups) {
        if (dso.rfind(prefix, 0) == 0)
            return group;
    }
    return "other libraries";
}

// perf report's samples by one sort key, read from its --stdio output.
std::map<std::string, double> perfSamples(const fs::path& data, const std::string& sortKey, const fs::path& work)
{
    const fs::path text = work / (data.stem().string() + "-" + sortKey + ".txt");
    ChildProcess report({"perf", "report", "-i", data.string(), "--stdio", "--no-children", "--sort", sortKey, "-F",
                         "sample," + sortKey, "-q"},
                        {}, work, text);
    if (!report.wait(120s, 100ms) || report.exitStatus() != 0)
        throw std::runtime_error("Cannot run perf report on '" + data.string() + "': see " + text.string());
    std::map<std::string, double> samples;
    std::ifstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        double count = 0;
        std::string name;
        if (words >> count && std::getline(words >> std::ws, name)) {
            while (!name.empty() && name.back() == ' ')
                name.pop_back();
            samples[sortKey == "dso" ? groupOf(name) : name] += count;
        }
    }
    return samples;
}

void printPerf(const std::vector<Part>& all, const std::string& clip, const fs::path& work, int rounds)
{
    constexpr double kFrequencyHz = 997.0;
    std::vector<const Part*> recorded;
    for (const Part& p : all) {
        if (p.name == "program" || p.name == "ffmpeg" || p.name == "ffmpeg 1 thread")
            recorded.push_back(&p);
    }
    std::vector<std::map<std::string, double>> byGroup(recorded.size()), byThread(recorded.size());
    std::vector<double> total(recorded.size(), 0.0);
    for (int round = 1; round <= rounds; ++round) {
        for (std::size_t i = 0; i < recorded.size(); ++i) {
            Part traced = *recorded[i];
            const fs::path data = work / ("perf-" + std::to_string(i) + "-" + std::to_string(round) + ".data");
            traced.argv.insert(traced.argv.begin(), {"perf", "record", "-q", "-F", "997", "-o", data.string(), "--"});
            runOnce(traced, clip, work, "perf-" + std::to_string(i));
            for (const auto& [group, n] : perfSamples(data, "dso", work)) {
                byGroup[i][group] += n / kFrequencyHz / rounds;
                total[i] += n / kFrequencyHz / rounds;
            }
            for (const auto& [thread, n] : perfSamples(data, "comm", work))
                byThread[i][thread] += n / kFrequencyHz / rounds;
        }
    }
    std::printf("\nperf record (cpu-clock, %.0f Hz), mean of %d runs each: CPU s by library\n", kFrequencyHz, rounds);
    std::map<std::string, int> groups;
    for (const auto& m : byGroup)
        for (const auto& [g, n] : m)
            groups[g] = 0;
    std::printf("%-52s", "library");
    for (const Part* p : recorded)
        std::printf(" | %15s", p->name.c_str());
    std::printf("\n");
    for (const auto& [g, unused] : groups) {
        std::printf("%-52s", g.c_str());
        for (std::size_t i = 0; i < recorded.size(); ++i)
            std::printf(" | %15.3f", byGroup[i].count(g) ? byGroup[i][g] : 0.0);
        std::printf("\n");
    }
    std::printf("%-52s", "all samples");
    for (double t : total)
        std::printf(" | %15.3f", t);
    std::printf("\n");
    for (std::size_t i = 0; i < recorded.size(); ++i) {
        std::printf("threads of %s:", recorded[i]->name.c_str());
        for (const auto& [thread, seconds] : byThread[i]) {
            if (seconds >= 0.005)
                std::printf(" %s %.3f;", thread.c_str(), seconds);
        }
        std::printf("\n");
    }
}

struct Options {
    std::string program, clip, work;
    int rounds = 5, perfRounds = 0;
};

int account(const Options& o, const std::string& self)
{
    const fs::path work = o.work;
    fs::create_directories(work);
    const std::vector<Part> all = parts(o.program, self);
    std::printf("CPU accounting on %s, %d rounds interleaved; load average at start %s\n", o.clip.c_str(), o.rounds,
                loadAverage().c_str());
    std::vector<std::vector<Run>> runs(all.size());
    for (int round = 1; round <= o.rounds; ++round) {
        for (std::size_t p = 0; p < all.size(); ++p) {
            runs[p].push_back(runOnce(all[p], o.clip, work, "part" + std::to_string(p)));
            std::fprintf(stderr, "round %d %-22s CPU %.3f s, %.1f s, %.0f switches\n", round, all[p].name.c_str(),
                         runs[p].back().cpu, runs[p].back().wall, runs[p].back().switches);
        }
    }
    std::map<std::string, Figures> f;
    std::printf("\n%-22s | %-40s | %8s | %8s | %9s | %s\n", "part", "CPU s by round", "CPU med", "wall med",
                "switches", "whole runs: CPU s in 0-4 / 4-18 / 18-22 / 22-end s");
    for (std::size_t p = 0; p < all.size(); ++p) {
        const Figures m = medians(runs[p]);
        f[all[p].name] = m;
        std::string slices;
        for (double s : m.slices) {
            char text[24];
            std::snprintf(text, sizeof text, "%s%.3f", slices.empty() ? "" : " / ", s);
            slices += text;
        }
        std::printf("%-22s | %-40s | %8.3f | %8.1f | %9.0f | %s\n", all[p].name.c_str(), m.rounds.c_str(), m.cpu, m.wall,
                    m.switches, slices.c_str());
    }

    // The accounting: the whole runs' time slices, the first split by parts run alone.
    const Figures& prog = f["program"];
    const Figures& ff = f["ffmpeg"];
    const Figures& ff1 = f["ffmpeg 1 thread"];
    const double progStart = f["program --version"].cpu;
    const double progUi = f["program, missing file"].cpu - progStart - prog.slices[3];
    const double benchExit = f["bench: exit"].cpu;
    const double gstInit = f["bench: gst-init"].cpu - benchExit;
    const double libav = f["bench: libav"].cpu - f["bench: gst-init"].cpu;
    const double setUp = f["bench: playbin3-ready"].cpu - f["bench: libav"].cpu;
    const double progFirst = prog.slices[0] - progStart - std::max(0.0, progUi) - gstInit - libav - setUp;
    const double ffStart = f["ffmpeg -version"].cpu;
    const double ffOpen = f["ffmpeg open"].cpu - ffStart;
    std::printf("\nAccounting (CPU s, medians; 'derived' rows are differences of medians)\n");
    std::printf("%-72s | %8s | %8s | %15s\n", "part", "program", "ffmpeg", "ffmpeg 1 thread");
    const auto row = [](const char* name, double a, double b, double c) {
        std::printf("%-72s | %8.3f | %8.3f | %15.3f\n", name, a, b, c);
    };
    row("process start, dynamic linking (--version / -version)", progStart, ffStart, ffStart);
    row("Qt, dialog, player, log, no media (missing file less start, countdown)", progUi, 0.0, 0.0);
    row("gst_init and the registry (bench: gst_init less exit)", gstInit, 0.0, 0.0);
    row("libav plugin load, every codec registered (libav less gst_init)", libav, 0.0, 0.0);
    row("pipeline set-up to preroll (playbin3 ready less libav; ffmpeg open)", setUp, ffOpen, ffOpen);
    row("decoding in the first 4 s (derived: the 0-4 s slice less the above)", progFirst,
        ff.slices[0] - ffStart - ffOpen, ff1.slices[0] - ffStart - ffOpen);
    row("steady playing, 4 s to 18 s", prog.slices[1], ff.slices[1], ff1.slices[1]);
    row("the clip's end, 18 s to 22 s", prog.slices[2], ff.slices[2], ff1.slices[2]);
    row("after 22 s: countdown and tear-down", prog.slices[3], ff.slices[3], ff1.slices[3]);
    double progSum = 0, ffSum = 0, ff1Sum = 0;
    for (std::size_t i = 0; i < prog.slices.size(); ++i) {
        progSum += prog.slices[i];
        ffSum += ff.slices[i];
        ff1Sum += ff1.slices[i];
    }
    row("sum of the slices (medians of each; the whole run's median below)", progSum, ffSum, ff1Sum);
    row("whole run", prog.cpu, ff.cpu, ff1.cpu);
    std::printf("In-process engine: playbin3 %.3f s against the hand-built pipeline %.3f s (ready: %.3f against "
                "%.3f s); steady 4-18 s %.3f against %.3f s\n",
                f["bench: playbin3"].cpu, f["bench: pipeline"].cpu, f["bench: playbin3-ready"].cpu,
                f["bench: pipeline-ready"].cpu, f["bench: playbin3"].slices[1], f["bench: pipeline"].slices[1]);
    if (o.perfRounds > 0)
        printPerf(all, o.clip, work, o.perfRounds);
    std::printf("\nLoad average at the end %s\n", loadAverage().c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv)
try {
    Options o;
    std::string part;
    BenchOptions()
        .path("--program", o.program)
        .path("--clip", o.clip)
        .path("--work", o.work)
        .number("--rounds", o.rounds, 1)
        .number("--perf-rounds", o.perfRounds, 0)
        .on("--part", [&part](const std::string& value) { part = value; })
        .parse(argc, argv);
    if (!part.empty())
        return runPart(part, o.clip);
    if (o.program.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    if (!fs::is_regular_file(o.clip))
        throw std::runtime_error("Cannot read clip '" + o.clip + "': no such file");
    return account(o, fs::read_symlink("/proc/self/exe").string());
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_cpu_account: %s\n", e.what());
    return 1;
}
