#pragma once

// Broadcast transports: MPEG-TS over UDP (UdpBatchSource, or udpsrc), over RTP
// (rtpsrc) and over RIST (ristsrc), unicast or multicast. A multicast group is
// joined on the interface the URL's multicast-iface parameter names
// ("udp://239.1.1.1:5000?multicast-iface=eth1"), else on the system's choice.
// Private to player/. Thread: the main loop's, except setUp (see there).

#include <cstdint>
#include <optional>
#include <string>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class StreamCounters;

class BroadcastSource {
public:
    // playbin3's source-setup, on whichever thread makes the source: the
    // multicast interface, MPEG-TS for RTP whose URL names no payload, and a
    // receive buffer of seconds, not the system's fraction of one.
    static void setUp(GstElement* source);

    // The packets of a UDP or RIST source as its transport counts them: for raw
    // UDP the TS packets received and those the continuity counters show
    // missing; for RIST the RTP packets ristsrc delivered, those it never
    // delivered and those it delivered by retransmission (RistPacketCounts), and
    // its retransmission round-trip time. nullopt for any other source.
    struct Packets {
        std::uint64_t received = 0, lost = 0, recovered = 0;
        std::optional<double> roundTripMs;
    };
    static std::optional<Packets> poll(GstElement* source, const StreamCounters& counters);

    // Why an entry that never received a byte did not open:
    // "no data arrived on 127.0.0.1 port 15000".
    static std::string silenceReason(const std::string& uri);
};

} // namespace zephyrscope
