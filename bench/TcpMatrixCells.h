#pragma once

// The impairment matrix's cells for the protocols that run over TCP: RTSP
// interleaved over TCP, and live HLS and DASH, each from the project's own
// test server and packaged by ffmpeg, played through a TcpImpairRelay on
// loopback for each impairment. The player is driven in process on the GLib
// main loop (fake sinks); its figures are compared with what the server sent
// and what the relay held, and each comparison is classified exact, within
// its tolerance, or wrong, with both numbers.
//
// TCP repairs every loss, so the truth of every cell is: nothing lost at the
// application level; what the server sent, received; and stalls only where the
// relay held the data longer than the player's lead of media could bridge.
// Thread: the main thread, which runs the default GMainContext.

#include "ChunkImpairment.h"
#include "MediaFactory.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zephyrscope::bench {

class TcpMatrixCells {
public:
    enum class Source { RtspTcp, HlsServer, HlsFfmpeg, DashServer, DashFfmpeg };
    enum class Kind { None, Loss05, Loss2, Loss5, Bursts, Outage, Delay, RateCap };

    struct Figure {
        std::string name;
        double measured = 0.0;
        double truth = 0.0;
        double tolerance = 0.0; // absolute, in the figure's unit; 0: exact only
        std::string unit;
        std::string why;        // how the truth was worked out
        // "exact", "within X %" (X: the tolerance as a share of the truth), or "wrong".
        std::string verdict() const;
    };

    struct Cell {
        Source source;
        Kind kind;
        std::vector<Figure> figures;
        std::string note; // what went wrong before figures could be read
    };

    explicit TcpMatrixCells(std::filesystem::path work);

    // Plays source through the relay with the impairment for playFor; the
    // rate cap's rate comes from the source's None cell, run first when it has not been.
    Cell run(Source source, Kind kind, std::chrono::seconds playFor = std::chrono::seconds(16));

    static std::string name(Source source);
    static std::string name(Kind kind);
    static std::vector<Kind> kinds();
    static std::vector<Source> sources();

private:
    tools::ChunkImpairment::Params impairmentOf(Source source, Kind kind);
    void prepare(Source source);

    std::filesystem::path m_work;
    testing::MediaFactory m_media;
    std::map<Source, double> m_streamBitsPerSecond; // measured in the None cell
    std::map<Source, double> m_firstFrameMs;        // the None cell's time to first frame
    bool m_hlsMade = false, m_dashMade = false;
};

} // namespace zephyrscope::bench
