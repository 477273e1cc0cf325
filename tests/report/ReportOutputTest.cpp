#include "ChartRenderer.h"
#include "JsonLogReader.h"
#include "JsonLogText.h"
#include "JsonReport.h"
#include "LogBuilder.h"
#include "LogReader.h"
#include "Protocol.h"
#include "RunSummary.h"
#include "TextReport.h"

#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <random>

#include <cstdio>
#include <fstream>

using namespace zephyrscope;
using namespace zephyrscope::report;
using zephyrscope::testing::LogBuilder;

namespace {

LogBuilder playlistWithAStall()
{
    LogBuilder b;
    b.next.network.protocol = protocolNamed("RTSPU");
    b.samples(2, kPlayStateTransitioning).media("first clip", "rtsp://127.0.0.1/a", 3.0, 320, 240);
    b.samples(6, kPlayStatePlaying, [](SampleLine& s, int i) {
        s.network.bitRate = 500000;
        s.fps = 25;
        s.iFramerate = 25;
        s.network.bufferingProgress = 100;
        s.network.receivedPackets = 50 * (i + 1);
        s.network.lostPackets = i / 2;
    });
    b.samples(3, kPlayStateBuffering, [](SampleLine& s, int i) { s.network.bufferingProgress = 30 * i; });
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) {
        s.network.bitRate = 450000;
        s.fps = 24;
        s.iFramerate = 23;
        s.network.bufferingProgress = 100;
    });
    b.samples(1, kPlayStateMediaEnded).media("second \xe9t\xe9", "http://127.0.0.1/b.mp4", 2.0, 640, 480);
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) {
        s.network.bitRate = 900000;
        s.fps = 30;
        s.network.protocol = protocolNamed("HTTP");
    });
    return b;
}

// How many pixels of a chart are of a colour.
template <typename IsColour>
int pixelsOf(const QImage& image, IsColour isColour)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += isColour(image.pixelColor(x, y)) ? 1 : 0;
    return count;
}

std::string runCommand(const std::string& command, int& status)
{
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    status = ::pclose(pipe);
    status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

class ReportOutputTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath("run.dat").toStdString();
        std::ofstream(logPath, std::ios::binary) << playlistWithAStall().text() << "broken line\n";
    }
    QTemporaryDir dir;
    std::string logPath;
};

} // namespace

TEST_F(ReportOutputTest, JsonIsOneObjectWithTheRunTheClipsAndTheBadLines)
{
    const RunSummary summary = Summarize(LogReader::fromFile(logPath));
    const std::string json = FormatJsonReport(summary, logPath);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(json), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString() << "\n" << json;
    const QJsonObject root = doc.object();
    EXPECT_EQ(root["log"].toString().toStdString(), logPath);
    EXPECT_TRUE(root["header_valid"].toBool());
    const QJsonObject run = root["run"].toObject();
    EXPECT_EQ(run["stalls"].toInt(), 1);
    EXPECT_DOUBLE_EQ(run["stall_s"].toDouble(), 1.5);
    EXPECT_DOUBLE_EQ(run["startup_s"].toDouble(), 1.0);
    EXPECT_EQ(run["lost_packets"].toInt(), 2);
    const QJsonArray clips = root["clips"].toArray();
    ASSERT_EQ(clips.size(), 2);
    EXPECT_EQ(clips[0].toObject()["name"].toString(), "first clip");
    // The log's 8-bit Latin-1 name comes out as proper Unicode.
    EXPECT_EQ(clips[1].toObject()["name"].toString(), QString::fromUtf8("second \xc3\xa9t\xc3\xa9"));
    EXPECT_EQ(clips[1].toObject()["figures"].toObject()["protocol"].toString(), "HTTP");
    EXPECT_TRUE(clips[1].toObject()["figures"].toObject()["startup_s"].isDouble());
    const QJsonArray bad = root["malformed_lines"].toArray();
    ASSERT_EQ(bad.size(), 1);
    EXPECT_EQ(bad[0].toObject()["line"].toInt(), 28);
    // A tab-separated log has no transport stream errors: null, not zeros.
    EXPECT_TRUE(run["ts_errors"].isNull());
    EXPECT_TRUE(run["ts_error_marks"].isNull());
}

