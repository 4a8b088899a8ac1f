// CRC-32 as the card computes it over an upload's payload (IEEE 802.3, reflected
// polynomial 0xEDB88320, zlib-compatible). The card sees the payload arrive in pieces,
// so the checksum is kept as a running value.
#pragma once

#include <cstddef>
#include <cstdint>

namespace cardbench {

class Crc32 {
public:
    void update(const std::uint8_t* data, std::size_t length);
    std::uint32_t value() const { return ~state_; }

private:
    std::uint32_t state_ = 0xFFFFFFFFu;
};

std::uint32_t crc32(const std::uint8_t* data, std::size_t length);

}  // namespace cardbench
