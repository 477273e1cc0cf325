#include "SrtFrameLog.h"

#include "TsFrameDamage.h"

#include <map>

namespace zephyrscope::bench {

namespace {

constexpr std::size_t kTsPacket = 188;

struct Sequence {
    const std::vector<unsigned char>* payload = nullptr;
    std::int64_t originalUs = -1; // when the original came, passed on or not
    std::int64_t firstInUs = -1;  // when the first copy left toward the player
};

} // namespace

std::vector<tools::impair::FrameDamageBound::Frame>
SrtFrameLog::frames(const std::vector<testing::UdpRelay::DataPacket>& packets, std::int64_t lateUs)
{
    // SRT's sequence numbers are 31 bits; a matrix cell's stream never wraps them.
    std::map<std::uint32_t, Sequence> sequences;
    for (const auto& packet : packets) {
        Sequence& s = sequences[packet.sequence];
        if (!s.payload)
            s.payload = &packet.payload;
        if (!packet.retransmission && s.originalUs < 0)
            s.originalUs = packet.us;
        if (packet.forwarded && s.firstInUs < 0)
            s.firstInUs = packet.us;
    }
    tools::TsFrameDamage frames;
    for (const auto& [sequence, s] : sequences) {
        // A retransmission whose original the relay never saw is timed by itself.
        const std::int64_t sentUs = s.originalUs >= 0 ? s.originalUs : s.firstInUs;
        const bool inTime = s.firstInUs >= 0 && s.firstInUs - sentUs <= lateUs;
        for (std::size_t at = 0; at + kTsPacket <= s.payload->size(); at += kTsPacket)
            frames.packet(s.payload->data() + at, !inTime, sentUs);
    }
    return frames.frameLog();
}

} // namespace zephyrscope::bench
