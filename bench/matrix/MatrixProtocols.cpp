#include "MatrixProtocols.h"

namespace zephyrscope::bench {

std::vector<MatrixProtocol> MatrixProtocols::all()
{
    std::vector<MatrixProtocol> protocols;
    for (auto family : {rtspProtocols, srtProtocols, broadcastProtocols, whepProtocols, tcpProtocols}) {
        for (MatrixProtocol& protocol : family())
            protocols.push_back(std::move(protocol));
    }
    return protocols;
}

} // namespace zephyrscope::bench
