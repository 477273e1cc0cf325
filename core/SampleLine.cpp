#include "SampleLine.h"

#include <cstdio>

namespace zephyrscope {

namespace {

// The seconds are printed as a 64-bit count so the column stays right after 2038;
// until then the output is that of a 32-bit "%d".
constexpr char kSampleFormat[] =
    "%lld.%d\t%4.4f\t%3d\t%2d\t%5d\t%8d\t%8d\t%8d\t%2.2f\t%8d\t%3d\t%8d\t%8d\t%8d\t%8d\t%s\t%2.2f\t%s\n";

int formatInto(char* buffer, std::size_t size, const SampleLine& s)
{
    return std::snprintf(buffer, size, kSampleFormat, static_cast<long long>(s.utcTime.seconds), s.utcTime.milliseconds,
                         s.elapsed, s.bufferingProgress, s.bufferingCount, s.bufferingTime, s.bitRate, s.bandWidth,
                         s.maxBandwidth, s.fps, s.encodedFrameRate, s.framesSkipped, s.receivedPackets, s.lostPackets,
                         s.recoveredPackets, s.receptionQuality, s.protocol.c_str(), s.iFramerate, s.stateName);
}

} // namespace

void FormatSampleLine(const SampleLine& sample, std::string& out)
{
    // Most lines fit in 256 bytes; a long protocol text or huge values get a second pass.
    out.resize(256);
    int n = formatInto(out.data(), out.size() + 1, sample);
    if (n < 0) {
        out.clear();
        return;
    }
    if (static_cast<std::size_t>(n) > out.size()) {
        out.resize(static_cast<std::size_t>(n));
        formatInto(out.data(), out.size() + 1, sample);
    }
    out.resize(static_cast<std::size_t>(n));
}

std::string FormatFps(double fps)
{
    char buffer[64];
    const int n = std::snprintf(buffer, sizeof buffer, "%2.2f", fps);
    if (n < 0)
        return {};
    if (static_cast<std::size_t>(n) < sizeof buffer)
        return std::string(buffer, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n), '\0');
    std::snprintf(big.data(), big.size() + 1, "%2.2f", fps);
    return big;
}

} // namespace zephyrscope
