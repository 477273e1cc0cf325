// zephyrscope_ts_relay: relays an MPEG-TS stream sent over UDP, RTP or RIST to a
// receiver on this host, dropping every Nth datagram, and prints what it dropped.
//   zephyrscope_ts_relay udp|rtp|rist TARGET_HOST TARGET_PORT DROP_EVERY SECONDS
// It prints the port to send to at once, and the counts when SECONDS are over.

#include "TsDropRelay.h"

#include <cstdio>
#include <exception>
#include <string>
#include <thread>

using zephyrscope::tools::TsDropRelay;

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s udp|rtp|rist TARGET_HOST TARGET_PORT DROP_EVERY SECONDS\n", argv[0]);
        return 2;
    }
    try {
        const std::string kind = argv[1];
        if (kind != "udp" && kind != "rtp" && kind != "rist") {
            std::fprintf(stderr, "Cannot relay transport '%s': use udp, rtp or rist\n", argv[1]);
            return 2;
        }
        TsDropRelay::Options options;
        options.framing = kind == "udp" ? TsDropRelay::Framing::Ts : TsDropRelay::Framing::Rtp;
        options.rtcp = kind == "rist";
        options.targetHost = argv[2];
        options.targetPort = static_cast<std::uint16_t>(std::stoi(argv[3]));
        options.dropEvery = std::stoi(argv[4]);
        const auto lifetime = std::chrono::milliseconds(static_cast<long long>(std::stod(argv[5]) * 1000));
        options.maxLifetime = lifetime;
        TsDropRelay relay(options);
        std::printf("port %u\n", relay.port());
        std::fflush(stdout);
        std::this_thread::sleep_for(lifetime);
        relay.stop();
        const TsDropRelay::Counts counts = relay.counts();
        std::printf("datagrams %llu dropped %llu retransmitted %llu repaired %llu ts-packets-dropped %llu "
                    "continuity-gaps %llu\n",
                    static_cast<unsigned long long>(counts.originals), static_cast<unsigned long long>(counts.dropped),
                    static_cast<unsigned long long>(counts.retransmitted),
                    static_cast<unsigned long long>(counts.repaired),
                    static_cast<unsigned long long>(counts.tsPacketsDropped),
                    static_cast<unsigned long long>(counts.continuityGaps));
        for (const auto& [pid, packets] : counts.tsPacketsDroppedPerPid)
            std::printf("pid 0x%04x ts-packets-dropped %llu\n", pid, static_cast<unsigned long long>(packets));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
