#pragma once

// The CRC_32 of MPEG-2 systems' sections: polynomial 0x04C11DB7, initial value
// 0xFFFFFFFF, most significant bit first, not reflected, no final XOR. Run over
// a whole section, its own CRC_32 included, it gives 0 when the section is intact.

#include <cstddef>
#include <cstdint>

namespace zephyrscope {

std::uint32_t MpegCrc32(const std::uint8_t* data, std::size_t size);

} // namespace zephyrscope
