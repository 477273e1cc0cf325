#include "MpegCrc32.h"

#include <array>

namespace zephyrscope {

namespace {

constexpr std::uint32_t kPolynomial = 0x04C11DB7;

constexpr std::array<std::uint32_t, 256> makeTable()
{
    std::array<std::uint32_t, 256> table {};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t crc = byte << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80000000u) ? (crc << 1) ^ kPolynomial : crc << 1;
        table[byte] = crc;
    }
    return table;
}

constexpr std::array<std::uint32_t, 256> kTable = makeTable();

} // namespace

std::uint32_t MpegCrc32(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i)
        crc = (crc << 8) ^ kTable[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

} // namespace zephyrscope