TEST_F(ReportOutputTest, NeverPlayedFiguresAreNull)
{
    LogBuilder b;
    b.samples(3, kPlayStateTransitioning);
    const std::string json = FormatJsonReport(Summarize(LogReader::fromText(b.text())), "x");
    const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object()["run"].toObject();
    EXPECT_TRUE(run["bit_rate_mean"].isNull());
    EXPECT_TRUE(run["startup_s"].isNull());
    // No loss figure: nothing after the count, not a dash glued to "lost".
    const std::string text = FormatTextReport(Summarize(LogReader::fromText(b.text())), "x");
    EXPECT_NE(text.find("  Packets              0 received, 0 lost\n"), std::string::npos) << text;
}

TEST_F(ReportOutputTest, TextNamesEveryClipAndEveryBadLine)
{
    const std::string text = FormatTextReport(Summarize(LogReader::fromFile(logPath)), "run.dat");
    EXPECT_NE(text.find("Log run.dat: 2 clip(s), 20 sample(s), 1 line(s) not read"), std::string::npos) << text;
    EXPECT_NE(text.find("Clip 1: first clip\n"), std::string::npos);
    EXPECT_NE(text.find("  Stalls               1, 1.50 s in all"), std::string::npos) << text;
    EXPECT_NE(text.find("  line 28: neither a sample line nor part of a media block"), std::string::npos);
    EXPECT_EQ(text.find("TS errors"), std::string::npos) << text;
}

TEST_F(ReportOutputTest, PngChartHasTheRequestedSizeAndDrawsTheData)
{
    const StatisticsLog log = LogReader::fromFile(logPath);
    const RunSummary summary = Summarize(log);
    const QString png = dir.filePath("chart.png");
    EXPECT_EQ(ChartRenderer(log, summary, "run").save(png, QSize(900, 700)), QString());
    QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(900, 700));
    // Series colours and the stall shading must be there, not just a blank page.
    QSet<QRgb> colours;
    int blue = 0, shaded = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            colours.insert(c.rgb());
            if (c.blue() > 150 && c.red() < 80)
                ++blue;
            if (c.red() == 255 && c.green() > 200 && c.green() < 230 && c.blue() > 200 && c.blue() < 230)
                ++shaded;
        }
    EXPECT_GT(colours.size(), 20);
    EXPECT_GT(blue, 200);
    EXPECT_GT(shaded, 1000);
}

TEST_F(ReportOutputTest, VariantSwitchesOfAnAdaptiveStreamAreCountedListedAndMarked)
{
    LogBuilder b;
    b.next.network.protocol = protocolNamed("HLS");
    b.samples(2, kPlayStateBuffering); // BandWidth not known yet: no switch from 0
    b.media("ladder", "http://127.0.0.1/master.m3u8", 16.0, 320, 180);
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) { s.network.bandWidth = 500000; });
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) { s.network.bandWidth = 1670000; });
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) { s.network.bandWidth = 500000; });
    const StatisticsLog log = LogReader::fromText(b.text());
    const RunSummary summary = Summarize(log);
    ASSERT_EQ(summary.run.switches.size(), 2u);
    EXPECT_EQ(summary.run.switches[0].fromBandwidth, 500000);
    EXPECT_EQ(summary.run.switches[0].toBandwidth, 1670000);
    EXPECT_DOUBLE_EQ(summary.run.switches[0].utc - summary.firstUtc, 3.0);
    EXPECT_EQ(summary.run.switches[1].toBandwidth, 500000);

    const std::string text = FormatTextReport(summary, "hls.dat");
    EXPECT_NE(text.find("  Variant switches     2\n    at "), std::string::npos) << text;
    EXPECT_NE(text.find("(+3.0 s): 500000 -> 1670000 bit/s\n"), std::string::npos) << text;
    EXPECT_NE(text.find("(+5.0 s): 1670000 -> 500000 bit/s\n"), std::string::npos) << text;

    const QJsonObject run = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJsonReport(summary, "x")))
                                .object()["run"]
                                .toObject();
    const QJsonArray switches = run["variant_switches"].toArray();
    ASSERT_EQ(switches.size(), 2);
    EXPECT_EQ(switches[1].toObject()["from_bandwidth"].toInt(), 1670000);
    EXPECT_EQ(switches[1].toObject()["to_bandwidth"].toInt(), 500000);

    // Two dotted purple marks down the panels.
    const QString png = dir.filePath("switches.png");
    ASSERT_EQ(ChartRenderer(log, summary, "hls").save(png, QSize(900, 700)), QString());
    const int purple = pixelsOf(QImage(png), [](const QColor& c) {
        return c.red() > 100 && c.red() < 160 && c.green() < 40 && c.blue() > 130;
    });
    EXPECT_GT(purple, 300);
}

