#pragma once

// Writes transport stream packets for tests: a PAT, a PMT, payload packets with
// or without a PCR, and null packets, each PID's continuity counter kept as a
// muxer keeps it. Sections carry a real CRC, so demuxers accept them.

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace zephyrscope::testing {

class TsPacketWriter {
public:
    static constexpr std::size_t kPacketSize = 188;
    using Packet = std::vector<std::uint8_t>;

    Packet pat(std::uint16_t pmtPid, std::uint16_t program = 1)
    {
        std::vector<std::uint8_t> body = {0x00, 0x01, 0xC1, 0x00, 0x00};
        body.push_back(static_cast<std::uint8_t>(program >> 8));
        body.push_back(static_cast<std::uint8_t>(program));
        body.push_back(static_cast<std::uint8_t>(0xE0 | (pmtPid >> 8)));
        body.push_back(static_cast<std::uint8_t>(pmtPid));
        return section(0, 0x00, body);
    }

    // A PMT naming pids, all of stream type 0x06 (private data), with pcrPid's clock.
    Packet pmt(std::uint16_t pmtPid, std::uint16_t pcrPid, const std::vector<std::uint16_t>& pids,
               std::uint16_t program = 1)
    {
        std::vector<std::uint8_t> body = {static_cast<std::uint8_t>(program >> 8), static_cast<std::uint8_t>(program),
                                          0xC1, 0x00, 0x00};
        body.push_back(static_cast<std::uint8_t>(0xE0 | (pcrPid >> 8)));
        body.push_back(static_cast<std::uint8_t>(pcrPid));
        body.push_back(0xF0);
        body.push_back(0x00);
        for (const std::uint16_t pid : pids) {
            body.push_back(0x06);
            body.push_back(static_cast<std::uint8_t>(0xE0 | (pid >> 8)));
            body.push_back(static_cast<std::uint8_t>(pid));
            body.push_back(0xF0);
            body.push_back(0x00);
        }
        return section(pmtPid, 0x02, body);
    }

    // A payload packet; with pcrUs, an adaptation field carries that PCR.
    Packet payload(std::uint16_t pid, std::optional<std::int64_t> pcrUs = std::nullopt)
    {
        Packet packet = header(pid, false);
        if (pcrUs) {
            packet[3] |= 0x20;
            const auto pcr = static_cast<std::uint64_t>(*pcrUs) * 27;
            const std::uint64_t base = pcr / 300, extension = pcr % 300;
            const std::uint8_t field[] = {7,
                                          0x10,
                                          static_cast<std::uint8_t>(base >> 25),
                                          static_cast<std::uint8_t>(base >> 17),
                                          static_cast<std::uint8_t>(base >> 9),
                                          static_cast<std::uint8_t>(base >> 1),
                                          static_cast<std::uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8)),
                                          static_cast<std::uint8_t>(extension)};
            packet.insert(packet.end(), std::begin(field), std::end(field));
        }
        packet.resize(kPacketSize, 0xA5);
        return packet;
    }

    Packet null()
    {
        Packet packet = {0x47, 0x1F, 0xFF, 0x10};
        packet.resize(kPacketSize, 0xFF);
        return packet;
    }

    // The counter pid's next payload packet will carry.
    std::uint8_t nextCounter(std::uint16_t pid) const
    {
        const auto it = m_counters.find(pid);
        return it == m_counters.end() ? 0 : it->second;
    }
    // Skips packets on pid, as a lost packet would.
    void skip(std::uint16_t pid, unsigned packets = 1)
    {
        m_counters[pid] = static_cast<std::uint8_t>((nextCounter(pid) + packets) & 0x0F);
    }

private:
    Packet header(std::uint16_t pid, bool unitStart)
    {
        const std::uint8_t counter = nextCounter(pid);
        m_counters[pid] = static_cast<std::uint8_t>((counter + 1) & 0x0F);
        return {0x47, static_cast<std::uint8_t>((unitStart ? 0x40 : 0x00) | (pid >> 8)), static_cast<std::uint8_t>(pid),
                static_cast<std::uint8_t>(0x10 | counter)};
    }

    Packet section(std::uint16_t pid, std::uint8_t tableId, const std::vector<std::uint8_t>& body)
    {
        std::vector<std::uint8_t> table = {tableId};
        const std::size_t length = body.size() + 4; // and the CRC
        table.push_back(static_cast<std::uint8_t>(0xB0 | (length >> 8)));
        table.push_back(static_cast<std::uint8_t>(length));
        table.insert(table.end(), body.begin(), body.end());
        const std::uint32_t crc = crc32(table);
        for (int shift = 24; shift >= 0; shift -= 8)
            table.push_back(static_cast<std::uint8_t>(crc >> shift));
        Packet packet = header(pid, true);
        packet.push_back(0x00); // pointer field
        packet.insert(packet.end(), table.begin(), table.end());
        packet.resize(kPacketSize, 0xFF);
        return packet;
    }

    static std::uint32_t crc32(const std::vector<std::uint8_t>& bytes)
    {
        std::uint32_t crc = 0xFFFFFFFF;
        for (const std::uint8_t byte : bytes) {
            crc ^= static_cast<std::uint32_t>(byte) << 24;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80000000) ? (crc << 1) ^ 0x04C11DB7 : crc << 1;
        }
        return crc;
    }

    std::map<std::uint16_t, std::uint8_t> m_counters;
};

} // namespace zephyrscope::testing
