// zephyrscope_ts_fault_relay: relays an MPEG-TS stream sent over UDP to a
// receiver on this host, injecting transport stream faults, and prints exactly
// what it injected.
//   zephyrscope_ts_fault_relay TARGET_HOST TARGET_PORT SECONDS [FAULT=VALUE...]
// FAULT: start-ms, tei, crc, scramble (counts), pcr-gap-ms, pts-hold-ms,
// jitter-every, jitter-ms, paced-lead-ms. It prints the port to send to at once, and the
// counts when SECONDS are over.

#include "TsFaultRelay.h"

#include <cstdint>
#include <cstdio>
#include <exception>
#include <map>
#include <string>
#include <thread>

using zephyrscope::tools::TsFaultInjector;
using zephyrscope::tools::TsFaultRelay;

namespace {

// Sets the plan's field a FAULT=VALUE argument names; false when it names none.
bool setFault(TsFaultInjector::Plan& plan, const std::string& argument)
{
    const auto equals = argument.find('=');
    if (equals == std::string::npos)
        return false;
    const std::string name = argument.substr(0, equals);
    const std::int64_t value = std::stoll(argument.substr(equals + 1));
    const std::map<std::string, std::int64_t*> wide = {{"start-ms", &plan.startAfterMs}, {"pcr-gap-ms", &plan.pcrBlankMs},
                                                    {"pts-hold-ms", &plan.ptsHoldMs}, {"jitter-ms", &plan.jitterDelayMs},
                                                    {"paced-lead-ms", &plan.pacedLeadMs}};
    const std::map<std::string, std::uint64_t*> counts = {
        {"tei", &plan.teiPackets}, {"crc", &plan.crcSections}, {"scramble", &plan.scrambledPackets}};
    if (const auto it = wide.find(name); it != wide.end())
        *it->second = value;
    else if (const auto at = counts.find(name); at != counts.end())
        *at->second = static_cast<std::uint64_t>(value);
    else if (name == "jitter-every")
        plan.jitterEvery = static_cast<int>(value);
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TARGET_HOST TARGET_PORT SECONDS [FAULT=VALUE...]\n", argv[0]);
        return 2;
    }
    try {
        TsFaultRelay::Options options;
        options.targetHost = argv[1];
        options.targetPort = static_cast<std::uint16_t>(std::stoi(argv[2]));
        const auto lifetime = std::chrono::milliseconds(static_cast<long long>(std::stod(argv[3]) * 1000));
        options.maxLifetime = lifetime;
        for (int i = 4; i < argc; ++i) {
            if (!setFault(options.plan, argv[i])) {
                std::fprintf(stderr, "Cannot inject fault '%s': use start-ms, tei, crc, scramble, pcr-gap-ms, "
                                     "pts-hold-ms, jitter-every, jitter-ms or paced-lead-ms, each =VALUE\n", argv[i]);
                return 2;
            }
        }
        TsFaultRelay relay(options);
        std::printf("port %u\n", relay.port());
        std::fflush(stdout);
        std::this_thread::sleep_for(lifetime);
        relay.stop();
        const TsFaultInjector::Counts c = relay.counts();
        std::printf("datagrams %llu tei %llu crc %llu scrambled %llu pcr-gaps %llu pcrs-removed %llu pts-gaps %llu "
                    "pts-removed %llu delayed %llu pcr-latest-us %lld sent-pcr-jitter-us %lld\n",
                    static_cast<unsigned long long>(c.datagrams), static_cast<unsigned long long>(c.teiPackets),
                    static_cast<unsigned long long>(c.crcSections), static_cast<unsigned long long>(c.scrambledPackets),
                    static_cast<unsigned long long>(c.pcrGaps), static_cast<unsigned long long>(c.pcrsRemoved),
                    static_cast<unsigned long long>(c.ptsGaps), static_cast<unsigned long long>(c.ptsRemoved),
                    static_cast<unsigned long long>(c.datagramsDelayed), static_cast<long long>(c.pcrDatagramLatestUs),
                    static_cast<long long>(relay.sentPcrJitterUs().value_or(-1)));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