TEST_F(ReportOutputTest, TransportStreamErrorsOfAJsonLogAreCountedListedAndMarked)
{
    using zephyrscope::testing::kStartMs;
    zephyrscope::testing::JsonLogText json;
    TsErrorCounts counts;
    json.opened(kStartMs, "udp");
    for (int k = 0; k < 20; ++k) {
        if (k == 6 || k == 14)
            counts.continuity += 2;
        if (k == 14)
            counts.pat += 1;
        json.tick(kStartMs + 500 * k, "Playing", std::nullopt, counts);
    }
    const StatisticsLog log = JsonLogReader::fromText(json.text);
    const RunSummary summary = Summarize(log);

    const std::string text = FormatTextReport(summary, "udp.jsonl");
    const std::string row = "  TS errors            sync_loss 0, sync_byte 0, pat 1, continuity_count 4, pmt 0, pid 0\n";
    const std::size_t clipAt = text.find("Clip 1: udp");
    ASSERT_NE(clipAt, std::string::npos) << text;
    EXPECT_LT(text.find(row), clipAt) << "for the run:\n" << text;
    EXPECT_NE(text.find(row, clipAt), std::string::npos) << "for the clip:\n" << text;

    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJsonReport(summary, "x"))).object();
    const QJsonObject clip = root["clips"].toArray()[0].toObject()["figures"].toObject();
    EXPECT_EQ(clip["ts_errors"].toObject()["continuity_count"].toInt(), 4);
    EXPECT_EQ(clip["ts_errors"].toObject()["pat"].toInt(), 1);
    const QJsonArray marks = root["run"].toObject()["ts_error_marks"].toArray();
    ASSERT_EQ(marks.size(), 2);
    EXPECT_EQ(marks[1].toObject()["added"].toObject()["pat"].toInt(), 1);

    // The marks are drawn: the chart has more of their colour than one without them.
    const auto orangePixels = [&](const RunSummary& drawn, const QString& name) {
        const QString png = dir.filePath(name);
        EXPECT_EQ(ChartRenderer(log, drawn, "udp").save(png, QSize(900, 700)), QString());
        return pixelsOf(QImage(png), [](const QColor& c) {
            return c.red() > 200 && c.green() > 60 && c.green() < 110 && c.blue() < 40;
        });
    };
    RunSummary unmarked = summary;
    unmarked.run.tsErrorMarks.clear();
    EXPECT_GT(orangePixels(summary, "marked.png"), orangePixels(unmarked, "unmarked.png") + 300);
}

