#pragma once

#include "JsonLogLine.h"
#include "NetworkFigures.h"
#include "Protocol.h"
#include "SampleLine.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zephyrscope::testing {

inline constexpr std::int64_t kStartMs = 1700000000000;

// A JSON Lines log written by the program's own formatter.
class JsonLogText {
public:
    void tick(std::int64_t wallMs, const char* state, std::optional<double> latencyMs = std::nullopt,
              std::optional<TsErrorCounts> tsErrors = std::nullopt)
    {
        NetworkFigures f;
        f.protocol = protocolNamed("RTSPT");
        f.liveLatencyMs = latencyMs;
        f.transportStream = tsErrors.has_value();
        f.transportErrors = tsErrors.value_or(TsErrorCounts {});
        tick(wallMs, state, f);
    }
    void tick(std::int64_t wallMs, const char* state, const NetworkFigures& f)
    {
        SampleLine s;
        s.network = f;
        s.utcTime = {wallMs / 1000, static_cast<std::int32_t>(wallMs % 1000)};
        s.stateName = state;
        s.network.bitRate = 400000;
        std::string line;
        FormatJsonTick(s, line);
        text += line;
    }
    void event(JsonLogEvent e)
    {
        std::string line;
        FormatJsonEvent(e, line);
        text += line;
    }
    void opened(std::int64_t wallMs, const std::string& name)
    {
        JsonLogEvent e;
        e.kind = JsonLogEventKind::Opened;
        e.wallMs = wallMs;
        e.url = "rtsp://u:p@127.0.0.1/" + name;
        e.name = name;
        e.durationString = "00:10";
        e.width = 320;
        e.height = 240;
        event(e);
    }
    void firstFrame(std::int64_t wallMs, std::int64_t startupMs)
    {
        JsonLogEvent e;
        e.kind = JsonLogEventKind::FirstFrame;
        e.wallMs = wallMs;
        e.startupMs = startupMs;
        event(e);
    }
    void stall(std::int64_t startMs, std::int64_t lengthMs)
    {
        JsonLogEvent e;
        e.kind = JsonLogEventKind::StallStarted;
        e.wallMs = startMs;
        e.stallCount = 1;
        event(e);
        e.kind = JsonLogEventKind::StallEnded;
        e.wallMs = startMs + lengthMs;
        e.stallMs = lengthMs;
        event(e);
    }
    // A stall as the player times it: the state's moments, and the picture's.
    void timedStall(std::int64_t detectedMs, std::int64_t sinceMs, std::int64_t overMs, std::int64_t resumedMs)
    {
        JsonLogEvent e;
        e.kind = JsonLogEventKind::StallStarted;
        e.wallMs = detectedMs;
        e.stallCount = 1;
        e.sinceMs = sinceMs;
        event(e);
        e.kind = JsonLogEventKind::StallEnded;
        e.wallMs = overMs;
        e.resumedMs = resumedMs;
        e.stallMs = resumedMs - sinceMs;
        event(e);
    }
    void ended(std::int64_t wallMs, const char* how = "played", const std::string& url = {})
    {
        JsonLogEvent e;
        e.kind = JsonLogEventKind::Ended;
        e.wallMs = wallMs;
        e.how = how;
        e.url = url;
        event(e);
    }
    // A black, frozen or silent stretch's end ("black_ended", ...), as the content's detectors write it.
    void contentEnded(const char* event, std::int64_t wallMs, std::int64_t durationMs)
    {
        text += "{\"schema\":\"" + std::string(kJsonLogSchema) + "\",\"type\":\"event\",\"event\":\"" + event
            + "\",\"wall_ms\":" + std::to_string(wallMs) + ",\"duration_ms\":" + std::to_string(durationMs) + "}\n";
    }
    std::string text;
};

} // namespace zephyrscope::testing
