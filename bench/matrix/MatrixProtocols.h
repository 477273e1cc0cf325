#pragma once

// Every protocol of the matrix. Each family of protocols has its file, which
// returns its protocols; adding one is a function here and a line in
// MatrixProtocols.cpp.

#include "MatrixCell.h"

#include <vector>

namespace zephyrscope::bench {

// UDP, RTP and RIST MPEG-TS through TsDropRelay (BroadcastCells.cpp).
std::vector<MatrixProtocol> broadcastProtocols();
// RTSP over TCP, live HLS and DASH through TcpImpairRelay (TcpCells.cpp).
std::vector<MatrixProtocol> tcpProtocols();

class MatrixProtocols {
public:
    // In the table's order.
    static std::vector<MatrixProtocol> all();
};

} // namespace zephyrscope::bench
