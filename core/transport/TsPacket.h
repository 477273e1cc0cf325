#pragma once

// The fields of a 188-byte MPEG transport stream packet that the transport
// room reads, for the analyser and the estimators alike.

#include <cstddef>
#include <cstdint>
#include <optional>

namespace zephyrscope {

inline constexpr std::size_t kTsPacketSize = 188;
inline constexpr std::uint8_t kTsSyncByte = 0x47;
inline constexpr std::uint16_t kTsNullPid = 0x1FFF;
// The PCR counts 2^33 periods of 300 ticks of 27 MHz, then wraps.
inline constexpr std::int64_t kPcrWrapTicks = (std::int64_t {1} << 33) * 300;

inline std::uint16_t TsPid(const std::uint8_t* packet)
{
    return static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
}

inline bool TsHasAdaptationField(const std::uint8_t* packet)
{
    return (packet[3] & 0x20) != 0;
}

inline bool TsHasPayload(const std::uint8_t* packet)
{
    return (packet[3] & 0x10) != 0;
}

// The adaptation field's discontinuity_indicator.
inline bool TsDiscontinuity(const std::uint8_t* packet)
{
    return TsHasAdaptationField(packet) && packet[4] > 0 && (packet[5] & 0x80) != 0;
}

// The packet's PCR in 27 MHz ticks; none where its adaptation field has none.
inline std::optional<std::int64_t> TsPcr(const std::uint8_t* packet)
{
    if (!TsHasAdaptationField(packet) || packet[4] < 7 || (packet[5] & 0x10) == 0)
        return std::nullopt;
    const std::uint8_t* p = packet + 6;
    const std::int64_t base = (std::int64_t {p[0]} << 25) | (std::int64_t {p[1]} << 17) | (std::int64_t {p[2]} << 9)
        | (std::int64_t {p[3]} << 1) | (p[4] >> 7);
    const std::int64_t extension = ((p[4] & 0x01) << 8) | p[5];
    return base * 300 + extension;
}

} // namespace zephyrscope
