#pragma once

// Every protocol of the matrix. Each family of protocols has its file, which
// returns its protocols; adding one is a function here and a line in
// MatrixProtocols.cpp.

#include "MatrixCell.h"

#include <vector>

namespace zephyrscope::bench {

// UDP, RTP and RIST MPEG-TS through TsDropRelay (BroadcastCells.cpp).
std::vector<MatrixProtocol> broadcastProtocols();
// SRT through UdpRelay (SrtCells.cpp).
std::vector<MatrixProtocol> srtProtocols();
// RTSP over UDP from the RTSP test server, which impairs as it sends (RtspCells.cpp).
std::vector<MatrixProtocol> rtspProtocols();
// WebRTC from the WHEP test server, which impairs as it sends (WhepCells.cpp).
std::vector<MatrixProtocol> whepProtocols();
// RTSP over TCP, live HLS and DASH through TcpImpairRelay (TcpCells.cpp).
std::vector<MatrixProtocol> tcpProtocols();

class MatrixProtocols {
public:
    // In the table's order.
    static std::vector<MatrixProtocol> all();
};

} // namespace zephyrscope::bench
