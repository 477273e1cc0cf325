#pragma once

#include "DatagramSchedule.h"
#include "Impairment.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace zephyrscope::testing {

// A UDP relay on 127.0.0.1 between an SRT caller (the player) and an SRT
// listener (the sender), for loss that is known exactly. Everything the caller
// sends goes to the listener unchanged; of the listener's data packets (top bit
// of the first byte clear) every dropEvery-th first transmission is dropped
// (retransmissions, which carry the R flag, always pass), and during a blackout
// nothing passes in either direction. Or, for loss no retransmission can
// repair, every copy (retransmissions too) of each data packet whose sequence
// number a divisor divides is dropped. It counts what it forwarded, per
// sequence number, so a test knows what never arrived, and what arrived only
// by retransmission: the packets whose first copy it forwarded was one.
// An impairment (tools/impair) may act on the first transmissions that pass
// dropEvery: what it does not forward counts as dropped, with its breakdown in
// Counts::impaired; what it delays waits in a timer queue the relay thread
// drains between receives.
//
// Thread: one relay thread; the counters may be read from any thread. It stops
// with stop(), the destructor, or after maxLifetime, whichever comes first.
class UdpRelay {
public:
    struct Counts {
        std::uint64_t originals = 0;       // first transmissions seen from the listener
        std::uint64_t dropped = 0;         // first transmissions dropped on purpose
        std::uint64_t retransmitted = 0;   // retransmissions forwarded
        std::uint64_t blackedOut = 0;      // data packets swallowed by blackouts
        std::uint64_t dataBytes = 0;       // UDP payload bytes of the data packets forwarded
        std::uint64_t dataPackets = 0;     // data packets forwarded, retransmissions included
        std::uint64_t neverForwarded = 0;  // sequence numbers from the first sent to the last forwarded never forwarded
        std::uint64_t repaired = 0;        // sequence numbers whose first copy forwarded was a retransmission
        std::uint64_t retransmissionsDropped = 0;
        zephyrscope::tools::impair::Impairment::Counts impaired;
    };

    // A data packet from the listener, as it came (recordDataPackets()): when it
    // left toward the caller, or, not passed on, when it came.
    struct DataPacket {
        std::uint32_t sequence = 0;
        bool retransmission = false, forwarded = false;
        std::int64_t us = 0; // steady clock
        std::vector<unsigned char> payload; // after the 16-byte SRT header
    };

    UdpRelay(std::uint16_t listenerPort, int dropEvery,
             std::chrono::milliseconds maxLifetime = std::chrono::seconds(120),
             const zephyrscope::tools::impair::Impairment::Params& impairment = {});
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    // The port the caller connects to.
    std::uint16_t port() const { return m_port; }
    // From now on drops, instead of every dropEvery-th first transmission, every
    // copy of each data packet whose sequence number divisor divides.
    void dropEveryCopyOfSequencesDividedBy(std::uint32_t divisor) { m_sequenceDivisor = divisor; }
    // Drops every copy of the stream's first packets, before any is forwarded.
    void dropEveryCopyOfTheFirst(std::uint32_t packets) { m_leadingDrops = packets; }
    // Swallows everything for the given time from now on.
    void blackout(std::chrono::milliseconds duration);
    // Swallows everything from now on, until stop().
    void blackoutForever();
    void stop();
    Counts counts() const;
    // From now on keeps every data packet from the listener, for a frame log.
    void recordDataPackets() { m_recording = true; }
    std::vector<DataPacket> dataPackets() const;

private:
    void run();
    // Keeps a data packet if recording, under m_mutex; its index, or SIZE_MAX.
    std::size_t record(std::uint32_t sequence, bool retransmission, std::int64_t us, const unsigned char* packet,
                       ssize_t size);

    std::uint16_t m_listenerPort;
    int m_dropEvery;
    std::chrono::steady_clock::time_point m_end;
    int m_callerSide = -1;   // bound socket the caller talks to
    int m_listenerSide = -1; // connected socket toward the listener
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    std::atomic<std::int64_t> m_blackoutUntilUs {0};
    std::atomic<std::uint32_t> m_sequenceDivisor {0};
    std::atomic<std::uint32_t> m_leadingDrops {0};
    std::atomic<bool> m_recording {false};

    mutable std::mutex m_mutex;
    Counts m_counts;
    std::set<std::uint32_t> m_forwarded; // sequence numbers forwarded at least once
    std::optional<std::uint32_t> m_firstSequence; // of the first data packet from the listener
    std::vector<DataPacket> m_recorded;
    zephyrscope::tools::impair::Impairment m_impairment;
    zephyrscope::tools::impair::DatagramSchedule m_schedule; // relay thread only
    std::thread m_thread;
};

} // namespace zephyrscope::testing