// The splice events of a JSON Lines log: listed with their event id, direction,
// time, duration and source in the text and the JSON, and marked on the chart.
TEST_F(ReportOutputTest, SplicesOfAJsonLogAreListedAndMarked)
{
    using zephyrscope::testing::kStartMs;
    zephyrscope::testing::JsonLogText json;
    json.opened(kStartMs, "udp");
    const auto splice = [&](std::int64_t heardMs, SpliceCommandType command, SpliceSource source,
                            std::optional<bool> out, std::optional<std::int64_t> durationMs,
                            std::optional<std::int64_t> spliceWallMs) {
        SpliceCommand c;
        c.command = command;
        c.source = source;
        c.eventId = out ? std::optional<std::uint32_t>(7) : std::nullopt;
        c.outOfNetwork = out;
        c.durationMs = durationMs;
        c.spliceWallMs = spliceWallMs;
        JsonLogEvent e;
        e.kind = JsonLogEventKind::Splice;
        e.wallMs = heardMs;
        e.durationMs = durationMs;
        e.splice = c;
        json.event(e);
    };
    for (int k = 0; k < 20; ++k)
        json.tick(kStartMs + 500 * k, "Playing");
    splice(kStartMs + 1000, SpliceCommandType::SpliceInsert, SpliceSource::Hls, true, 3000, kStartMs + 2000);
    splice(kStartMs + 4000, SpliceCommandType::SpliceInsert, SpliceSource::Hls, false, std::nullopt, kStartMs + 5000);
    splice(kStartMs + 6000, SpliceCommandType::TimeSignal, SpliceSource::Dash, std::nullopt, std::nullopt, std::nullopt);
    const StatisticsLog log = JsonLogReader::fromText(json.text);
    ASSERT_TRUE(log.problems.empty());
    const RunSummary summary = Summarize(log);

    const std::string text = FormatTextReport(summary, "udp.jsonl");
    for (const std::string line : {"  Splices              3\n",
                                   "    at 1700000002.000 (+2.0 s): splice_insert out, event 7, 3.000 s, from hls (clip 1)\n",
                                   "    at 1700000005.000 (+5.0 s): splice_insert in, event 7, from hls (clip 1)\n",
                                   "    heard at 1700000006.000 (+6.0 s): time_signal, from dash (clip 1)\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;
    RunSummary none = summary;
    none.splices.clear();
    const std::string without = FormatTextReport(none, "udp.jsonl");
    EXPECT_EQ(without.find("Splices"), std::string::npos);
    EXPECT_EQ(FormatJsonReport(none, "x").find("splices"), std::string::npos) << "a log without reads as it did";

    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJsonReport(summary, "x"))).object();
    const QJsonArray splices = root["splices"].toArray();
    ASSERT_EQ(splices.size(), 3);
    const QJsonObject out = splices[0].toObject();
    EXPECT_EQ(out["event_id"].toInt(), 7);
    EXPECT_EQ(out["command"].toString(), "splice_insert");
    EXPECT_TRUE(out["out_of_network"].toBool());
    EXPECT_EQ(out["duration_ms"].toInt(), 3000);
    EXPECT_DOUBLE_EQ(out["splice_utc"].toDouble(), 1700000002.0);
    EXPECT_EQ(out["source"].toString(), "hls");
    EXPECT_FALSE(splices[1].toObject()["out_of_network"].toBool(true));
    EXPECT_TRUE(splices[2].toObject()["event_id"].isNull());
    EXPECT_TRUE(splices[2].toObject()["splice_utc"].isNull());

    // Each splice point is a line of its own colour.
    const auto tealPixels = [&](const RunSummary& drawn, const QString& name) {
        const QString png = dir.filePath(name);
        EXPECT_EQ(ChartRenderer(log, drawn, "udp").save(png, QSize(900, 700)), QString());
        return pixelsOf(QImage(png), [](const QColor& c) {
            return c.red() < 60 && c.green() > 100 && c.green() < 160 && c.blue() > 100 && c.blue() < 160;
        });
    };
    EXPECT_GT(tealPixels(summary, "splices.png"), tealPixels(none, "none.png") + 600);
}

// A figure the table gives a report label: one row of the text where a tick had
// it, one key of the JSON always (null where none had it).
TEST_F(ReportOutputTest, ATableFigureIsOneRowOfTheTextAndOneKeyOfTheJson)
{
    using zephyrscope::testing::kStartMs;
    zephyrscope::testing::JsonLogText json;
    json.opened(kStartMs, "hls");
    NetworkFigures hls;
    hls.protocol = protocolNamed("HLS");
    for (const std::int64_t bytes : {28000, 32000}) {
        hls.segmentBytes = bytes;
        json.tick(kStartMs + bytes / 100, "Playing", hls);
    }
    const RunSummary summary = Summarize(JsonLogReader::fromText(json.text));
    const std::string text = FormatTextReport(summary, "hls.jsonl");
    EXPECT_NE(text.find("  Segment size         mean 30000 bytes\n"), std::string::npos) << text;
    const QJsonObject root = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJsonReport(summary, "x"))).object();
    EXPECT_EQ(root["clips"].toArray()[0].toObject()["figures"].toObject()["segment_bytes_mean"].toDouble(), 30000.0);

    // A tab-separated log has no such figure: no row, and null.
    LogBuilder b;
    b.samples(3, kPlayStatePlaying);
    const RunSummary tsv = Summarize(LogReader::fromText(b.text()));
    EXPECT_EQ(FormatTextReport(tsv, "x").find("Segment size"), std::string::npos);
    const QJsonObject tsvRoot = QJsonDocument::fromJson(QByteArray::fromStdString(FormatJsonReport(tsv, "x"))).object();
    ASSERT_TRUE(tsvRoot["run"].toObject().contains("segment_bytes_mean"));
    EXPECT_TRUE(tsvRoot["run"].toObject()["segment_bytes_mean"].isNull());
}

TEST_F(ReportOutputTest, SvgChartIsWellFormedXml)
{
    const StatisticsLog log = LogReader::fromFile(logPath);
    const RunSummary summary = Summarize(log);
    const QString svg = dir.filePath("chart.svg");
    EXPECT_EQ(ChartRenderer(log, summary, "run").save(svg, QSize(800, 600)), QString());
    QFile file(svg);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QXmlStreamReader xml(&file);
    int paths = 0;
    bool root = false;
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::StartElement) {
            root = root || xml.name() == QLatin1String("svg");
            paths += xml.name() == QLatin1String("path") || xml.name() == QLatin1String("polyline");
        }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_TRUE(root);
    EXPECT_GT(paths, 4);
}

