#include "update/crc32.h"

#include <zlib.h>

// zlib's CRC-32 is this very checksum; a start value of 0 is its fresh register.
std::uint32_t crc32(const std::uint8_t* data, std::size_t length) {
    return static_cast<std::uint32_t>(crc32_z(0, data, length));
}
