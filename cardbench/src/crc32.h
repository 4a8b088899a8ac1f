// CRC-32 as the card computes it over an upload's payload (IEEE 802.3, zlib's). The
// card sees the payload arrive in pieces, so the checksum is kept as a running value.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>

namespace cardbench {

class Crc32 {
public:
    void update(const std::uint8_t* data, std::size_t length) { state_ = crc32_z(state_, data, length); }
    std::uint32_t value() const { return static_cast<std::uint32_t>(state_); }

private:
    uLong state_ = 0;
};

}  // namespace cardbench