TEST_F(ReportOutputTest, UnknownChartFormatIsRefused)
{
    const StatisticsLog log = LogReader::fromFile(logPath);
    const RunSummary summary = Summarize(log);
    EXPECT_EQ(ChartRenderer(log, summary, "run").save(dir.filePath("chart.gif"), QSize(800, 600)),
              "Cannot write chart '" + dir.filePath("chart.gif") + "': the name must end in .png or .svg");
}

TEST_F(ReportOutputTest, CommandPrintsTheSummaryAndWritesTheChart)
{
    int status = 0;
    const std::string png = dir.filePath("out.png").toStdString();
    std::string out = runCommand(std::string(REPORT_BINARY) + " '" + logPath + "' --plot '" + png +
                                     "' --size 640x480 2>/dev/null", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Clip 2: second"), std::string::npos) << out;
    EXPECT_EQ(QImage(QString::fromStdString(png)).size(), QSize(640, 480));

    out = runCommand(std::string(REPORT_BINARY) + " '" + logPath + "' --json 2>/dev/null", status);
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(out)).isNull());

    out = runCommand(std::string(REPORT_BINARY) + " /nonexistent/x.dat 2>&1", status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("Cannot open log file '/nonexistent/x.dat': No such file or directory"), std::string::npos);

    // Usage errors: the reason and the usage on stderr, status 64, nothing on stdout.
    for (const char* arguments : {"", " --fast '$LOG'", " '$LOG' second.dat", " '$LOG' --size=10x10", " --plot",
                                  " '$LOG' --plot ''", " '$LOG' --size 10000x10000"}) {
        std::string command = std::string(REPORT_BINARY) + arguments + " 2>&1 >/dev/null";
        if (const std::size_t at = command.find("$LOG"); at != std::string::npos)
            command.replace(at, 4, logPath);
        out = runCommand(command, status);
        EXPECT_EQ(status, 64) << command;
        EXPECT_EQ(out.rfind("zephyrscope-report: ", 0), 0u) << out;
        EXPECT_NE(out.find("Usage: zephyrscope-report [OPTION]... LOG"), std::string::npos) << out;
    }
    // What is not a log: refused with a few example lines, and a line without
    // end is not read to the end.
    const std::string randomPath = dir.filePath("random.bin").toStdString();
    {
        std::ofstream random(randomPath, std::ios::binary);
        std::mt19937 bytes(7);
        for (int k = 0; k < 1000000; ++k)
            random.put(static_cast<char>(bytes()));
    }
    for (const std::string& notALog : {randomPath, std::string("/dev/zero")}) {
        out = runCommand(std::string(REPORT_BINARY) + " '" + notALog + "' 2>&1", status);
        EXPECT_EQ(status, 1) << notALog;
        EXPECT_NE(out.find("Cannot read log file '" + notALog + "': not a Zephyrscope log"), std::string::npos)
            << out.substr(0, 1000);
        EXPECT_LT(out.size(), 1000u) << notALog;
        EXPECT_LE(std::count(out.begin(), out.end(), '\n'), 4) << out;
    }

    out = runCommand(std::string(REPORT_BINARY) + " --fast 2>&1", status);
    EXPECT_NE(out.find("unknown option '--fast'"), std::string::npos) << out;

    out = runCommand(std::string(REPORT_BINARY) + " --version", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "zephyrscope-report 2.0\n");
    out = runCommand(std::string(REPORT_BINARY) + " -h", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("Exit status:"), std::string::npos) << out;

    // After "--" a log whose name starts with a dash is still a log.
    ASSERT_TRUE(QFile::copy(QString::fromStdString(logPath), dir.filePath("--odd.dat")));
    out = runCommand("cd '" + dir.path().toStdString() + "' && " + REPORT_BINARY + " --json=no -- --odd.dat 2>&1", status);
    EXPECT_EQ(status, 64) << out;
    out = runCommand("cd '" + dir.path().toStdString() + "' && " + REPORT_BINARY + " --json -- --odd.dat", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_FALSE(QJsonDocument::fromJson(QByteArray::fromStdString(out)).isNull()) << out;
}

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
